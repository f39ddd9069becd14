// One fuzz target for every entry point: the first byte picks the entry point,
// the rest is its input. After each call the result is read back through every
// query and checked for cheap invariants, the JSON text against the queries.
// Built with libFuzzer (clang), or with the replay main for gcc and valgrind.
#include <yyjson.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "lyrx.h"
#include "utf8.hpp"

namespace {

using lyrx_fuzz::check;

const char *const kTagKeys[] = {"ti", "ar", "al", "by"};

bool same(yyjson_val *v, const char *s) {
    return yyjson_is_str(v) && std::string_view(yyjson_get_str(v), yyjson_get_len(v)) == s;
}

bool same_int(yyjson_val *v, int32_t n) { return yyjson_is_int(v) && yyjson_get_sint(v) == n; }

// Every string of the result is valid UTF-8: exactly when a JSON text can be written.
bool result_is_utf8() {
    auto ok = [](const char *s) { return !s || lyrx_test::valid_utf8(s); };
    for (const char *key : kTagKeys)
        if (!ok(lyrx_meta(key))) return false;
    if (!ok(lyrx_last_error())) return false;
    for (int32_t i = 0; i < lyrx_line_count(); i++)
        if (!ok(lyrx_line_text(i))) return false;
    for (int32_t i = 0; i < lyrx_warning_count(); i++)
        if (!ok(lyrx_warning(i))) return false;
    return true;
}

// The JSON text read back must say what the queries say, member by member and
// in the library's order.
void check_json(int32_t status) {
    const char *json = lyrx_result_json();
    if (!json) {
        // Inputs here are far too small to run out of memory.
        check(!result_is_utf8(), "JSON text null although every string is valid UTF-8");
        return;
    }
    yyjson_doc *doc = yyjson_read(json, std::strlen(json), 0);
    check(doc != nullptr, "JSON text does not read back");
    yyjson_val *root = yyjson_doc_get_root(doc);
    check(yyjson_is_obj(root), "JSON root is not an object");

    size_t members = 5;  // status, line_count, offset_ms, lines, warnings
    check(same_int(yyjson_obj_get(root, "status"), status), "JSON status");
    check(same_int(yyjson_obj_get(root, "line_count"), lyrx_line_count()), "JSON line_count");
    check(same_int(yyjson_obj_get(root, "offset_ms"), lyrx_offset_ms()), "JSON offset_ms");
    for (const char *key : kTagKeys) {
        const char *v = lyrx_meta(key);
        yyjson_val *jv = yyjson_obj_get(root, key);
        check(v ? same(jv, v) : jv == nullptr, "JSON tag differs from lyrx_meta");
        members += v != nullptr;
    }
    const char *error = lyrx_last_error();
    yyjson_val *jerror = yyjson_obj_get(root, "error");
    check(error[0] ? same(jerror, error) : jerror == nullptr, "JSON error differs from lyrx_last_error");
    members += error[0] != '\0';
    check(yyjson_obj_size(root) == members, "JSON has members the queries do not know");

    yyjson_val *lines = yyjson_obj_get(root, "lines");
    check(yyjson_is_arr(lines) && yyjson_arr_size(lines) == static_cast<size_t>(lyrx_line_count()),
          "JSON lines array size");
    yyjson_arr_iter it = yyjson_arr_iter_with(lines);
    for (int32_t i = 0; yyjson_val *line = yyjson_arr_iter_next(&it); i++) {
        check(yyjson_is_obj(line) && yyjson_obj_size(line) == 3, "JSON line shape", i);
        check(same_int(yyjson_obj_get(line, "start_ms"), lyrx_line_start_ms(i)), "JSON start_ms", i);
        check(same_int(yyjson_obj_get(line, "end_ms"), lyrx_line_end_ms(i)), "JSON end_ms", i);
        check(same(yyjson_obj_get(line, "text"), lyrx_line_text(i)), "JSON text", i);
    }

    yyjson_val *warnings = yyjson_obj_get(root, "warnings");
    check(yyjson_is_arr(warnings) && yyjson_arr_size(warnings) == static_cast<size_t>(lyrx_warning_count()),
          "JSON warnings array size");
    it = yyjson_arr_iter_with(warnings);
    for (int32_t i = 0; yyjson_val *w = yyjson_arr_iter_next(&it); i++)
        check(same(w, lyrx_warning(i)), "JSON warning", i);
    yyjson_doc_free(doc);
}

// Reads the whole result back, so that every stored string is touched, and
// checks what must hold for any input. `status` is that of the last parse,
// which the JSON text repeats; `parsed` says whether this call parsed at all.
void check_result(int32_t status, bool parsed = true) {
    int32_t count = lyrx_line_count();
    check(count >= 0, "negative line count");
    for (int32_t i = 0; i < count; i++) {
        const char *text = lyrx_line_text(i);
        check(text != nullptr, "null text below the line count", i);
        (void)std::strlen(text);
        int32_t start = lyrx_line_start_ms(i);
        check(lyrx_line_end_ms(i) >= start, "line ends before it starts", i);
        check(i == 0 || lyrx_line_start_ms(i - 1) <= start, "start times out of order", i);
    }
    check(lyrx_line_text(count) == nullptr && lyrx_line_text(-1) == nullptr, "text for a bad line index");
    check(lyrx_line_start_ms(count) == 0 && lyrx_line_end_ms(count) == 0, "time for a bad line index");

    int32_t warnings = lyrx_warning_count();
    check(warnings >= 0, "negative warning count");
    for (int32_t i = 0; i < warnings; i++) {
        const char *w = lyrx_warning(i);
        check(w != nullptr, "null warning below the warning count", i);
        (void)std::strlen(w);
    }
    check(lyrx_warning(warnings) == nullptr && lyrx_warning(-1) == nullptr, "warning for a bad index");
    check(lyrx_last_error() != nullptr, "null error text");
    if (parsed) check((status == LYRX_OK) == (count > 0), "status OK exactly when there are lines");
    check_json(status);
}

void check_artists() {
    int32_t count = lyrx_tag_artist_count();
    check(count >= 0, "negative artist count");
    int32_t non_null = 0;
    for (int32_t i = 0; i < count; i++)
        if (const char *a = lyrx_tag_artist(i)) {
            (void)std::strlen(a);
            non_null++;
        }
    check(non_null == count, "artist count differs from the artists that can be read");
    check(lyrx_tag_artist(count) == nullptr && lyrx_tag_artist(-1) == nullptr, "artist for a bad index");
}

bool has_utf16_mark(std::string_view s) {
    return s.size() >= 2 && ((s[0] == '\xFF' && s[1] == '\xFE') || (s[0] == '\xFE' && s[1] == '\xFF'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const std::string_view in(reinterpret_cast<const char *>(data + 1), size - 1);
    const std::string z(in);  // the title functions take NUL-terminated text
    switch (data[0] % 5) {
    case 0:
        check_result(lyrx_parse(in.data(), in.size()));
        break;
    case 1: {
        if (!lyrx_fuzz::write_temp_file(in)) return 0;
        // From an empty state, a UTF-16 file whose conversion failed leaves no
        // warning behind (and the status of the last parse stays 0); a
        // converted one always ends with the encoding warning.
        lyrx_clear();
        int32_t status = lyrx_parse_file(lyrx_fuzz::temp_file_path().c_str());
        lyrx_fuzz::remove_temp_file();
        if (has_utf16_mark(in)) {
            int32_t w = lyrx_warning_count();
            bool parsed = w > 0;
            check(parsed || (status == LYRX_ERR_NO_LYRICS && lyrx_line_count() == 0),
                  "UTF-16 file neither converted nor refused");
            if (parsed)
                check(std::strncmp(lyrx_warning(w - 1), "encoding: converted UTF-16", 26) == 0,
                      "converted file does not end with the encoding warning");
            check_result(parsed ? status : 0, parsed);
        } else {
            check(status != LYRX_ERR_IO, "temp file could not be read");
            check_result(status);
        }
        break;
    }
    case 2: {
        int32_t r = lyrx_detect(in.data(), in.size());
        check(r == 0 || r == 1, "lyrx_detect answered neither 0 nor 1");
        break;
    }
    case 3:
        check(lyrx_tag_parse_title(z.c_str()) == LYRX_OK, "lyrx_tag_parse_title failed");
        check_artists();
        break;
    default: {
        const char *c = lyrx_tag_clean_title(z.c_str());
        check(c != nullptr, "lyrx_tag_clean_title gave null");
        (void)std::strlen(c);
        break;
    }
    }
    return 0;
}
