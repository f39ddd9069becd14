// The result of the last parse as one compact JSON text, built with yyjson's
// mutable document from the same values the query functions return.
#include <yyjson.h>

#include <cstdint>
#include <cstdlib>

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

int64_t number_size(int32_t v) noexcept {
    auto u = static_cast<uint32_t>(v < 0 ? -static_cast<int64_t>(v) : v);
    int64_t digits = 1;
    for (uint32_t limit = 10; u >= limit; limit *= 10) {
        digits++;
        if (limit == 1000000000u) break;
    }
    return (v < 0 ? 1 : 0) + digits;
}

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

// string_size for a text of the text block, whose slack allows reading 16
// bytes past its NUL: whole blocks of bytes written as they are count 16.
int64_t block_text_size(const char *s) noexcept {
#ifdef LYRX_JSON_SSE2
    int64_t n = 0;
    const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
    const __m128i below_space = _mm_set1_epi8(static_cast<char>(0x20 ^ 0x80));
    const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
    for (;; s += 16, n += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s));
        __m128i special = _mm_or_si128(_mm_cmplt_epi8(_mm_xor_si128(v, flip), below_space),
                                       _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)));
        if (_mm_movemask_epi8(special) != 0) break;
    }
    return n + string_size(s);
#else
    return string_size(s);
#endif
}

int64_t line_text_size(int32_t i) noexcept {
    text_group &g = g_groups.items[g_lines.items[i].group];
    if (g.json_size < 0) g.json_size = block_text_size(g.text);
    return g.json_size;
}

// A member or element that cannot be allocated is left out: yyjson's add
// functions then report false, and building simply goes on. Strings are
// referenced, not copied: they outlive the document, and the writer's output
// is the same.
void add_lines(yyjson_mut_doc *doc, yyjson_mut_val *root) noexcept {
    yyjson_mut_val *lines = yyjson_mut_obj_add_arr(doc, root, "lines");
    if (!lines) return;
    int32_t count = lyrx_line_count();
    for (int32_t i = 0; i < count; i++) {
        yyjson_mut_val *line = yyjson_mut_obj(doc);
        if (!line) continue;
        yyjson_mut_obj_add_sint(doc, line, "start_ms", lyrx_line_start_ms(i));
        yyjson_mut_obj_add_sint(doc, line, "end_ms", lyrx_line_end_ms(i));
        yyjson_mut_obj_add_str(doc, line, "text", line_text(i));
        yyjson_mut_arr_append(lines, line);
    }
}

void add_warnings(yyjson_mut_doc *doc, yyjson_mut_val *root) noexcept {
    yyjson_mut_val *warnings = yyjson_mut_obj_add_arr(doc, root, "warnings");
    if (!warnings) return;
    for (int32_t j = 0; j < g_warnings.count; j++) {
        if (g_warnings.items[j]) yyjson_mut_arr_add_str(doc, warnings, g_warnings.items[j]);
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
    for (int32_t i = 0; i < g_lines.count && n <= kMaxJsonSize; i++) {
        n += (i > 0 ? 1 : 0) + literal_size("{\"start_ms\":") + number_size(lyrx_line_start_ms(i)) +
             literal_size(",\"end_ms\":") + number_size(lyrx_line_end_ms(i)) + literal_size(",\"text\":") +
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
    if (json_text_size() > kMaxJsonSize) return nullptr;

    const yyjson_alc *alc = json_allocator();
    yyjson_mut_doc *doc = yyjson_mut_doc_new(alc);
    if (!doc) return nullptr;
    yyjson_mut_val *root = yyjson_mut_obj(doc);
    if (!root) {
        // Nothing could be added, and a document without a root is not written.
        yyjson_mut_doc_free(doc);
        return nullptr;
    }
    yyjson_mut_doc_set_root(doc, root);

    yyjson_mut_obj_add_sint(doc, root, "status", g_last_status);
    yyjson_mut_obj_add_sint(doc, root, "line_count", lyrx_line_count());
    yyjson_mut_obj_add_sint(doc, root, "offset_ms", lyrx_offset_ms());
    // A tag is written whenever it was set, also when it is empty.
    if (g_ti) yyjson_mut_obj_add_str(doc, root, "ti", g_ti);
    if (g_ar) yyjson_mut_obj_add_str(doc, root, "ar", g_ar);
    if (g_al) yyjson_mut_obj_add_str(doc, root, "al", g_al);
    if (g_by) yyjson_mut_obj_add_str(doc, root, "by", g_by);
    if (g_error[0] != '\0') yyjson_mut_obj_add_str(doc, root, "error", g_error);
    add_lines(doc, root);
    add_warnings(doc, root);

    // No write flag: compact, raw UTF-8, and no text at all when a string is
    // not valid UTF-8.
    char *text = yyjson_mut_write_opts(doc, 0, alc, nullptr, nullptr);
    yyjson_mut_doc_free(doc);
    g_json = text;
    return text;
}

}  // extern "C"
