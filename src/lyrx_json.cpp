// The result of the last parse as one compact JSON text, built with yyjson's
// mutable document from the same values the query functions return.
#include <yyjson.h>

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

int decimal_digits(uint32_t u) noexcept {
    int digits = 1;
    for (uint32_t limit = 10; u >= limit; limit *= 10) {
        digits++;
        if (limit == 1000000000u) break;
    }
    return digits;
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

// Measures a text of the text block, whose slack allows reading 16 bytes
// past its NUL. Blocks of 16 bytes with nothing to escape and no NUL need no
// look at single bytes: all ASCII, they are counted at once; else only the
// automaton runs over them. A text that is well-formed UTF-8 with nothing to
// escape is "plain": its JSON string is its bytes in quotes.
void measure_text(text_group &g) noexcept {
    const auto *s = reinterpret_cast<const unsigned char *>(g.text);
    size_t len = 0;
    int64_t extra = 0;
    uint32_t state = U_ACCEPT;
    for (;;) {
#ifdef LYRX_JSON_SSE2
        const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
        const __m128i below_space = _mm_set1_epi8(static_cast<char>(0x20 ^ 0x80));
        const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
        for (;; len += 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + len));
            __m128i special = _mm_or_si128(_mm_cmplt_epi8(_mm_xor_si128(v, flip), below_space),
                                           _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)));
            if (_mm_movemask_epi8(special) != 0) break;
            if (_mm_movemask_epi8(v) == 0) {
                if (state != U_ACCEPT) state = U_REJECT;  // a sequence cut by ASCII
            } else if (state != U_REJECT) {
                for (size_t k = 0; k < 16; k++) state = utf8_step(state, s[len + k]);
            }
        }
#endif
        // Byte by byte to the end of the block the vector test stopped in.
        for (size_t block_end = len + 16; len < block_end; len++) {
            unsigned char c = s[len];
            if (c == '\0') goto measured;
            extra += kEscapeExtra.v[c];
            state = utf8_step(state, c);
        }
    }
measured:
    int64_t size = static_cast<int64_t>(len) + 2 + extra;
    g.json_size = size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(size);
    // A sequence cut by the NUL is not well-formed.
    g.plain = extra == 0 && state == U_ACCEPT ? 1 : 0;
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
    if (g.json_size < 0) measure_text(g);
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

// The result text, of a size computed beforehand.
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

// status, line_count, offset_ms, the tags that are set and the error, as an
// object whose closing brace is left for the rest.
void put_head(json_text &out, yyjson_val *v) noexcept {
    size_t k = 1;
    auto member = [&](const char *key) noexcept { set_str(v[k++], key); };
    member("status");
    set_sint(v[k++], g_last_status);
    member("line_count");
    set_sint(v[k++], lyrx_line_count());
    member("offset_ms");
    set_sint(v[k++], lyrx_offset_ms());
    // A tag is written whenever it was set, also when it is empty.
    const char *const keys[] = {"ti", "ar", "al", "by"};
    const char *const values[] = {g_ti, g_ar, g_al, g_by};
    for (size_t t = 0; t < 4; t++) {
        if (!values[t]) continue;
        member(keys[t]);
        set_str(v[k++], values[t]);
    }
    if (g_error[0] != '\0') {
        member("error");
        set_str(v[k++], g_error);
    }
    set_container(v[0], YYJSON_TYPE_OBJ, (k - 1) / 2, k);
    out.put_written(v, 0, 1);
}

// As yyjson writes an integer: optional minus, decimal digits.
void put_int(json_text &out, int32_t x) noexcept {
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    uint32_t u = magnitude(x);
    auto n = static_cast<size_t>(number_size(x));
    if (!out.ok || n > out.cap - out.len) {
        out.ok = false;
        return;
    }
    char *end = out.buf + out.len + n;
    out.len += n;
    if (x < 0) out.buf[out.len - n] = '-';
    for (; u >= 100; u /= 100) {
        end -= 2;
        std::memcpy(end, kPairs + size_t{2} * (u % 100), 2);
    }
    if (u >= 10) {
        end -= 2;
        std::memcpy(end, kPairs + size_t{2} * u, 2);
    } else {
        *--end = static_cast<char>('0' + u);
    }
}

// A line object is structure, two integers and the text. Plain texts are
// copied as they are; every other text of a chunk is written by yyjson,
// all of them in one array, and its pieces (each of the size measured for it)
// are taken in order.
void put_lines(json_text &out, yyjson_val *v) noexcept {
    for (int32_t first = 0; first < g_lines.count && out.ok; first += kChunkItems) {
        int32_t last = g_lines.count - first < kChunkItems ? g_lines.count : first + kChunkItems;
        size_t k = 1;
        for (int32_t i = first; i < last; i++) {
            const text_group &g = g_groups.items[g_lines.items[i].group];
            if (!g.plain) set_str(v[k++], g.text);
        }
        char *written = nullptr;
        size_t written_len = 0, pos = 1;
        if (k > 1) {
            set_container(v[0], YYJSON_TYPE_ARR, k - 1, k);
            written = yyjson_val_write_opts(v, 0, json_allocator(), &written_len, nullptr);
            if (!written) out.ok = false;
        }
        for (int32_t i = first; i < last && out.ok; i++) {
            prefetch_line(i);
            const text_group &g = g_groups.items[g_lines.items[i].group];
            if (i > 0) out.put(",");
            out.put("{\"start_ms\":");
            put_int(out, g_lines.items[i].start_ms);
            out.put(",\"end_ms\":");
            put_int(out, line_end_ms(i));
            out.put(",\"text\":");
            if (g.plain) {
                out.put("\"");
                out.put(g.text, static_cast<size_t>(g.json_size) - 2);  // a plain text's length
                out.put("\"");
            } else {
                auto size = static_cast<size_t>(g.json_size);
                if (pos + size >= written_len) {
                    out.ok = false;
                    break;
                }
                out.put(written + pos, size);
                pos += size + 1;  // and the comma or the closing bracket
            }
            out.put("}");
        }
        if (written && pos != written_len) out.ok = false;
        mem_free(written);  // both allocators free with the C heap
    }
}

void put_warnings(json_text &out, yyjson_val *v) noexcept {
    bool any = false;
    for (int32_t first = 0; first < g_warnings.count && out.ok; first += kChunkItems) {
        int32_t last = g_warnings.count - first < kChunkItems ? g_warnings.count : first + kChunkItems;
        size_t k = 1;
        for (int32_t j = first; j < last; j++)
            if (g_warnings.items[j]) set_str(v[k++], g_warnings.items[j]);
        if (k == 1) continue;
        set_container(v[0], YYJSON_TYPE_ARR, k - 1, k);
        if (any) out.put(",");
        any = true;
        out.put_written(v, 1, 1);
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
        if (g_groups.items[k].json_size < 0) measure_text(g_groups.items[k]);
    for (int32_t i = 0; i < g_lines.count && n <= kMaxJsonSize; i++) {
        prefetch_line(i);
        n += (i > 0 ? 1 : 0) + literal_size("{\"start_ms\":") + number_size(g_lines.items[i].start_ms) +
             literal_size(",\"end_ms\":") + number_size(line_end_ms(i)) + literal_size(",\"text\":") +
             line_text_size(i) + literal_size("}");
    }
    n += literal_size(",\"warnings\":[]");
    int32_t written = 0;
    for (int32_t j = 0; j < g_warnings.count; j++) {
        if (g_warnings.items[j]) n += (written++ > 0 ? 1 : 0) + string_size(g_warnings.items[j]);
    }
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
    out.buf = static_cast<char *>(mem_alloc(out.cap + 1));
    mem_advise_sequential_fill(out.buf, out.cap);
    auto *scratch = static_cast<yyjson_val *>(mem_alloc(kScratchValues * sizeof(yyjson_val)));
    if (out.buf && scratch) {
        put_head(out, scratch);
        out.put(",\"lines\":[");
        put_lines(out, scratch);
        out.put("],\"warnings\":[");
        put_warnings(out, scratch);
        out.put("]}");
    }
    mem_free(scratch);
    // No text at all when memory ran out or a string is not valid UTF-8.
    if (!out.buf || !scratch || !out.ok || out.len != out.cap) {
        mem_free(out.buf);
        return nullptr;
    }
    out.buf[out.len] = '\0';
    g_json = out.buf;
    return out.buf;
}

}  // extern "C"
