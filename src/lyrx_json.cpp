// The result of the last parse as one compact JSON text, built with yyjson's
// mutable document from the same values the query functions return.
#include <yyjson.h>

#include <cstdint>
#include <cstdlib>

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

// A member or element that cannot be allocated is left out: yyjson's add
// functions then report false, and building simply goes on.
void add_lines(yyjson_mut_doc *doc, yyjson_mut_val *root) noexcept {
    yyjson_mut_val *lines = yyjson_mut_obj_add_arr(doc, root, "lines");
    if (!lines) return;
    int32_t count = lyrx_line_count();
    for (int32_t i = 0; i < count; i++) {
        yyjson_mut_val *line = yyjson_mut_obj(doc);
        if (!line) continue;
        yyjson_mut_obj_add_sint(doc, line, "start_ms", lyrx_line_start_ms(i));
        yyjson_mut_obj_add_sint(doc, line, "end_ms", lyrx_line_end_ms(i));
        yyjson_mut_obj_add_strcpy(doc, line, "text", lyrx_line_text(i));
        yyjson_mut_arr_append(lines, line);
    }
}

void add_warnings(yyjson_mut_doc *doc, yyjson_mut_val *root) noexcept {
    yyjson_mut_val *warnings = yyjson_mut_obj_add_arr(doc, root, "warnings");
    if (!warnings) return;
    for (int32_t j = 0; j < g_warnings.count; j++) {
        if (g_warnings.items[j]) yyjson_mut_arr_add_strcpy(doc, warnings, g_warnings.items[j]);
    }
}

}  // namespace
}  // namespace lyrx

using namespace lyrx;

extern "C" {

LYRX_API const char *lyrx_result_json(void) noexcept {
    // The previous text goes first, whatever this call's outcome.
    mem_free(g_json);
    g_json = nullptr;

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
    if (g_ti) yyjson_mut_obj_add_strcpy(doc, root, "ti", g_ti);
    if (g_ar) yyjson_mut_obj_add_strcpy(doc, root, "ar", g_ar);
    if (g_al) yyjson_mut_obj_add_strcpy(doc, root, "al", g_al);
    if (g_by) yyjson_mut_obj_add_strcpy(doc, root, "by", g_by);
    if (g_error[0] != '\0') yyjson_mut_obj_add_strcpy(doc, root, "error", g_error);
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
