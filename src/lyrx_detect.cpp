// The quick LRC test: one bracketed time tag or known header tag within the
// first 8192 bytes. Reads nothing outside that window, allocates nothing and
// leaves the result state alone.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "lyrx_state.hpp"

#if defined(__x86_64__) || defined(_M_X64)
#include "lyrx_detect_masks.hpp"
#define LYRX_DETECT_MASKS 1
#endif

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

#ifdef LYRX_DETECT_MASKS
// The classes, read 16 bytes at a time.
struct sse2_classes {
    static __m128i load(const unsigned char *p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
    static __m128i is(__m128i v, char ch) noexcept { return _mm_cmpeq_epi8(v, _mm_set1_epi8(ch)); }
    static __m128i is_digit(__m128i v) noexcept {
        __m128i value = _mm_sub_epi8(v, _mm_set1_epi8('0'));
        return _mm_cmpeq_epi8(_mm_min_epu8(value, _mm_set1_epi8(9)), value);
    }
    static uint64_t mask(__m128i m, size_t k) noexcept {
        return static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(m))) << (16 * k);
    }

    // The 16 bytes J before the quarter at q, whose bytes are v: read in
    // place, or, in the window's first quarter, shifted from v with zeros
    // before the window.
    template <int J, bool kWindowStart>
    static __m128i back(const unsigned char *q, __m128i v) noexcept {
        if constexpr (kWindowStart) {
            return _mm_slli_si128(v, J);
        } else {
            return load(q - J);
        }
    }
    template <int J, bool kWindowStart>
    static __m128i lower_back(const unsigned char *q, __m128i v) noexcept {
        return _mm_or_si128(back<J, kWindowStart>(q, v), _mm_set1_epi8(0x20));
    }

    // Which bytes of colon end a key, read back from each ":".
    template <bool kWindowStart>
    static __m128i key_colons(const unsigned char *q, __m128i v, __m128i colon) noexcept {
        __m128i first = lower_back<2, kWindowStart>(q, v), second = lower_back<1, kWindowStart>(q, v);
        __m128i pair = _mm_or_si128(
            _mm_or_si128(_mm_and_si128(is(first, 't'), is(second, 'i')),
                         _mm_and_si128(is(first, 'a'), _mm_or_si128(is(second, 'r'), is(second, 'l')))),
            _mm_and_si128(is(first, 'b'), is(second, 'y')));
        __m128i short_key = _mm_and_si128(pair, is(back<3, kWindowStart>(q, v), '['));
        __m128i offset = _mm_and_si128(is(back<7, kWindowStart>(q, v), '['), is(lower_back<6, kWindowStart>(q, v), 'o'));
        offset = _mm_and_si128(offset, _mm_and_si128(is(lower_back<5, kWindowStart>(q, v), 'f'), is(lower_back<4, kWindowStart>(q, v), 'f')));
        offset = _mm_and_si128(offset, _mm_and_si128(is(lower_back<3, kWindowStart>(q, v), 's'), is(first, 'e')));
        offset = _mm_and_si128(offset, is(second, 't'));
        return _mm_and_si128(colon, _mm_or_si128(short_key, offset));
    }

    // kWindowStart: the piece is the window's first, read in place.
    template <bool kWindowStart = false>
    [[gnu::always_inline]] static piece_classes classify(const unsigned char *p) noexcept {
        piece_classes c{};
        __m128i opens = _mm_setzero_si128();
#pragma GCC unroll 4
        for (size_t k = 0; k < 4; k++) {
            const unsigned char *q = p + 16 * k;
            __m128i v = load(q), digit_next = is_digit(load(q + 1));
            __m128i open = is(v, '['), colon = is(v, ':');
            opens = _mm_or_si128(opens, open);
            c.open_digit |= mask(_mm_and_si128(open, digit_next), k);
            c.digit |= mask(is_digit(v), k);
            c.colon_digit |= mask(_mm_and_si128(colon, digit_next), k);
            c.dot |= mask(is(v, '.'), k);
            c.close |= mask(is(v, ']'), k);
            c.newline |= mask(_mm_or_si128(is(v, '\r'), is(v, '\n')), k);
            if (_mm_movemask_epi8(colon) == 0) continue;
            c.key_colon |= mask(kWindowStart && k == 0 ? key_colons<true>(q, v, colon) : key_colons<false>(q, v, colon), k);
        }
        c.any_open = static_cast<uint32_t>(_mm_movemask_epi8(opens));
        return c;
    }

    [[gnu::always_inline]] static uint64_t starts(const unsigned char *p) noexcept {
        uint64_t s = 0;
        for (size_t k = 0; k < 4; k++) {
            const unsigned char *q = p + 16 * k;
            __m128i open = is(load(q), '[');
            if (_mm_movemask_epi8(open) == 0) continue;
            __m128i next = load(q + 1), lower = _mm_or_si128(next, _mm_set1_epi8(0x20));
            __m128i letter = _mm_or_si128(_mm_or_si128(is(lower, 't'), is(lower, 'a')), _mm_or_si128(is(lower, 'b'), is(lower, 'o')));
            s |= mask(_mm_and_si128(open, _mm_or_si128(is_digit(next), letter)), k);
        }
        return s;
    }
};
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

#ifdef LYRX_DETECT_MASKS
bool window_has_tag_sse2(const unsigned char *p, size_t n) noexcept { return masks_find_tag<sse2_classes>(p, n); }

// The CPU's answer does not change while the process runs.
bool cpu_has_avx2() noexcept {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
}

window_readings vector_window_readings() noexcept {
    return {window_has_tag_sse2, cpu_has_avx2() ? window_has_tag_avx2 : nullptr};
}
#else
window_readings vector_window_readings() noexcept { return {nullptr, nullptr}; }
#endif

}  // namespace lyrx

using namespace lyrx;

extern "C" {

LYRX_API int32_t lyrx_detect(const char *data, uint64_t length) noexcept {
#ifdef LYRX_DETECT_MASKS
    return detect_with(cpu_has_avx2() ? window_has_tag_avx2 : window_has_tag_sse2, data, length);
#else
    return detect_with(window_has_tag_bytewise, data, length);
#endif
}

}  // extern "C"
