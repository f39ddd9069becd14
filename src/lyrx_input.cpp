// File input: reads a whole file into memory, converts a file that starts with
// a UTF-16 byte-order mark to UTF-8, and parses the text as lyrx_parse does.
// Failures before the parse keep the previous result and replace only the
// error text.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include "lyrx_state.hpp"
#include "lyrx_sys.hpp"

namespace lyrx {

namespace sys {

#ifdef _WIN32

namespace {
bool has_high_byte(const char *s) noexcept {
    for (; *s; s++)
        if (static_cast<unsigned char>(*s) >= 0x80) return true;
    return false;
}
}  // namespace

// fopen reads a path in the ANSI code page, so a UTF-8 name with non-ASCII
// characters is not found. Every path the C library opens still opens the
// same way: the UTF-16 retry happens only after it failed.
std::FILE *platform_open(const char *path, bool *out_of_memory) noexcept {
    *out_of_memory = false;
    std::FILE *f = std::fopen(path, "rb");
    if (f || !has_high_byte(path)) return f;
    int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (units <= 0) return nullptr;  // not UTF-8: nothing else to try
    auto *wide = static_cast<wchar_t *>(mem_alloc(static_cast<size_t>(units) * sizeof(wchar_t)));
    if (!wide) {
        *out_of_memory = true;
        return nullptr;
    }
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, units) == units)
        f = _wfopen(wide, L"rb");
    mem_free(wide);
    return f;
}
int platform_seek(std::FILE *f, int64_t offset, int whence) noexcept { return _fseeki64(f, offset, whence); }
int64_t platform_tell(std::FILE *f) noexcept { return _ftelli64(f); }

#else

std::FILE *platform_open(const char *path, bool *out_of_memory) noexcept {
    *out_of_memory = false;
    return std::fopen(path, "rb");
}
int platform_seek(std::FILE *f, int64_t offset, int whence) noexcept {
    return std::fseek(f, static_cast<long>(offset), whence);
}
int64_t platform_tell(std::FILE *f) noexcept { return std::ftell(f); }

#endif

#ifdef LYRX_FAULT_INJECTION
namespace {
std::size_t libc_read(void *buf, std::size_t size, std::size_t count, std::FILE *f) {
    return std::fread(buf, size, count, f);
}
int libc_error(std::FILE *f) { return std::ferror(f); }
int libc_close(std::FILE *f) { return std::fclose(f); }
}  // namespace

const file_calls kLibcFileCalls{platform_open, platform_seek, platform_tell, libc_read, libc_error, libc_close};
file_calls g_file_calls = kLibcFileCalls;
#endif

}  // namespace sys

#ifdef _WIN32

namespace {
constexpr bool is_high_surrogate(wchar_t u) noexcept { return u >= 0xD800 && u <= 0xDBFF; }
// Code units per converter call: their UTF-8 (at most 3 bytes each) stays
// below INT_MAX, the largest count the converter takes.
constexpr size_t kUnitsPerCall = size_t{1} << 28;
}  // namespace

// The system's converter, held to iconv's contract: all or nothing, failing
// on an odd byte count (an incomplete unit) and on any unpaired surrogate.
int iconv_to_utf8(const char *from, const char *in, uint64_t m, char **out, uint64_t *out_len) noexcept {
    bool big_endian = std::strcmp(from, "UTF-16BE") == 0;
    if (!big_endian && std::strcmp(from, "UTF-16LE") != 0) return -1;
    if (m % 2 != 0 || m > (SIZE_MAX - 16) / 4) return -1;
    size_t units = static_cast<size_t>(m / 2);
    // The code units in machine order, for either byte order of the file.
    auto *wide = static_cast<wchar_t *>(mem_alloc(units ? units * sizeof(wchar_t) : 1));
    if (!wide) return -1;
    const auto *bytes = reinterpret_cast<const unsigned char *>(in);
    for (size_t i = 0; i < units; i++) {
        unsigned first = bytes[2 * i], second = bytes[2 * i + 1];
        wide[i] = static_cast<wchar_t>(big_endian ? (first << 8 | second) : (second << 8 | first));
    }
    size_t room = static_cast<size_t>(m) * 4 + 16;
    auto *buf = static_cast<char *>(mem_alloc(room));
    if (!buf) {
        mem_free(wide);
        return -1;
    }
    size_t written = 0;
    for (size_t done = 0; done < units;) {
        size_t count = units - done < kUnitsPerCall ? units - done : kUnitsPerCall;
        // A pair split between two calls would look unpaired to both.
        if (done + count < units && is_high_surrogate(wide[done + count - 1])) count--;
        size_t left = room - 1 - written;
        int got = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide + done, static_cast<int>(count),
                                      buf + written, static_cast<int>(left < INT_MAX ? left : INT_MAX), nullptr,
                                      nullptr);
        if (got <= 0) {
            mem_free(buf);
            mem_free(wide);
            return -1;
        }
        written += static_cast<size_t>(got);
        done += count;
    }
    mem_free(wide);
    buf[written] = '\0';
    *out = buf;
    *out_len = written;
    return 0;
}

#else

int iconv_to_utf8(const char *from, const char *in, uint64_t m, char **out, uint64_t *out_len) noexcept {
    iconv_t cd = sys::conv_open("UTF-8", from);
    if (reinterpret_cast<intptr_t>(cd) == -1) return -1;  // (iconv_t)-1
    // Four UTF-8 bytes per input byte always suffice for UTF-16, plus the NUL.
    if (m > (SIZE_MAX - 16) / 4) {
        iconv_close(cd);
        return -1;
    }
    size_t room = static_cast<size_t>(m) * 4 + 16;
    auto *buf = static_cast<char *>(mem_alloc(room));
    if (!buf) {
        iconv_close(cd);
        return -1;
    }
    char *src = const_cast<char *>(in);  // iconv's prototype takes char ** but never writes the input
    size_t src_left = static_cast<size_t>(m);
    char *dst = buf;
    size_t dst_left = room - 1;
    // One call with the whole input: an incomplete or invalid sequence fails it,
    // and no partial text is ever handed on.
    if (iconv(cd, &src, &src_left, &dst, &dst_left) == static_cast<size_t>(-1)) {
        mem_free(buf);
        iconv_close(cd);
        return -1;
    }
    *dst = '\0';
    *out = buf;
    *out_len = static_cast<uint64_t>(dst - buf);
    iconv_close(cd);
    return 0;
}

#endif

namespace {

// "cannot open <path>". A path that lies in the error buffer itself is copied
// first: the buffer is overwritten while the text is formatted.
void report_open_failure(const char *path) noexcept {
    if (!points_into_error(path)) {
        set_error_fmt("cannot open %s", path);
        return;
    }
    char copy[kErrorSize];
    auto room = static_cast<size_t>(g_error + kErrorSize - path);
    const void *nul = std::memchr(path, '\0', room);
    size_t len = nul ? static_cast<size_t>(static_cast<const char *>(nul) - path) : room;
    if (len >= kErrorSize) len = kErrorSize - 1;
    std::memcpy(copy, path, len);
    copy[len] = '\0';
    set_error_fmt("cannot open %s", copy);
}

// Converts the bytes after a UTF-16 mark and parses the result. Takes the
// file buffer and frees it before the parse, so both never exist together.
int32_t parse_converted(const char *encoding, char *file_buf, size_t n) noexcept {
    char *text = nullptr;
    uint64_t len = 0;
    int rc = iconv_to_utf8(encoding, file_buf + 2, n - 2, &text, &len);
    mem_free(file_buf);
    if (rc != 0) {
        set_error_fmt("iconv %s failed", encoding);
        return LYRX_ERR_NO_LYRICS;
    }
    int32_t status = parse_replacing(text, len, true);
    // Always the last warning of the parse, whatever its status.
    warn_fmt("encoding: converted %s BOM to UTF-8", encoding);
    mem_free(text);
    return status;
}

}  // namespace

}  // namespace lyrx

using namespace lyrx;

extern "C" {

LYRX_API int32_t lyrx_parse_file(const char *path) noexcept {
    if (!path) {
        set_error_fmt("null path");
        return LYRX_ERR_NULL;
    }
    // Until the file is read, the previous result stays: the path may point
    // into it, and a failure here replaces only the error text.
    bool out_of_memory = false;
    std::FILE *f = sys::file_open(path, &out_of_memory);
    if (!f) {
        if (out_of_memory) {
            set_error_fmt("oom");
            return LYRX_ERR_OOM;
        }
        report_open_failure(path);
        return LYRX_ERR_IO;
    }
    if (sys::file_seek(f, 0, SEEK_END) != 0) {
        sys::file_close(f);
        set_error_fmt("seek failed");
        return LYRX_ERR_IO;
    }
    // The size is held as a signed 32-bit number: 2 GiB or more is refused
    // before anything is allocated or read.
    int64_t size = sys::file_tell(f);
    if (size < 0 || size > INT32_MAX) {
        sys::file_close(f);
        set_error_fmt("tell failed");
        return LYRX_ERR_IO;
    }
    std::rewind(f);
    auto want = static_cast<size_t>(size);
    auto *buf = static_cast<char *>(mem_alloc(want + 1));
    if (!buf) {
        sys::file_close(f);
        set_error_fmt("oom");
        return LYRX_ERR_OOM;
    }
    size_t n = sys::file_read(buf, 1, want, f);
    // A file that shrank since it was sized is parsed as read; a stream that
    // reports an error is not, since its bytes may be incomplete.
    bool read_failed = n < want && sys::file_error(f) != 0;
    sys::file_close(f);
    if (read_failed) {
        mem_free(buf);
        set_error_fmt("read failed");
        return LYRX_ERR_IO;
    }
    buf[n] = '\0';

    if (n >= 2) {
        auto b0 = static_cast<unsigned char>(buf[0]);
        auto b1 = static_cast<unsigned char>(buf[1]);
        if (b0 == 0xFF && b1 == 0xFE) return parse_converted("UTF-16LE", buf, n);
        if (b0 == 0xFE && b1 == 0xFF) return parse_converted("UTF-16BE", buf, n);
    }
    int32_t status = parse_replacing(buf, n, true);
    mem_free(buf);
    return status;
}

}  // extern "C"
