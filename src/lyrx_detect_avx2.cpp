// Detection's window read 32 bytes at a time with AVX2, for the CPUs that
// have it (lyrx_detect asks the CPU first). Only this unit's own functions
// are built for AVX2: the target is set after the standard headers, and this
// unit includes nothing that other units share code with.
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

#include "lyrx_detect_masks.hpp"

namespace lyrx {
namespace {

// The byte constants, each 32 times over, and the lookup rows. GCC would
// build each splat in registers (three instructions) again in every piece;
// read from memory it cannot see into, each is one operand.
constexpr unsigned char kSplatBytes[] = {'[', ']', ':', '.', 0x20, 'o', 'f', 's', 'e', 't'};

// Rows indexed by a byte's low four bits (a byte with its top bit set reads 0).
// A line end or a digit is the byte that equals its own entry in its row: one
// lookup and one compare. kKeyFirst holds the lowered first letters of the
// keys (a 1, b 2, t 4, o 15).
//
// A short key's two letters, lowered, are told apart by their average
// (rounded up): 0x6F for "ti", 0x6A for "ar", 0x67 for "al" and 0x6E for "by",
// four distinct low halves below 0x80. The pair rows give, by that low half,
// the two letters that make it; any other pair misses one of them (a lowered
// byte is never 0).
enum lookup_row { kNewline, kDigit, kKeyFirst, kPairFirst, kPairSecond, kLookupRows };
constexpr unsigned char kNo = 0x80;  // read only by bytes below 0x80, none of which it equals
constexpr unsigned char kLookups[kLookupRows][16] = {
    {kNo, kNo, kNo, kNo, kNo, kNo, kNo, kNo, kNo, kNo, '\n', kNo, kNo, '\r', kNo, kNo},
    {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', kNo, kNo, kNo, kNo, kNo, kNo},
    {kNo, 'a', 'b', kNo, 't', kNo, kNo, kNo, kNo, kNo, kNo, kNo, kNo, kNo, kNo, 'o'},
    {0, 0, 0, 0, 0, 0, 0, 'a', 0, 0, 'a', 0, 0, 0, 'b', 't'},
    {0, 0, 0, 0, 0, 0, 0, 'l', 0, 0, 'r', 0, 0, 0, 'y', 'i'},
};

constexpr char kShortKeys[][3] = {"ti", "ar", "al", "by"};
constexpr bool pair_rows_give_each_key() {
    for (const char *key : kShortKeys) {
        const auto first = static_cast<unsigned char>(key[0]), second = static_cast<unsigned char>(key[1]);
        const unsigned average = (first + second + 1u) / 2;
        if (average >= 0x80 || kLookups[kPairFirst][average % 16] != first || kLookups[kPairSecond][average % 16] != second)
            return false;
    }
    return true;
}
static_assert(pair_rows_give_each_key());

struct alignas(32) constant_table {
    unsigned char splats[sizeof kSplatBytes][32];
    unsigned char lookups[kLookupRows][32];  // each row in both 16-byte lanes
};
constexpr constant_table make_constants() {
    constant_table t{};
    for (size_t i = 0; i < sizeof kSplatBytes; i++) {
        for (size_t k = 0; k < 32; k++) t.splats[i][k] = kSplatBytes[i];
    }
    for (size_t i = 0; i < kLookupRows; i++) {
        for (size_t k = 0; k < 32; k++) t.lookups[i][k] = kLookups[i][k % 16];
    }
    return t;
}
constexpr constant_table kConstants = make_constants();
constexpr size_t splat_index(unsigned char c) {
    for (size_t i = 0; i < sizeof kSplatBytes; i++)
        if (kSplatBytes[i] == c) return i;
    return sizeof kSplatBytes;
}

struct avx2_classes {
    const constant_table *constants = &kConstants;
    // The splats every half uses more than once, held in registers; the
    // others are read from the table where they are used.
    __m256i open_splat, colon_splat, lower_splat;
    avx2_classes() noexcept {
        __asm__("" : "+r"(constants));
        open_splat = table_splat<'['>();
        colon_splat = table_splat<':'>();
        lower_splat = table_splat<0x20>();
    }
    template <unsigned char C>
    __m256i table_splat() const noexcept {
        static_assert(splat_index(C) < sizeof kSplatBytes);
        return _mm256_load_si256(reinterpret_cast<const __m256i *>(constants->splats[splat_index(C)]));
    }
    template <unsigned char C>
    __m256i splat() const noexcept {
        if constexpr (C == '[') return open_splat;
        else if constexpr (C == ':') return colon_splat;
        else if constexpr (C == 0x20) return lower_splat;
        else return table_splat<C>();
    }
    // The row's entry for each byte of v, by the byte's low four bits.
    __m256i look_up(lookup_row row, __m256i v) const noexcept {
        return _mm256_shuffle_epi8(_mm256_load_si256(reinterpret_cast<const __m256i *>(constants->lookups[row])), v);
    }
    static __m256i load(const unsigned char *p) noexcept { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }
    template <unsigned char C>
    __m256i is(__m256i v) const noexcept { return _mm256_cmpeq_epi8(v, splat<C>()); }
    __m256i is_digit(__m256i v) const noexcept { return _mm256_cmpeq_epi8(look_up(kDigit, v), v); }
    static uint64_t mask(__m256i m, size_t k) noexcept {
        return static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(m))) << (32 * k);
    }

    // The 32 bytes J before a half, raw or lowered: read in place, or, in the
    // window's first half, shifted from the half's own bytes with zeros
    // before the window.
    struct in_place_behind {
        const unsigned char *q;
        __m256i lower;
        template <int J>
        __m256i raw() const noexcept { return load(q - J); }
        template <int J>
        __m256i lowered() const noexcept { return _mm256_or_si256(load(q - J), lower); }
    };
    struct window_start_behind {
        __m256i v, zeros_v, lowered_v, zeros_lowered_v;  // zeros_x: x's low lane after 16 zeros
        window_start_behind(__m256i bytes, __m256i lower) noexcept
            : v(bytes), zeros_v(_mm256_permute2x128_si256(bytes, bytes, 0x08)), lowered_v(_mm256_or_si256(bytes, lower)),
              zeros_lowered_v(_mm256_permute2x128_si256(lowered_v, lowered_v, 0x08)) {}
        template <int J>
        __m256i raw() const noexcept { return _mm256_alignr_epi8(v, zeros_v, 16 - J); }
        template <int J>
        __m256i lowered() const noexcept { return _mm256_alignr_epi8(lowered_v, zeros_lowered_v, 16 - J); }
    };

    // Which bytes of colon end a key, read back from each ":".
    template <class Behind>
    [[gnu::always_inline]] __m256i key_colons(__m256i colon, const Behind &behind) const noexcept {
        __m256i first = behind.template lowered<2>(), second = behind.template lowered<1>();
        __m256i pair_row = _mm256_avg_epu8(first, second);
        __m256i pair = _mm256_and_si256(_mm256_cmpeq_epi8(look_up(kPairFirst, pair_row), first),
                                        _mm256_cmpeq_epi8(look_up(kPairSecond, pair_row), second));
        __m256i short_key = _mm256_and_si256(pair, is<'['>(behind.template raw<3>()));
        __m256i offset = _mm256_and_si256(is<'['>(behind.template raw<7>()), is<'o'>(behind.template lowered<6>()));
        offset = _mm256_and_si256(offset, _mm256_and_si256(is<'f'>(behind.template lowered<5>()), is<'f'>(behind.template lowered<4>())));
        offset = _mm256_and_si256(offset, _mm256_and_si256(is<'s'>(behind.template lowered<3>()), is<'e'>(first)));
        offset = _mm256_and_si256(offset, is<'t'>(second));
        return _mm256_and_si256(colon, _mm256_or_si256(short_key, offset));
    }

    // kWindowStart: the piece is the window's first, read in place.
    template <bool kWindowStart = false>
    [[gnu::always_inline]] piece_classes classify(const unsigned char *p) const noexcept {
        piece_classes c{};
        __m256i opens = _mm256_setzero_si256();
#pragma GCC unroll 2
        for (size_t k = 0; k < 2; k++) {
            const unsigned char *q = p + 32 * k;
            __m256i v = load(q), next = load(q + 1);
            __m256i open = is<'['>(v), colon = is<':'>(v), digit_next = is_digit(next);
            opens = _mm256_or_si256(opens, open);
            c.open_digit |= mask(_mm256_and_si256(open, digit_next), k);
            c.digit |= mask(is_digit(v), k);
            c.colon_digit |= mask(_mm256_and_si256(colon, digit_next), k);
            c.dot |= mask(is<'.'>(v), k);
            c.close |= mask(is<']'>(v), k);
            c.newline |= mask(_mm256_cmpeq_epi8(look_up(kNewline, v), v), k);
            const __m256i keys = kWindowStart && k == 0 ? key_colons(colon, window_start_behind(v, splat<0x20>()))
                                                        : key_colons(colon, in_place_behind{q, splat<0x20>()});
            c.key_colon |= mask(keys, k);
        }
        c.any_open = static_cast<uint32_t>(_mm256_movemask_epi8(opens));
        return c;
    }

    [[gnu::always_inline]] uint64_t starts(const unsigned char *p) const noexcept {
        uint64_t s = 0;
#pragma GCC unroll 2
        for (size_t k = 0; k < 2; k++) {
            const unsigned char *q = p + 32 * k;
            __m256i open = is<'['>(load(q));
            if (_mm256_movemask_epi8(open) == 0) continue;
            __m256i next = load(q + 1), lower = _mm256_or_si256(next, splat<0x20>());
            __m256i letter = _mm256_cmpeq_epi8(look_up(kKeyFirst, lower), lower);
            s |= mask(_mm256_and_si256(open, _mm256_or_si256(is_digit(next), letter)), k);
        }
        return s;
    }
};

}  // namespace

bool window_has_tag_avx2(const unsigned char *p, size_t n) noexcept { return masks_find_tag<avx2_classes>(p, n); }

}  // namespace lyrx

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif
