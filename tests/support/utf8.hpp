// UTF-8 checks and UTF-16 encoding for tests, written independently of the
// library (which only converts the other way, through iconv).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lyrx_test {

// Decodes one UTF-8 sequence at s[i]; returns its length, or 0 when the bytes
// there are not valid UTF-8 (RFC 3629: no overlong forms, no surrogates,
// nothing above U+10FFFF).
inline size_t utf8_decode(std::string_view s, size_t i, uint32_t &cp) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
        cp = c;
        return 1;
    }
    size_t len;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        cp = c & 0x0Fu;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        cp = c & 0x07u;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (size_t k = 1; k < len; k++) {
        auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3Fu);
    }
    if (len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) return 0;
    if (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) return 0;
    return len;
}

inline bool valid_utf8(std::string_view s) {
    uint32_t cp;
    for (size_t i = 0; i < s.size();) {
        size_t len = utf8_decode(s, i, cp);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

// UTF-16 bytes of valid UTF-8 text, without a byte-order mark.
inline std::string utf8_to_utf16(std::string_view s, bool big_endian) {
    std::string out;
    auto put = [&](uint32_t unit) {
        char hi = static_cast<char>(unit >> 8), lo = static_cast<char>(unit & 0xFF);
        out += big_endian ? hi : lo;
        out += big_endian ? lo : hi;
    };
    uint32_t cp;
    for (size_t i = 0; i < s.size();) {
        size_t len = utf8_decode(s, i, cp);
        if (len == 0) return {};
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(0xD800 + (cp >> 10));
            put(0xDC00 + (cp & 0x3FF));
        } else {
            put(cp);
        }
    }
    return out;
}

}  // namespace lyrx_test
