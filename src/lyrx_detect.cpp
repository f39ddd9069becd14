// The quick LRC test: one bracketed time tag or known header tag within the
// first 8192 bytes. Reads nothing outside that window, allocates nothing and
// leaves the result state alone.
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define LYRX_DETECT_SSE2 1
#endif

#include "lyrx_state.hpp"

namespace lyrx {
namespace {

constexpr size_t kDetectWindow = 8192;

bool is_digit(unsigned char c) noexcept { return c >= '0' && c <= '9'; }

// Advances j over a run of digits below n; false when the run is empty.
bool skip_digits(const unsigned char *p, size_t n, size_t &j) noexcept {
    size_t start = j;
    while (j < n && is_digit(p[j])) j++;
    return j > start;
}

// "digits:digits]" or "digits:digits.[digits]]" starting at j.
bool time_tag_at(const unsigned char *p, size_t n, size_t j) noexcept {
    if (!skip_digits(p, n, j)) return false;
    if (j >= n || p[j] != ':') return false;
    j++;
    if (!skip_digits(p, n, j)) return false;
    if (j >= n) return false;
    if (p[j] == ']') return true;
    if (p[j] != '.') return false;
    j++;
    while (j < n && is_digit(p[j])) j++;
    return j < n && p[j] == ']';
}

// Where a header value ends: the first "]", CR or LF at or after a position.
// Remembered between calls, so that many "[ti:" without a "]" stay linear.
struct value_end_finder {
    size_t from = 1;  // empty range: nothing remembered yet
    size_t end = 0;

    size_t find(const unsigned char *p, size_t n, size_t v) noexcept {
        if (v >= from && v <= end) return end;  // no stop byte lies in [from, end)
        size_t j = v;
        while (j < n && p[j] != ']' && p[j] != '\r' && p[j] != '\n') j++;
        from = v;
        end = j;
        return j;
    }
};

// A known key (any letter case) after the "[" at i, closed by "]" on the same line.
bool key_tag_at(const unsigned char *p, size_t n, size_t i, value_end_finder &ends) noexcept {
    static constexpr struct {
        const char *text;
        size_t len;
    } kKeys[] = {{"ti:", 3}, {"ar:", 3}, {"al:", 3}, {"by:", 3}, {"offset:", 7}};
    for (const auto &key : kKeys) {
        size_t value = i + 1 + key.len;
        if (value > n) continue;
        bool match = true;
        for (size_t k = 0; k < key.len && match; k++)
            match = ascii_lower(p[i + 1 + k]) == static_cast<unsigned char>(key.text[k]);
        if (!match || value >= n) continue;
        size_t end = ends.find(p, n, value);
        if (end < n && p[end] == ']') return true;
    }
    return false;
}

bool tag_at(const unsigned char *p, size_t n, size_t i, value_end_finder &ends) noexcept {
    return time_tag_at(p, n, i + 1) || key_tag_at(p, n, i, ends);
}

#ifdef LYRX_DETECT_SSE2
// Bit k set when p[k] is "[" and p[k + 1] could begin a tag: a digit, or the
// first letter of a key in either case. Other "[" cannot start one, so a
// window full of them is passed 16 bytes at a time.
unsigned tag_starts(const unsigned char *p) noexcept {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    __m128i open = _mm_cmpeq_epi8(v, _mm_set1_epi8('['));
    auto opens = static_cast<unsigned>(_mm_movemask_epi8(open));
    if (opens == 0) return 0;
    __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 1));
    // A "[" followed by another is no start: a run of them costs no more.
    if ((opens & ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(w, _mm_set1_epi8('['))))) == 0) return 0;
    __m128i digit_value = _mm_sub_epi8(w, _mm_set1_epi8('0'));
    __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(digit_value, _mm_set1_epi8(9)), digit_value);
    __m128i lower = _mm_or_si128(w, _mm_set1_epi8(0x20));
    __m128i letter = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(lower, _mm_set1_epi8('t')), _mm_cmpeq_epi8(lower, _mm_set1_epi8('a'))),
                                  _mm_or_si128(_mm_cmpeq_epi8(lower, _mm_set1_epi8('b')), _mm_cmpeq_epi8(lower, _mm_set1_epi8('o'))));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(open, _mm_or_si128(digit, letter))));
}
#endif

}  // namespace
}  // namespace lyrx

using namespace lyrx;

extern "C" {

LYRX_API int32_t lyrx_detect(const char *data, uint64_t length) noexcept {
    if (!data || length <= 2) return 0;
    const auto *p = reinterpret_cast<const unsigned char *>(data);
    if (p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
        p += 3;
        length -= 3;
        if (length <= 2) return 0;
    }
    size_t n = length < kDetectWindow ? static_cast<size_t>(length) : kDetectWindow;
    value_end_finder ends;
    size_t i = 0;
#ifdef LYRX_DETECT_SSE2
    for (; i + 17 <= n; i += 16) {
        for (unsigned m = tag_starts(p + i); m != 0; m &= m - 1) {
            size_t at = i + static_cast<size_t>(__builtin_ctz(m));
            if (at + 3 <= n && tag_at(p, n, at, ends)) return 1;
        }
    }
#endif
    for (; i + 3 <= n; i++) {
        if (p[i] == '[' && tag_at(p, n, i, ends)) return 1;
    }
    return 0;
}

}  // extern "C"
