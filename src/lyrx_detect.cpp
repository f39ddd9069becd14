// The quick LRC test: one bracketed time tag or known header tag within the
// first 8192 bytes. Reads nothing outside that window, allocates nothing and
// leaves the result state alone.
#include <cstddef>
#include <cstdint>
#include <cstring>

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
// The window is read 64 bytes at a time into one bit per byte and class, and
// both tag shapes are matched on those bits for all positions at once: a
// window dense with "[" that almost begins a tag costs little more than any
// other. A run of digits (or of bytes other than "]", CR and LF) that begins
// at a marked position is followed to its end by one addition: the carry runs
// through the run and stops on the byte after it. Shifts and additions carry
// into the next 64 bytes.
struct piece_classes {
    uint64_t open, close, stop, colon, dot, digit;
    uint64_t short_key, offset_key;  // where "[ti:", "[ar:", "[al:", "[by:" and "[offset:" begin, any case
};

uint64_t mask16(__m128i m, size_t k) noexcept {
    return static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(m))) << (16 * k);
}

__m128i load(const unsigned char *p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
__m128i lower_at(const unsigned char *p) noexcept { return _mm_or_si128(load(p), _mm_set1_epi8(0x20)); }
__m128i is(__m128i v, char ch) noexcept { return _mm_cmpeq_epi8(v, _mm_set1_epi8(ch)); }

// The classes of p[0..64); reads p[0..72).
piece_classes classify(const unsigned char *p) noexcept {
    piece_classes c{};
    for (size_t k = 0; k < 4; k++) {
        const unsigned char *q = p + 16 * k;
        __m128i v = load(q);
        __m128i open = is(v, '['), close = is(v, ']');
        c.open |= mask16(open, k);
        c.close |= mask16(close, k);
        c.stop |= mask16(_mm_or_si128(close, _mm_or_si128(is(v, '\r'), is(v, '\n'))), k);
        c.colon |= mask16(is(v, ':'), k);
        c.dot |= mask16(is(v, '.'), k);
        __m128i digit_value = _mm_sub_epi8(v, _mm_set1_epi8('0'));
        c.digit |= mask16(_mm_cmpeq_epi8(_mm_min_epu8(digit_value, _mm_set1_epi8(9)), digit_value), k);
        if (_mm_movemask_epi8(open) == 0) continue;
        // Keys, compared at every "[" with the bytes after it.
        __m128i first = lower_at(q + 1), second = lower_at(q + 2);
        __m128i pair = _mm_or_si128(
            _mm_or_si128(_mm_and_si128(is(first, 't'), is(second, 'i')),
                         _mm_and_si128(is(first, 'a'), _mm_or_si128(is(second, 'r'), is(second, 'l')))),
            _mm_and_si128(is(first, 'b'), is(second, 'y')));
        c.short_key |= mask16(_mm_and_si128(_mm_and_si128(open, pair), is(load(q + 3), ':')), k);
        __m128i offset = _mm_and_si128(open, is(first, 'o'));
        if (_mm_movemask_epi8(offset) == 0) continue;
        offset = _mm_and_si128(offset, _mm_and_si128(is(second, 'f'), is(lower_at(q + 3), 'f')));
        offset = _mm_and_si128(offset, _mm_and_si128(is(lower_at(q + 4), 's'), is(lower_at(q + 5), 'e')));
        offset = _mm_and_si128(offset, _mm_and_si128(is(lower_at(q + 6), 't'), is(load(q + 7), ':')));
        c.offset_key |= mask16(offset, k);
    }
    return c;
}

// The "[" among p[0..16) that could begin a tag: before a digit, or before
// the first letter of a key in either case. Reads p[0..17).
unsigned tag_starts(const unsigned char *p) noexcept {
    __m128i v = load(p);
    __m128i open = is(v, '[');
    auto opens = static_cast<unsigned>(_mm_movemask_epi8(open));
    if (opens == 0) return 0;
    __m128i w = load(p + 1);
    // A "[" followed by another is no start: a run of them costs no more.
    if ((opens & ~static_cast<unsigned>(_mm_movemask_epi8(is(w, '[')))) == 0) return 0;
    __m128i digit_value = _mm_sub_epi8(w, _mm_set1_epi8('0'));
    __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(digit_value, _mm_set1_epi8(9)), digit_value);
    __m128i lower = _mm_or_si128(w, _mm_set1_epi8(0x20));
    __m128i letter = _mm_or_si128(_mm_or_si128(is(lower, 't'), is(lower, 'a')), _mm_or_si128(is(lower, 'b'), is(lower, 'o')));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(open, _mm_or_si128(digit, letter))));
}

// Bits moved k places up, the top k of the previous 64 coming in below.
uint64_t up(uint64_t now, uint64_t before, unsigned k) noexcept { return now << k | before >> (64 - k); }

// The ends of the runs of `run` that hold a bit of `starts` (a subset of
// run): the position after each. `carry` links the 64-byte pieces.
uint64_t run_ends(uint64_t starts, uint64_t run, bool &carry) noexcept {
    uint64_t sum = starts + run;
    bool out = sum < run;
    uint64_t with_carry = sum + (carry ? 1 : 0);
    out = out || with_carry < sum;
    carry = out;
    return with_carry & ~run;
}

// Whether the window holds a tag, read as tag_at reads it at every "[".
// Where "[" are few, a piece of 64 bytes where none may begin a tag, and into
// which none of the piece before runs, is passed over after the quick test
// of tag_starts; after a piece with many, the next is read in full at once.
bool window_has_tag(const unsigned char *p, size_t n) noexcept {
    piece_classes before{};
    uint64_t colon_after_digits_before = 0, dot_after_digits_before = 0;
    bool carry_minutes = false, carry_seconds = false, carry_fraction = false, carry_value = false;
    bool pending = false;  // the piece before leaves a run or a tag's start to this one
    bool dense = false;    // the piece before had many "["
    for (size_t at = 0; at < n; at += 64) {
        // Reads go up to 8 bytes past the piece: the last pieces are copied.
        unsigned char last[80] = {};
        const unsigned char *q = p + at;
        uint64_t valid = ~uint64_t{0};
        if (n - at < 72) {
            std::memcpy(last, q, n - at);
            q = last;
            if (n - at < 64) valid = (uint64_t{1} << (n - at)) - 1;
        }
        if (!pending && !dense) {
            uint64_t starts = 0;
            for (size_t k = 0; k < 4; k++) starts |= static_cast<uint64_t>(tag_starts(q + 16 * k)) << (16 * k);
            if ((starts & valid) == 0) {
                before = piece_classes{};
                colon_after_digits_before = dot_after_digits_before = 0;
                continue;
            }
        }
        piece_classes c = classify(q);
        c.open &= valid;
        // "[" digits ":" digits, then "]" or "." digits (maybe none) "]".
        uint64_t minutes = up(c.open, before.open, 1) & c.digit;
        uint64_t colon_after_digits = run_ends(minutes, c.digit, carry_minutes) & c.colon;
        uint64_t seconds = up(colon_after_digits, colon_after_digits_before, 1) & c.digit;
        uint64_t after_seconds = run_ends(seconds, c.digit, carry_seconds);
        if (after_seconds & c.close & valid) return true;
        uint64_t dot_after_digits = after_seconds & c.dot;
        uint64_t fraction = up(dot_after_digits, dot_after_digits_before, 1);
        uint64_t after_fraction = run_ends(fraction & c.digit, c.digit, carry_fraction) | (fraction & ~c.digit);
        if (after_fraction & c.close & valid) return true;
        // "[" key ":" and the first "]", CR or LF after it a "]".
        uint64_t values = (up(c.short_key, before.short_key, 4) | up(c.offset_key, before.offset_key, 8)) & valid;
        uint64_t value_run = ~c.stop & valid;
        uint64_t value_ends = run_ends(values & value_run, value_run, carry_value) | (values & c.stop);
        if (value_ends & c.close & valid) return true;
        before = c;
        colon_after_digits_before = colon_after_digits;
        dot_after_digits_before = dot_after_digits;
        // A key's "[" lies at most 8 bytes before its value.
        pending = carry_minutes || carry_seconds || carry_fraction || carry_value || (c.open >> 56) != 0 ||
                  ((colon_after_digits | dot_after_digits) >> 63) != 0;
        dense = __builtin_popcountll(c.open) >= 8;
    }
    return false;
}
#endif

}  // namespace

bool window_has_tag_bytewise(const unsigned char *p, size_t n) noexcept {
    value_end_finder ends;
    for (size_t i = 0; i + 3 <= n; i++) {
        if (p[i] == '[' && tag_at(p, n, i, ends)) return true;
    }
    return false;
}

int32_t detect_with(bool (*window_test)(const unsigned char *, size_t), const char *data, uint64_t length) noexcept {
    if (!data || length <= 2) return 0;
    const auto *p = reinterpret_cast<const unsigned char *>(data);
    if (p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
        p += 3;
        length -= 3;
        if (length <= 2) return 0;
    }
    size_t n = length < kDetectWindow ? static_cast<size_t>(length) : kDetectWindow;
    return window_test(p, n) ? 1 : 0;
}

}  // namespace lyrx

using namespace lyrx;

extern "C" {

LYRX_API int32_t lyrx_detect(const char *data, uint64_t length) noexcept {
#ifdef LYRX_DETECT_SSE2
    return detect_with(window_has_tag, data, length);
#else
    return detect_with(window_has_tag_bytewise, data, length);
#endif
}

}  // extern "C"
