// The result of the last parse as one compact JSON text, built with yyjson's
// mutable document from the same values the query functions return.
#include <yyjson.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define LYRX_JSON_SSE2 1
#endif

#include "lyrx_state.hpp"

namespace lyrx {
namespace {

#ifdef LYRX_FAULT_INJECTION
// Test builds route yyjson's allocations through the seam so that its
// failures can be provoked; the text stays freeable with std::free.
void *json_malloc(void *, size_t n) { return mem_alloc(n); }
void *json_realloc(void *, void *p, size_t, size_t n) { return mem_realloc(p, n); }
void json_free(void *, void *p) { std::free(p); }
const yyjson_alc kSeamAllocator{json_malloc, json_realloc, json_free, nullptr};
const yyjson_alc *json_allocator() noexcept { return &kSeamAllocator; }
#else
// yyjson's default allocator is the C heap, which lyrx_clear frees from.
const yyjson_alc *json_allocator() noexcept { return nullptr; }
#endif

// A JSON text is refused above this size, as a file is: a result whose lines
// share one long text can describe far more than memory holds.
constexpr int64_t kMaxJsonSize = INT32_MAX;

template <size_t N>
constexpr int64_t literal_size(const char (&)[N]) noexcept {
    return static_cast<int64_t>(N - 1);
}

uint32_t magnitude(int32_t v) noexcept { return static_cast<uint32_t>(v < 0 ? -static_cast<int64_t>(v) : v); }

// The decimal digits of u without a loop: lengths that vary from line to
// line would mislead the branch predictor. Indexed by the bit length, an
// entry holds the digit count of its smallest value, plus, where a power of
// ten lies in the range, what carries into the next count from there on.
constexpr auto make_digit_steps() noexcept {
    struct table {
        uint64_t v[33];
    } t{};
    for (int bits = 1; bits <= 32; bits++) {
        uint64_t low = uint64_t{1} << (bits - 1), high = (uint64_t{1} << bits) - 1;
        uint64_t digits = 1, power = 10;
        while (power <= low) {
            digits++;
            power *= 10;
        }
        t.v[bits] = digits << 32;
        if (power <= high) t.v[bits] += (uint64_t{1} << 32) - power;
    }
    t.v[0] = uint64_t{1} << 32;  // zero is one digit
    return t;
}
constexpr auto kDigitSteps = make_digit_steps();

int decimal_digits(uint32_t u) noexcept {
    return static_cast<int>((u + kDigitSteps.v[std::bit_width(u)]) >> 32);
}

int64_t number_size(int32_t v) noexcept { return (v < 0 ? 1 : 0) + decimal_digits(magnitude(v)); }

// As yyjson writes a string with no flag: the quotes, a two-byte escape for a
// quote, a backslash, BS, TAB, LF, FF and CR, six bytes for any other control
// character, every other byte as it is.
int64_t string_size(const char *s) noexcept {
    int64_t n = 2;
    for (const auto *p = reinterpret_cast<const unsigned char *>(s); *p; p++) {
        unsigned char c = *p;
        if (c == '"' || c == '\\' || c == '\b' || c == '\t' || c == '\n' || c == '\f' || c == '\r') n += 2;
        else if (c < 0x20) n += 6;
        else n += 1;
    }
    return n;
}

// The well-formed UTF-8 byte sequences of the Unicode standard's table, which
// is also what yyjson's writer accepts (no overlong forms, no surrogates,
// nothing above U+10FFFF), as an automaton whose states are shift amounts:
// bits [state, state + 6) of kUtf8Rows[b] hold the state after byte b, so a
// step is a shift and a mask with no branch.
enum : uint32_t {
    U_ACCEPT = 0,   // between characters
    U_REJECT = 6,   // not well-formed, for good
    U_LAST = 12,    // one continuation byte to come
    U_TWO = 18,     // two to come
    U_E0 = 24,      // after E0: A0..BF, then one
    U_ED = 30,      // after ED: 80..9F, then one
    U_F0 = 36,      // after F0: 90..BF, then two
    U_F1_F3 = 42,   // after F1..F3: 80..BF, then two
    U_F4 = 48,      // after F4: 80..8F, then two
};
constexpr uint32_t utf8_next(uint32_t state, unsigned b) noexcept {
    auto in = [b](unsigned lo, unsigned hi) { return b >= lo && b <= hi; };
    switch (state) {
    case U_ACCEPT:
        if (b < 0x80) return U_ACCEPT;
        if (in(0xC2, 0xDF)) return U_LAST;
        if (b == 0xE0) return U_E0;
        if (b == 0xED) return U_ED;
        if (in(0xE1, 0xEF)) return U_TWO;
        if (b == 0xF0) return U_F0;
        if (in(0xF1, 0xF3)) return U_F1_F3;
        if (b == 0xF4) return U_F4;
        return U_REJECT;
    case U_LAST: return in(0x80, 0xBF) ? U_ACCEPT : U_REJECT;
    case U_TWO: return in(0x80, 0xBF) ? U_LAST : U_REJECT;
    case U_E0: return in(0xA0, 0xBF) ? U_LAST : U_REJECT;
    case U_ED: return in(0x80, 0x9F) ? U_LAST : U_REJECT;
    case U_F0: return in(0x90, 0xBF) ? U_TWO : U_REJECT;
    case U_F1_F3: return in(0x80, 0xBF) ? U_TWO : U_REJECT;
    case U_F4: return in(0x80, 0x8F) ? U_TWO : U_REJECT;
    default: return U_REJECT;
    }
}
constexpr auto make_utf8_rows() noexcept {
    struct rows { uint64_t v[256]; } t{};
    for (unsigned b = 0; b < 256; b++)
        for (uint32_t state = U_ACCEPT; state <= U_F4; state += 6)
            t.v[b] |= static_cast<uint64_t>(utf8_next(state, b)) << state;
    return t;
}
constexpr auto kUtf8Rows = make_utf8_rows();
inline uint32_t utf8_step(uint32_t state, unsigned char b) noexcept {
    return static_cast<uint32_t>(kUtf8Rows.v[b] >> state) & 63;
}

// The bytes a character takes beyond one in a JSON string (see string_size).
constexpr auto make_escape_extra() noexcept {
    struct table { unsigned char v[256]; } t{};
    for (unsigned c = 1; c < 0x20; c++) t.v[c] = 5;
    for (unsigned char c : {'"', '\\', '\b', '\t', '\n', '\f', '\r'}) t.v[c] = 1;
    return t;
}
constexpr auto kEscapeExtra = make_escape_extra();

#ifdef LYRX_JSON_SSE2
// Unsigned byte compares, by signed ones on bytes with the top bit flipped.
inline __m128i flip(__m128i v) noexcept { return _mm_xor_si128(v, _mm_set1_epi8(static_cast<char>(0x80))); }
inline __m128i at_least(__m128i flipped, unsigned char c) noexcept {
    return _mm_cmpgt_epi8(flipped, _mm_set1_epi8(static_cast<char>((c - 1) ^ 0x80)));
}
inline __m128i is(__m128i v, unsigned char c) noexcept { return _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(c))); }

// The bytes of v that break the Unicode table of well-formed UTF-8, given the
// three bytes before each: a byte is a continuation exactly when a lead before
// it asks for one; C0, C1 and F5..FF never occur; after E0, ED, F0 and F4 the
// next byte has a narrower range. The automaton above says the same.
inline __m128i utf8_errors(__m128i v, __m128i before1, __m128i before2, __m128i before3) noexcept {
    const __m128i fv = flip(v), f1 = flip(before1);
    __m128i continuation = is(_mm_and_si128(v, _mm_set1_epi8(static_cast<char>(0xC0))), 0x80);
    __m128i expected = _mm_or_si128(at_least(f1, 0xC0), _mm_or_si128(at_least(flip(before2), 0xE0), at_least(flip(before3), 0xF0)));
    __m128i errors = _mm_xor_si128(continuation, expected);
    errors = _mm_or_si128(errors, _mm_or_si128(_mm_or_si128(is(v, 0xC0), is(v, 0xC1)), at_least(fv, 0xF5)));
    __m128i high_a0 = at_least(fv, 0xA0), high_90 = at_least(fv, 0x90);
    errors = _mm_or_si128(errors, _mm_andnot_si128(high_a0, is(before1, 0xE0)));
    errors = _mm_or_si128(errors, _mm_and_si128(high_a0, is(before1, 0xED)));
    errors = _mm_or_si128(errors, _mm_andnot_si128(high_90, is(before1, 0xF0)));
    return _mm_or_si128(errors, _mm_and_si128(high_90, is(before1, 0xF4)));
}

// utf8_errors of the block v read at s + at, given the bytes before it (none
// before the text).
inline __m128i block_utf8_errors(__m128i v, const unsigned char *s, size_t at) noexcept {
    if (at == 0) return utf8_errors(v, _mm_slli_si128(v, 1), _mm_slli_si128(v, 2), _mm_slli_si128(v, 3));
    return utf8_errors(v, _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + at - 1)),
                       _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + at - 2)),
                       _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + at - 3)));
}
#endif

// A string's size as yyjson writes it, and whether it is "plain": well-formed
// UTF-8 with nothing to escape, so that its JSON string is its bytes in quotes.
struct string_measure {
    int32_t json_size;  // INT32_MAX for any size above it
    bool plain;
};

// Measures a text that may be read 16 bytes past its NUL (the text block's
// slack, or a warning's). Blocks of 16 bytes with nothing to escape and no NUL
// need no look at single bytes: all ASCII, they are counted at once; else their
// UTF-8 is checked all at once against the three bytes before them. The rest
// goes through the automaton, started where a character begins. A text that is
// well-formed UTF-8 with nothing to escape is plain.
string_measure measure_text(const char *text) noexcept {
    const auto *s = reinterpret_cast<const unsigned char *>(text);
    size_t len = 0;
    int64_t extra = 0;
    uint32_t state = U_ACCEPT;
    bool broken = false;  // a block or a byte already broke UTF-8
    for (;;) {
#ifdef LYRX_JSON_SSE2
        const __m128i below_space = _mm_set1_epi8(static_cast<char>(0x20 ^ 0x80));
        __m128i errors = _mm_setzero_si128();
        bool open = state != U_ACCEPT;  // a character is still to be completed
        size_t vector_start = len;
        for (;; len += 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + len));
            __m128i special = _mm_or_si128(_mm_cmplt_epi8(flip(v), below_space), _mm_or_si128(is(v, '"'), is(v, '\\')));
            if (const unsigned special_bits = static_cast<unsigned>(_mm_movemask_epi8(special)); special_bits != 0) {
                // The block of the NUL with nothing to escape before it (the
                // end of most texts): checked at once as well, its bytes from
                // the NUL on read as zeros.
                const unsigned nul_bits = static_cast<unsigned>(_mm_movemask_epi8(is(v, 0)));
                const unsigned nul = nul_bits & (0u - nul_bits);  // the first NUL's bit
                if (nul == 0 || (special_bits & (nul - 1)) != 0) break;
                const int z = std::countr_zero(nul);
                if (!open && (static_cast<unsigned>(_mm_movemask_epi8(v)) & (nul - 1)) == 0) {
                    // ASCII up to the NUL, and no character comes into the block.
                    broken = broken || _mm_movemask_epi8(errors) != 0;
                } else {
                    const __m128i kept = _mm_and_si128(v, _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(z)),
                                                                         _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15)));
                    // A character the NUL cuts is an error at the NUL; bytes after it do not count.
                    const unsigned last = static_cast<unsigned>(_mm_movemask_epi8(block_utf8_errors(kept, s, len)));
                    broken = broken || _mm_movemask_epi8(errors) != 0 || (last & (2 * nul - 1)) != 0;
                }
                len += static_cast<size_t>(z);
                state = U_ACCEPT;
                goto measured;
            }
            if (_mm_movemask_epi8(v) == 0) {
                broken = broken || open;  // a character cut by ASCII
                open = false;
                continue;
            }
            errors = _mm_or_si128(errors, block_utf8_errors(v, s, len));
            // Whether one of the last three bytes leads a character that goes on.
            const __m128i fv = flip(v);
            open = (_mm_movemask_epi8(at_least(fv, 0xC0)) & 0x8000) != 0 ||
                   (_mm_movemask_epi8(at_least(fv, 0xE0)) & 0x4000) != 0 ||
                   (_mm_movemask_epi8(at_least(fv, 0xF0)) & 0x2000) != 0;
        }
        broken = broken || _mm_movemask_epi8(errors) != 0;
        if (len > vector_start) {
            // The automaton takes over where the last character began: the
            // first byte among the last three that is no continuation.
            size_t from = len - 3;
            while (from < len && (s[from] & 0xC0) == 0x80) from++;
            state = U_ACCEPT;
            for (; from < len; from++) state = utf8_step(state, s[from]);
        }
#endif
        // Byte by byte to the end of the block the vector test stopped in.
        for (size_t block_end = len + 16; len < block_end; len++) {
            unsigned char c = s[len];
            if (c == '\0') goto measured;
            extra += kEscapeExtra.v[c];
            state = utf8_step(state, c);
        }
        broken = broken || state == U_REJECT;
    }
measured:
    int64_t size = static_cast<int64_t>(len) + 2 + extra;
    // A sequence cut by the NUL is not well-formed.
    return {size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(size), extra == 0 && !broken && state == U_ACCEPT};
}

// A warning's measure, taken once and kept before its text.
string_measure measure_warning(char *text) noexcept {
    warning_measure m;
    std::memcpy(&m, text - kWarningHead, kWarningHead);
    if (m.json_size < 0) {
        const string_measure measured = measure_text(text);
        m = {measured.json_size, measured.plain ? 1 : 0};
        std::memcpy(text - kWarningHead, &m, kWarningHead);
    }
    return {m.json_size, m.plain != 0};
}

void measure_group(text_group &g) noexcept {
    const string_measure m = measure_text(g.text);
    g.json_size = m.json_size;
    g.plain = m.plain ? 1 : 0;
}

// Sorted lines visit their texts in no order the hardware can foresee; asking
// for the group of a line some way ahead, and for the text of one nearer,
// overlaps the cache misses of long results.
inline void prefetch_line(int32_t i) noexcept {
#if defined(__GNUC__)
    if (i + 16 < g_lines.count) __builtin_prefetch(&g_groups.items[g_lines.items[i + 16].group]);
    if (i + 8 < g_lines.count) __builtin_prefetch(g_groups.items[g_lines.items[i + 8].group].text);
#else
    (void)i;
#endif
}

int64_t line_text_size(int32_t i) noexcept {
    text_group &g = g_groups.items[g_lines.items[i].group];
    if (g.json_size < 0) measure_group(g);
    return g.json_size;
}

// Strings are written by yyjson's writer (its escapes, and no text at all for
// a string that is not valid UTF-8), from values laid out as its immutable
// documents are: each value a tag and a payload, a container followed by its
// members in order. Strings are referenced, not copied. Lines and warnings go
// in chunks, so the values need a fixed scratch array whatever the result's
// size; the size of the whole text is known beforehand.
constexpr int32_t kChunkItems = 1024;
constexpr size_t kScratchValues = 1 + kChunkItems;

void set_str(yyjson_val &v, const char *s, size_t len) noexcept {
    v.tag = (static_cast<uint64_t>(len) << YYJSON_TAG_BIT) | YYJSON_TYPE_STR;
    v.uni.str = s;
}
void set_str(yyjson_val &v, const char *s) noexcept { set_str(v, s, std::strlen(s)); }
void set_sint(yyjson_val &v, int32_t x) noexcept {
    v.tag = YYJSON_TYPE_NUM | YYJSON_SUBTYPE_SINT;
    v.uni.i64 = x;
}
void set_container(yyjson_val &v, uint8_t type, size_t members, size_t values) noexcept {
    v.tag = (static_cast<uint64_t>(members) << YYJSON_TAG_BIT) | type;
    v.uni.ofs = values * sizeof(yyjson_val);
}

// The result text, of a size computed beforehand, with room after its end
// for the 16-byte stores of put_plain and the NUL.
constexpr size_t kTextSlack = 16;
struct json_text {
    char *buf = nullptr;
    size_t len = 0;
    size_t cap = 0;
    bool ok = true;

    void put(const char *s, size_t n) noexcept {
        if (!ok || n > cap - len) {
            ok = false;  // the size was computed wrongly: no text rather than a wrong one
            return;
        }
        std::memcpy(buf + len, s, n);
        len += n;
    }
    // A literal: the copy of a constant size is inlined.
    template <size_t N>
    void put(const char (&literal)[N]) noexcept {
        if (!ok || N - 1 > cap - len) {
            ok = false;
            return;
        }
        std::memcpy(buf + len, literal, N - 1);
        len += N - 1;
    }

    // Writes the container at `root` and appends it without its first
    // `cut_front` and last `cut_back` bytes.
    void put_written(const yyjson_val *root, size_t cut_front, size_t cut_back) noexcept {
        if (!ok) return;
        size_t n = 0;
        char *text = yyjson_val_write_opts(root, 0, json_allocator(), &n, nullptr);
        if (!text || n < cut_front + cut_back) ok = false;
        else put(text + cut_front, n - cut_front - cut_back);
        mem_free(text);  // both allocators free with the C heap
    }
};

// yyjson's values for the strings it writes, taken when one is needed.
struct scratch_values {
    yyjson_val *v = nullptr;
    scratch_values() noexcept = default;
    scratch_values(const scratch_values &) = delete;
    scratch_values &operator=(const scratch_values &) = delete;
    ~scratch_values() { mem_free(v); }
    yyjson_val *get(json_text &out) noexcept {
        if (!v) v = static_cast<yyjson_val *>(mem_alloc(kScratchValues * sizeof(yyjson_val)));
        if (!v) out.ok = false;
        return v;
    }
};

// The eight decimal digits of u < 10^8 as ASCII bytes, the first in the
// lowest byte: split in two halves of four digits, each in four two-digit
// lanes, then each lane in two digits, all in one register.
uint64_t eight_digits(uint32_t u) noexcept {
    uint64_t halves = u / 10000 | uint64_t{u % 10000} << 32;
    uint64_t hundreds = (halves * 10486 >> 20) & 0x0000007F0000007Full;  // a lane / 100 while below 43699
    uint64_t pairs = hundreds | (halves - 100 * hundreds) << 16;
    uint64_t tens = (pairs * 103 >> 10) & 0x000F000F000F000Full;  // a lane / 10 while below 179
    return (tens | (pairs - 10 * tens) << 8) + 0x3030303030303030ull;
}

// As yyjson writes an integer: optional minus, decimal digits; n is its
// number_size. Below 10^8 (times up to 27 hours) the digits go in one 8-byte
// store, whose bytes past the number are overwritten later or lie in the
// text's slack.
char *put_int(char *at, int32_t x, size_t n) noexcept {
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    uint32_t u = magnitude(x);
    char *end = at + n;
    if (x < 0) {
        *at++ = '-';
        n--;
    }
    if (std::endian::native == std::endian::little && u < 100000000) {
        uint64_t digits = eight_digits(u) >> (8 * (8 - n));
        std::memcpy(at, &digits, 8);  // the first digit at the lowest address
        return end;
    }
    char *p = end;
    for (; u >= 100; u /= 100) {
        p -= 2;
        std::memcpy(p, kPairs + size_t{2} * (u % 100), 2);
    }
    if (u >= 10) {
        p -= 2;
        std::memcpy(p, kPairs + size_t{2} * u, 2);
    } else {
        *--p = static_cast<char>('0' + u);
    }
    return end;
}

void put_number(json_text &out, int32_t x) noexcept {
    auto n = static_cast<size_t>(number_size(x));
    if (!out.ok || n > out.cap - out.len) {
        out.ok = false;
        return;
    }
    put_int(out.buf + out.len, x, n);
    out.len += n;
}

// Whether yyjson writes s as its bytes in quotes: well-formed UTF-8 with
// nothing to escape.
bool plain_string(const char *s) noexcept {
    uint32_t state = U_ACCEPT;
    for (const auto *p = reinterpret_cast<const unsigned char *>(s); *p; p++) {
        if (kEscapeExtra.v[*p] != 0) return false;
        state = utf8_step(state, *p);
    }
    return state == U_ACCEPT;
}

// status, line_count, offset_ms, the tags that are set and the error, as an
// object whose closing brace is left for the rest. When every string in it is
// plain, it is written here as yyjson would write it.
void put_head(json_text &out, scratch_values &scratch) noexcept {
    const char *const keys[] = {"ti", "ar", "al", "by"};
    const char *const values[] = {g_ti, g_ar, g_al, g_by};
    const bool has_error = g_error[0] != '\0';
    bool plain = !has_error || plain_string(g_error);
    for (const char *value : values) plain = plain && (!value || plain_string(value));
    if (plain) {
        out.put("{\"status\":");
        put_number(out, g_last_status);
        out.put(",\"line_count\":");
        put_number(out, lyrx_line_count());
        out.put(",\"offset_ms\":");
        put_number(out, lyrx_offset_ms());
        auto member = [&out](const char *key, const char *value) noexcept {
            out.put(",\"");
            out.put(key, std::strlen(key));
            out.put("\":\"");
            out.put(value, std::strlen(value));
            out.put("\"");
        };
        for (size_t t = 0; t < 4; t++) {
            if (values[t]) member(keys[t], values[t]);
        }
        if (has_error) member("error", g_error);
        return;
    }
    yyjson_val *v = scratch.get(out);
    if (!v) return;
    size_t k = 1;
    auto member = [&](const char *key) noexcept { set_str(v[k++], key); };
    member("status");
    set_sint(v[k++], g_last_status);
    member("line_count");
    set_sint(v[k++], lyrx_line_count());
    member("offset_ms");
    set_sint(v[k++], lyrx_offset_ms());
    // A tag is written whenever it was set, also when it is empty.
    for (size_t t = 0; t < 4; t++) {
        if (!values[t]) continue;
        member(keys[t]);
        set_str(v[k++], values[t]);
    }
    if (has_error) {
        member("error");
        set_str(v[k++], g_error);
    }
    set_container(v[0], YYJSON_TYPE_OBJ, (k - 1) / 2, k);
    out.put_written(v, 0, 1);
}

template <size_t N>
char *put_literal(char *at, const char (&literal)[N]) noexcept {
    std::memcpy(at, literal, N - 1);
    return at + N - 1;
}

// A plain text's bytes. Read 16 at a time, as the text block's slack allows;
// the bytes stored past the text are overwritten later or lie in the slack.
char *put_plain(char *at, const char *s, size_t n) noexcept {
#ifdef LYRX_JSON_SSE2
    for (size_t k = 0; k < n; k += 16)
        _mm_storeu_si128(reinterpret_cast<__m128i *>(at + k), _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + k)));
#else
    std::memcpy(at, s, n);
#endif
    return at + n;
}

// The strings of one chunk of lines or warnings. Plain strings are copied as
// they are; every other one is written by yyjson, all of them in one array,
// and its pieces (each of the size measured for it) are taken in order.
struct chunk_strings {
    yyjson_val *v = nullptr;
    size_t k = 1;
    char *written = nullptr;
    size_t written_len = 0, pos = 1;

    chunk_strings() noexcept = default;
    chunk_strings(const chunk_strings &) = delete;
    chunk_strings &operator=(const chunk_strings &) = delete;
    ~chunk_strings() { mem_free(written); }  // both allocators free with the C heap

    // Adds a string that is not plain; false when memory ran out.
    bool add(json_text &out, scratch_values &scratch, const char *s) noexcept {
        if (!v && !(v = scratch.get(out))) return false;
        set_str(v[k++], s);
        return true;
    }
    void write(json_text &out) noexcept {
        if (k == 1) return;
        set_container(v[0], YYJSON_TYPE_ARR, k - 1, k);
        written = yyjson_val_write_opts(v, 0, json_allocator(), &written_len, nullptr);
        if (!written) out.ok = false;
    }
    // Puts the string s, of JSON size `size`, at `at`; null when the sizes
    // disagree with what yyjson wrote.
    char *put(char *at, const char *s, size_t size, bool plain) noexcept {
        if (plain) {
            *at++ = '"';
            at = put_plain(at, s, size - 2);
            *at++ = '"';
            return at;
        }
        if (pos + size >= written_len) return nullptr;
        std::memcpy(at, written + pos, size);
        pos += size + 1;  // and the comma or the closing bracket
        return at + size;
    }
    bool all_taken() const noexcept { return !written || pos == written_len; }
};

// A line object is structure, two integers and the text.
void put_lines(json_text &out, scratch_values &scratch) noexcept {
    for (int32_t first = 0; first < g_lines.count && out.ok; first += kChunkItems) {
        int32_t last = g_lines.count - first < kChunkItems ? g_lines.count : first + kChunkItems;
        chunk_strings strings;
        for (int32_t i = first; i < last; i++) {
            const text_group &g = g_groups.items[g_lines.items[i].group];
            if (!g.plain && !strings.add(out, scratch, g.text)) return;
        }
        strings.write(out);
        for (int32_t i = first; i < last && out.ok; i++) {
            prefetch_line(i);
            const text_group &g = g_groups.items[g_lines.items[i].group];
            const int32_t start = g_lines.items[i].start_ms, end = line_end_ms(i);
            const size_t start_size = static_cast<size_t>(number_size(start));
            const size_t end_size = static_cast<size_t>(number_size(end));
            const auto text_size = static_cast<size_t>(g.json_size);
            // The line's exact size: within it, nothing more is checked.
            const size_t size = (i > 0 ? 1 : 0) + literal_size("{\"start_ms\":,\"end_ms\":,\"text\":}") + start_size +
                                end_size + text_size;
            if (size > out.cap - out.len) {
                out.ok = false;
                break;
            }
            char *at = out.buf + out.len;
            at = i > 0 ? put_literal(at, ",{\"start_ms\":") : put_literal(at, "{\"start_ms\":");
            at = put_int(at, start, start_size);
            at = put_literal(at, ",\"end_ms\":");
            at = put_int(at, end, end_size);
            at = put_literal(at, ",\"text\":");
            if (!(at = strings.put(at, g.text, text_size, g.plain != 0))) {
                out.ok = false;
                break;
            }
            *at++ = '}';
            out.len = static_cast<size_t>(at - out.buf);
        }
        if (!strings.all_taken()) out.ok = false;
    }
}

void put_warnings(json_text &out, scratch_values &scratch) noexcept {
    for (int32_t first = 0; first < g_warnings.count && out.ok; first += kChunkItems) {
        int32_t last = g_warnings.count - first < kChunkItems ? g_warnings.count : first + kChunkItems;
        chunk_strings strings;
        for (int32_t j = first; j < last; j++) {
            if (!measure_warning(g_warnings.items[j]).plain && !strings.add(out, scratch, g_warnings.items[j])) return;
        }
        strings.write(out);
        for (int32_t j = first; j < last && out.ok; j++) {
            const string_measure m = measure_warning(g_warnings.items[j]);
            const auto size = static_cast<size_t>(m.json_size);
            if ((j > 0 ? 1 : 0) + size > out.cap - out.len) {
                out.ok = false;
                break;
            }
            char *at = out.buf + out.len;
            if (j > 0) *at++ = ',';
            if (!(at = strings.put(at, g_warnings.items[j], size, m.plain))) {
                out.ok = false;
                break;
            }
            out.len = static_cast<size_t>(at - out.buf);
        }
        if (!strings.all_taken()) out.ok = false;
    }
}

}  // namespace

int64_t json_text_size() noexcept {
    int64_t n = literal_size("{\"status\":") + number_size(g_last_status) + literal_size(",\"line_count\":") +
                number_size(lyrx_line_count()) + literal_size(",\"offset_ms\":") + number_size(lyrx_offset_ms());
    const char *const tags[] = {g_ti, g_ar, g_al, g_by};
    for (const char *tag : tags) {
        // cppcheck-suppress useStlAlgorithm ; a plain sum over the tags that are set reads better
        if (tag) n += literal_size(",\"ti\":") + string_size(tag);
    }
    if (g_error[0] != '\0') n += literal_size(",\"error\":") + string_size(g_error);
    n += literal_size(",\"lines\":[]");
    // Texts are measured in the order they lie in memory, not in line order.
    for (int32_t k = 0; k < g_groups.count; k++)
        if (g_groups.items[k].json_size < 0) measure_group(g_groups.items[k]);
    for (int32_t i = 0; i < g_lines.count && n <= kMaxJsonSize; i++) {
        prefetch_line(i);
        n += (i > 0 ? 1 : 0) + literal_size("{\"start_ms\":") + number_size(g_lines.items[i].start_ms) +
             literal_size(",\"end_ms\":") + number_size(line_end_ms(i)) + literal_size(",\"text\":") +
             line_text_size(i) + literal_size("}");
    }
    n += literal_size(",\"warnings\":[]");
    for (int32_t j = 0; j < g_warnings.count; j++) n += (j > 0 ? 1 : 0) + measure_warning(g_warnings.items[j]).json_size;
    return n + literal_size("}");
}

}  // namespace lyrx

using namespace lyrx;

extern "C" {

LYRX_API const char *lyrx_result_json(void) noexcept {
    // The previous text goes first, whatever this call's outcome.
    mem_free(g_json);
    g_json = nullptr;
    int64_t size = json_text_size();
    if (size > kMaxJsonSize) return nullptr;

    json_text out;
    out.cap = static_cast<size_t>(size);
    out.buf = static_cast<char *>(mem_alloc(out.cap + kTextSlack));
    mem_advise_sequential_fill(out.buf, out.cap);
    if (out.buf) {
        scratch_values scratch;
        put_head(out, scratch);
        out.put(",\"lines\":[");
        put_lines(out, scratch);
        out.put("],\"warnings\":[");
        put_warnings(out, scratch);
        out.put("]}");
    }
    // No text at all when memory ran out or a string is not valid UTF-8.
    if (!out.buf || !out.ok || out.len != out.cap) {
        mem_free(out.buf);
        return nullptr;
    }
    out.buf[out.len] = '\0';
    g_json = out.buf;
    return out.buf;
}

}  // extern "C"
