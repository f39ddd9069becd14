// lyrx_result_json: the exact bytes of the document, its escapes, invalid
// UTF-8, agreement with the query functions on every golden case, and the
// behaviour when allocations fail.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "dump.hpp"
#include "fault.hpp"
#include "lyrx.h"
#include "lyrx_state.hpp"
#include "utf8.hpp"

namespace {

namespace fs = std::filesystem;

// ---- helpers ------------------------------------------------------------

int32_t parse(const std::string &text) { return lyrx_parse(text.data(), text.size()); }

std::string json_or_null() {
    const char *j = lyrx_result_json();
    return j ? std::string(j) : std::string("(null)");
}

// JSON string as this library writes it: quote and backslash escaped, the
// five short control escapes, other control characters as \u00XX in upper
// case, every other byte (DEL, "/", non-ASCII) raw.
std::string json_string(const char *s) {
    std::string out = "\"";
    for (const auto *p = reinterpret_cast<const unsigned char *>(s); *p; p++) {
        switch (*p) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            default:
                if (*p < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04X", *p);
                    out += buf;
                } else {
                    out += static_cast<char>(*p);
                }
        }
    }
    return out + "\"";
}

// Every string the document carries, from the query functions.
std::vector<const char *> state_strings() {
    std::vector<const char *> v;
    for (const char *key : {"ti", "ar", "al", "by"})
        if (lyrx_meta(key)) v.push_back(lyrx_meta(key));
    v.push_back(lyrx_last_error());
    for (int32_t i = 0; i < lyrx_line_count(); i++) v.push_back(lyrx_line_text(i));
    for (int32_t i = 0; i < lyrx_warning_count(); i++) v.push_back(lyrx_warning(i));
    return v;
}

bool state_is_valid_utf8() {
    auto v = state_strings();
    return std::all_of(v.begin(), v.end(), [](const char *s) { return lyrx_test::valid_utf8(s); });
}

// The document expected for the current state, written from the query
// functions with the escapes above.
std::string expected_json(int32_t status) {
    std::string o = "{\"status\":" + std::to_string(status) + ",\"line_count\":" + std::to_string(lyrx_line_count()) +
                    ",\"offset_ms\":" + std::to_string(lyrx_offset_ms());
    for (const char *key : {"ti", "ar", "al", "by"})
        if (const char *v = lyrx_meta(key)) o += ",\"" + std::string(key) + "\":" + json_string(v);
    if (lyrx_last_error()[0]) o += ",\"error\":" + json_string(lyrx_last_error());
    o += ",\"lines\":[";
    for (int32_t i = 0; i < lyrx_line_count(); i++) {
        if (i) o += ",";
        o += "{\"start_ms\":" + std::to_string(lyrx_line_start_ms(i)) +
             ",\"end_ms\":" + std::to_string(lyrx_line_end_ms(i)) + ",\"text\":" + json_string(lyrx_line_text(i)) + "}";
    }
    o += "],\"warnings\":[";
    for (int32_t i = 0; i < lyrx_warning_count(); i++) {
        if (i) o += ",";
        o += json_string(lyrx_warning(i));
    }
    return o + "]}";
}

struct reader_doc {
    yyjson_doc *doc;
    explicit reader_doc(const std::string &text) : doc(yyjson_read(text.data(), text.size(), 0)) {}
    ~reader_doc() { yyjson_doc_free(doc); }
    reader_doc(const reader_doc &) = delete;
    reader_doc &operator=(const reader_doc &) = delete;
    yyjson_val *root() const { return yyjson_doc_get_root(doc); }
};

std::string str_of(yyjson_val *v) { return std::string(yyjson_get_str(v), yyjson_get_len(v)); }

std::vector<std::string> keys_of(yyjson_val *obj) {
    std::vector<std::string> keys;
    yyjson_obj_iter it;
    yyjson_obj_iter_init(obj, &it);
    while (yyjson_val *k = yyjson_obj_iter_next(&it)) keys.push_back(str_of(k));
    return keys;
}

// Reads the document back and compares every member with the queries.
void expect_document_matches_queries(const std::string &text, int32_t status) {
    reader_doc d(text);
    ASSERT_NE(d.doc, nullptr) << "not JSON: " << text;
    yyjson_val *root = d.root();
    ASSERT_TRUE(yyjson_is_obj(root));
    std::vector<std::string> want_keys = {"status", "line_count", "offset_ms"};
    for (const char *key : {"ti", "ar", "al", "by"})
        if (lyrx_meta(key)) want_keys.push_back(key);
    if (lyrx_last_error()[0]) want_keys.push_back("error");
    want_keys.push_back("lines");
    want_keys.push_back("warnings");
    EXPECT_EQ(keys_of(root), want_keys);

    EXPECT_EQ(yyjson_get_sint(yyjson_obj_get(root, "status")), status);
    EXPECT_EQ(yyjson_get_sint(yyjson_obj_get(root, "line_count")), lyrx_line_count());
    EXPECT_EQ(yyjson_get_sint(yyjson_obj_get(root, "offset_ms")), lyrx_offset_ms());
    for (const char *key : {"ti", "ar", "al", "by"})
        if (const char *v = lyrx_meta(key)) {
            EXPECT_EQ(str_of(yyjson_obj_get(root, key)), v) << key;
        }
    if (lyrx_last_error()[0]) {
        EXPECT_EQ(str_of(yyjson_obj_get(root, "error")), lyrx_last_error());
    }

    yyjson_val *lines = yyjson_obj_get(root, "lines");
    ASSERT_TRUE(yyjson_is_arr(lines));
    ASSERT_EQ(yyjson_arr_size(lines), static_cast<size_t>(lyrx_line_count()));
    for (int32_t i = 0; i < lyrx_line_count(); i++) {
        yyjson_val *line = yyjson_arr_get(lines, static_cast<size_t>(i));
        EXPECT_EQ(keys_of(line), (std::vector<std::string>{"start_ms", "end_ms", "text"}));
        EXPECT_EQ(yyjson_get_sint(yyjson_obj_get(line, "start_ms")), lyrx_line_start_ms(i)) << i;
        EXPECT_EQ(yyjson_get_sint(yyjson_obj_get(line, "end_ms")), lyrx_line_end_ms(i)) << i;
        EXPECT_EQ(str_of(yyjson_obj_get(line, "text")), lyrx_line_text(i)) << i;
    }
    yyjson_val *warnings = yyjson_obj_get(root, "warnings");
    ASSERT_TRUE(yyjson_is_arr(warnings));
    ASSERT_EQ(yyjson_arr_size(warnings), static_cast<size_t>(lyrx_warning_count()));
    for (int32_t i = 0; i < lyrx_warning_count(); i++)
        EXPECT_EQ(str_of(yyjson_arr_get(warnings, static_cast<size_t>(i))), lyrx_warning(i)) << i;
}

// The document of the current state: null exactly when some string is not
// valid UTF-8; otherwise the exact expected bytes, which read back as the
// values of the query functions.
void expect_agreement(int32_t status) {
    const char *json = lyrx_result_json();
    EXPECT_EQ(lyrx::g_json, json);
    if (!state_is_valid_utf8()) {
        EXPECT_EQ(json, nullptr) << "a string is not valid UTF-8, yet a document was written";
        return;
    }
    ASSERT_NE(json, nullptr);
    const std::string text = json;
    EXPECT_EQ(text, expected_json(status));
    expect_document_matches_queries(text, status);
    // The size measured before building is the size written.
    EXPECT_EQ(lyrx::json_text_size(), static_cast<int64_t>(text.size()));
}

// ---- exact documents ----------------------------------------------------

const char kEmptyDoc[] = R"J({"status":0,"line_count":0,"offset_ms":0,"lines":[],"warnings":[]})J";

struct exact_case {
    const char *name;
    std::string lrc;
    std::string json;
};

TEST(Json, ExactDocuments) {
    const std::vector<exact_case> table = {
        {"two lines with title and artist", "[ti:Song]\n[ar:Band]\n[00:01.00]Hello\n[00:04.50]World",
         R"J({"status":0,"line_count":2,"offset_ms":0,"ti":"Song","ar":"Band","lines":[{"start_ms":1000,"end_ms":4500,"text":"Hello"},{"start_ms":4500,"end_ms":7500,"text":"World"}],"warnings":[]})J"},
        {"metadata without lines", "[ti:Song]",
         R"J({"status":2,"line_count":0,"offset_ms":0,"ti":"Song","error":"LRC has metadata but no lyric lines","lines":[],"warnings":[]})J"},
        {"empty tag value", "[ti:]\n[00:01]a",
         R"J({"status":0,"line_count":1,"offset_ms":0,"ti":"","lines":[{"start_ms":1000,"end_ms":4000,"text":"a"}],"warnings":[]})J"},
        {"empty line text", "[00:01]",
         R"J({"status":0,"line_count":1,"offset_ms":0,"lines":[{"start_ms":1000,"end_ms":4000,"text":""}],"warnings":[]})J"},
        {"tags in fixed order", "[by:B]\n[al:C]\n[ar:D]\n[ti:E]\n[00:00]x",
         R"J({"status":0,"line_count":1,"offset_ms":0,"ti":"E","ar":"D","al":"C","by":"B","lines":[{"start_ms":0,"end_ms":3000,"text":"x"}],"warnings":[]})J"},
        {"negative offset", "[offset:-500]\n[00:01]a",
         R"J({"status":0,"line_count":1,"offset_ms":-500,"lines":[{"start_ms":1500,"end_ms":4500,"text":"a"}],"warnings":[]})J"},
        {"offset making a start negative", "[00:01]a\n[offset:2000]",
         R"J({"status":0,"line_count":1,"offset_ms":2000,"lines":[{"start_ms":-1000,"end_ms":2000,"text":"a"}],"warnings":[]})J"},
        {"accepted offset of zero", "[offset:0]\n[00:01]a",
         R"J({"status":0,"line_count":1,"offset_ms":0,"lines":[{"start_ms":1000,"end_ms":4000,"text":"a"}],"warnings":[]})J"},
        {"smallest offset", "[offset:-99999999999]",
         R"J({"status":2,"line_count":0,"offset_ms":-2147483648,"error":"LRC has metadata but no lyric lines","lines":[],"warnings":[]})J"},
        {"largest offset, start far below zero", "[offset:99999999999]\n[00:01]a",
         R"J({"status":0,"line_count":1,"offset_ms":2147483647,"lines":[{"start_ms":-2147482647,"end_ms":-2147479647,"text":"a"}],"warnings":[]})J"},
        {"numbers of eight and nine digits", "[1666:39.999]a\n[1666:40]b",
         R"J({"status":0,"line_count":2,"offset_ms":0,"lines":[{"start_ms":99999999,"end_ms":100000000,"text":"a"},{"start_ms":100000000,"end_ms":100003000,"text":"b"}],"warnings":[]})J"},
        {"equal starts", "[00:01]a\n[00:01]b\n[00:02]c",
         R"J({"status":0,"line_count":3,"offset_ms":0,"lines":[{"start_ms":1000,"end_ms":4000,"text":"a"},{"start_ms":1000,"end_ms":2000,"text":"b"},{"start_ms":2000,"end_ms":5000,"text":"c"}],"warnings":[]})J"},
        {"one group, two lines", "[00:01][00:01]x",
         R"J({"status":0,"line_count":2,"offset_ms":0,"lines":[{"start_ms":1000,"end_ms":4000,"text":"x"},{"start_ms":1000,"end_ms":4000,"text":"x"}],"warnings":[]})J"},
        {"no lyrics", "hello",
         R"J({"status":1,"line_count":0,"offset_ms":0,"error":"Invalid or empty LRC text. Can't find any lyrics.","lines":[],"warnings":["bare: skipped text before '[' at pos 0"]})J"},
        {"warnings in the order raised", " x\n[00:01\n[ti:a]\n[ti:b]\n[00:02]<i>y</i>\n[00:03]<b>z",
         R"J({"status":0,"line_count":2,"offset_ms":0,"ti":"a","lines":[{"start_ms":2000,"end_ms":3000,"text":"<i>y</i>"},{"start_ms":3000,"end_ms":6000,"text":"<b>z"}],"warnings":["bare: skipped text before '[' at pos 0","tag: unterminated at pos 9","meta: conflicting ti ('a' vs 'b')","enhanced: inline <mm:ss> left as literal"]})J"},
        {"equal warnings kept apart", "[ti:a]\n[ti:b]\n[ti:b]\n[00:01]x",
         R"J({"status":0,"line_count":1,"offset_ms":0,"ti":"a","lines":[{"start_ms":1000,"end_ms":4000,"text":"x"}],"warnings":["meta: conflicting ti ('a' vs 'b')","meta: conflicting ti ('a' vs 'b')"]})J"},
        {"escapes in a tag and a warning", "[ti:a\"b]\n[ti:\t\\\\]\n[00:01]x",
         R"J({"status":0,"line_count":1,"offset_ms":0,"ti":"a\"b","lines":[{"start_ms":1000,"end_ms":4000,"text":"x"}],"warnings":["meta: conflicting ti ('a\"b' vs '\t\\')"]})J"},
    };
    for (const auto &c : table) {
        SCOPED_TRACE(c.name);
        int32_t status = parse(c.lrc);
        EXPECT_EQ(json_or_null(), c.json);
        // The same state, read back through the queries.
        expect_agreement(status);
    }
}

TEST(Json, EmptyStateAfterClear) {
    ASSERT_EQ(parse("[ti:x]\n[00:01]a\n b"), LYRX_OK);
    ASSERT_NE(lyrx_result_json(), nullptr);
    lyrx_clear();
    EXPECT_EQ(lyrx::g_json, nullptr);  // the clear released the text
    EXPECT_EQ(json_or_null(), kEmptyDoc);
    lyrx_clear();
    lyrx_clear();
    EXPECT_EQ(json_or_null(), kEmptyDoc);
}

TEST(Json, NullAndEmptyInput) {
    EXPECT_EQ(lyrx_parse(nullptr, 5), LYRX_ERR_NULL);
    EXPECT_EQ(json_or_null(),
              R"J({"status":3,"line_count":0,"offset_ms":0,"error":"null text","lines":[],"warnings":[]})J");
    EXPECT_EQ(lyrx_parse("x", 0), LYRX_ERR_EMPTY);
    EXPECT_EQ(json_or_null(),
              R"J({"status":2,"line_count":0,"offset_ms":0,"error":"empty input","lines":[],"warnings":[]})J");
}

TEST(Json, ErrorIsWrittenWhateverTheStatus) {
    // A failed file read keeps the previous result and status, and replaces
    // only the error text.
    ASSERT_EQ(parse("[ti:T]\n[00:01]a"), LYRX_OK);
    ASSERT_EQ(lyrx_parse_file("/nonexistent-lyrx-dir/a\"b\\c.lrc"), LYRX_ERR_IO);
    EXPECT_EQ(
        json_or_null(),
        R"J({"status":0,"line_count":1,"offset_ms":0,"ti":"T","error":"cannot open /nonexistent-lyrx-dir/a\"b\\c.lrc","lines":[{"start_ms":1000,"end_ms":4000,"text":"a"}],"warnings":[]})J");
}

// ---- escapes --------------------------------------------------------------

struct escape_case {
    const char *name;
    std::string lrc_text;  // after "[00:01]"; LRC escapes apply
    std::string json_text; // the "text" value as written
};

TEST(Json, EscapesInLineText) {
    const std::vector<escape_case> table = {
        {"quotation mark", "say \"hi\"", "say \\\"hi\\\""},
        {"backslash", "a\\\\b", "a\\\\b"},
        {"backspace", "a\bb", "a\\bb"},
        {"tab", "a\tb", "a\\tb"},
        {"line feed", "a\\\nb", "a\\nb"},
        {"form feed", "a\fb", "a\\fb"},
        {"carriage return", "a\\\rb", "a\\rb"},
        {"other control characters in upper-case hex", std::string("\x01\x0B\x0E\x1B\x1F", 5),
         "\\u0001\\u000B\\u000E\\u001B\\u001F"},
        {"slash stays raw", "a/b//c", "a/b//c"},
        {"DEL stays raw", "a\x7F" "b", "a\x7F" "b"},
        {"two-byte character raw", "caf\xC3\xA9", "caf\xC3\xA9"},
        {"three-byte characters raw", "\xE6\x97\xA5\xE6\x9C\xAC", "\xE6\x97\xA5\xE6\x9C\xAC"},
        {"four-byte character raw", "\xF0\x9F\x8E\xB5", "\xF0\x9F\x8E\xB5"},
        {"highest code point raw", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
        {"last code point before the surrogates raw", "\xED\x9F\xBF", "\xED\x9F\xBF"},
        {"first code point after the surrogates raw", "\xEE\x80\x80", "\xEE\x80\x80"},
        {"noncharacter U+FFFF raw", "\xEF\xBF\xBF", "\xEF\xBF\xBF"},
        {"U+2028 raw", "\xE2\x80\xA8", "\xE2\x80\xA8"},
    };
    for (const auto &c : table) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(parse("[00:01]" + c.lrc_text), LYRX_OK);
        EXPECT_EQ(json_or_null(), R"J({"status":0,"line_count":1,"offset_ms":0,"lines":[{"start_ms":1000,"end_ms":4000,"text":")J" +
                                      c.json_text + R"J("}],"warnings":[]})J");
    }
}

// ---- invalid UTF-8 --------------------------------------------------------

TEST(Json, InvalidUtf8AnywhereGivesNull) {
    const std::vector<std::pair<const char *, std::string>> bad = {
        {"lone 0xFF", "\xFF"},
        {"lone continuation byte", "a\x80z"},
        {"overlong NUL", "\xC0\x80"},
        {"overlong two-byte", "\xC1\xBF"},
        {"overlong three-byte", "\xE0\x80\xAF"},
        {"overlong four-byte", "\xF0\x8F\xBF\xBF"},
        {"high surrogate", "\xED\xA0\x80"},
        {"low surrogate", "\xED\xBF\xBF"},
        {"above U+10FFFF", "\xF4\x90\x80\x80"},
        {"lead byte 0xF5", "\xF5\x80\x80\x80"},
        {"sequence cut at the end", "\xE6\x97"},
        {"sequence cut by ASCII", "\xE6\x97x"},
        {"four-byte sequence cut", "\xF0\x9F\x98"},
        {"lead byte at the end", "ok\xC3"},
        {"Latin-1 text", "caf\xE9"},
    };
    // Where the bytes end up: a line text, each tag, a warning.
    std::vector<std::pair<std::string, std::string>> places = {
        {"line text", "[00:01]@"},
        // Long non-ASCII texts, so that the bytes fall inside and across blocks of 16.
        {"long line text", "[00:01]\u591c\u306b\u99c6\u3051\u308b@\u591c\u306b\u99c6\u3051\u308b\u3082\u3046"},
        {"longer line text", "[00:01]\u591c\u306b\u99c6\u3051\u308b\u3082\u3046@\u591c\u306b\u99c6\u3051\u308b\u591c\u306b"},
        {"title", "[ti:@]\n[00:01]x"},
        {"artist", "[ar:@]\n[00:01]x"},
        {"album", "[al:@]\n[00:01]x"},
        {"author", "[by:@]\n[00:01]x"},
        {"warning", "[ti:a]\n[ti:@]\n[00:01]x"},
    };
    // The bytes at every place of a block of 16, with a block of ASCII after them.
    for (size_t pad = 0; pad < 16; pad++) {
        places.push_back({"line text after " + std::to_string(pad) + " bytes",
                          "[00:01]" + std::string(pad, 'a') + "\u591c\u306b\u99c6\u3051@" + std::string(20, 'z')});
    }
    for (const auto &[place, pattern] : places) {
        for (const auto &[name, bytes] : bad) {
            SCOPED_TRACE(place + ": " + name);
            std::string lrc = pattern;
            lrc.replace(lrc.find('@'), 1, bytes);
            ASSERT_EQ(parse(lrc), LYRX_OK);
            EXPECT_EQ(lyrx_result_json(), nullptr);
            EXPECT_EQ(lyrx::g_json, nullptr);
            // The queries still return the bytes as read.
            if (place == "line text") {
                EXPECT_EQ(lyrx_line_text(0), bytes);
            }
            if (place == "title") {
                EXPECT_EQ(lyrx_meta("ti"), bytes);
            }
            if (place == "warning") {
                ASSERT_EQ(lyrx_warning_count(), 1);
                EXPECT_EQ(lyrx_warning(0), "meta: conflicting ti ('a' vs '" + bytes + "')");
            }
        }
    }
}

TEST(Json, InvalidUtf8InErrorGivesNull) {
    ASSERT_EQ(parse("[00:01]a"), LYRX_OK);
    ASSERT_EQ(lyrx_parse_file("/nonexistent-lyrx-dir/caf\xE9.lrc"), LYRX_ERR_IO);
    EXPECT_STREQ(lyrx_last_error(), "cannot open /nonexistent-lyrx-dir/caf\xE9.lrc");
    EXPECT_EQ(lyrx_result_json(), nullptr);
    // A valid state afterwards writes again.
    ASSERT_EQ(parse("[00:01]a"), LYRX_OK);
    EXPECT_NE(lyrx_result_json(), nullptr);
}

TEST(Json, FailedCallReleasesThePreviousText) {
    ASSERT_EQ(parse("[00:01]ok"), LYRX_OK);
    ASSERT_NE(lyrx_result_json(), nullptr);
    ASSERT_NE(lyrx::g_json, nullptr);
    // Make the state invalid without a clear: a failed file read only
    // replaces the error text.
    ASSERT_EQ(lyrx_parse_file("/nonexistent-lyrx-dir/\xFF"), LYRX_ERR_IO);
    ASSERT_NE(lyrx::g_json, nullptr);  // the failed read kept the old text
    EXPECT_EQ(lyrx_result_json(), nullptr);
    EXPECT_EQ(lyrx::g_json, nullptr);
}

// A text cut at its 511-byte limit may end inside a multi-byte character. The
// document is written only if what was stored is valid UTF-8, and then holds
// exactly the stored bytes.
TEST(Json, TextsCutAt511Bytes) {
    const std::string three = "\xE6\x97\xA5";  // one three-byte character
    for (size_t pad = 0; pad < 3; pad++) {
        SCOPED_TRACE("pad " + std::to_string(pad));
        // A conflict warning longer than 511 bytes.
        std::string value = std::string(pad, 'x');
        while (value.size() < 600) value += three;
        ASSERT_EQ(parse("[ti:a]\n[ti:" + value + "]\n[00:01]x"), LYRX_OK);
        ASSERT_EQ(lyrx_warning_count(), 1);
        const std::string full = "meta: conflicting ti ('a' vs '" + value + "')";
        const std::string stored = lyrx_warning(0);
        EXPECT_LE(stored.size(), 511u);
        EXPECT_GE(stored.size(), 508u);  // at most a character's start is given up
        EXPECT_EQ(full.compare(0, stored.size(), stored), 0);
        expect_agreement(LYRX_OK);

        // An error text longer than 511 bytes ("cannot open " and the path).
        ASSERT_EQ(lyrx_parse_file(("/nonexistent-lyrx-dir/" + value).c_str()), LYRX_ERR_IO);
        const std::string error = lyrx_last_error();
        EXPECT_LE(error.size(), 511u);
        EXPECT_GE(error.size(), 508u);
        EXPECT_EQ(("cannot open /nonexistent-lyrx-dir/" + value).compare(0, error.size(), error), 0);
        expect_agreement(LYRX_OK);
    }
}

// ---- repeated calls ---------------------------------------------------------

TEST(Json, TwoCallsGiveEqualTexts) {
    ASSERT_EQ(parse("[ar:A]\n[00:02]b\n[00:01]a"), LYRX_OK);
    const char *first = lyrx_result_json();
    ASSERT_NE(first, nullptr);
    const std::string copy = first;
    const char *second = lyrx_result_json();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(copy, second);
    EXPECT_EQ(lyrx::g_json, second);
}

TEST(Json, ParseReleasesTheText) {
    ASSERT_EQ(parse("[00:01]a"), LYRX_OK);
    ASSERT_NE(lyrx_result_json(), nullptr);
    ASSERT_EQ(parse("[00:01]b"), LYRX_OK);
    EXPECT_EQ(lyrx::g_json, nullptr);
    EXPECT_EQ(json_or_null(),
              R"J({"status":0,"line_count":1,"offset_ms":0,"lines":[{"start_ms":1000,"end_ms":4000,"text":"b"}],"warnings":[]})J");
}

TEST(Json, ParseOfTheJsonTextItself) {
    // The text handed out may be given back to the parser.
    ASSERT_EQ(parse("[00:01]a"), LYRX_OK);
    const char *json = lyrx_result_json();
    ASSERT_NE(json, nullptr);
    EXPECT_EQ(lyrx_parse(json, std::strlen(json)), LYRX_ERR_NO_LYRICS);
    EXPECT_EQ(lyrx::g_json, nullptr);
    EXPECT_STREQ(lyrx_warning(0), "bare: skipped text before '[' at pos 0");
}

// ---- agreement with the queries -------------------------------------------

// More warnings than are written in one piece, plain and escaped ones mixed,
// and maybe one that is not valid UTF-8 far into them.
std::string many_warnings(bool invalid) {
    std::string lrc = "[ti:a]\n";
    for (int i = 0; i < 2500; i++) lrc += i % 3 == 0 ? "[ti:b\"c]\n" : i == 2100 && invalid ? "[ti:\xFF]\n" : "[ti:d]\n";
    return lrc + "[00:01]x";
}

// Texts of every kind, including ones that are not valid UTF-8.
const std::vector<std::string> &inline_corpus() {
    static const std::vector<std::string> corpus = {
        many_warnings(false),
        many_warnings(true),
        "",
        "[ti:x]",
        "[offset:5]",
        "[re:x]",
        "plain text\nmore",
        "\xEF\xBB\xBF[ti:T]\r\n[ar:A]\r\n[al:L]\r\n[by:B]\r\n[offset:+250]\r\n[00:10.00]one\r\n[00:05.5]two\r\n",
        "[00:01]a\n[00:01]b\n[00:00.5]c\n[05:00]d",
        "[35791:23.647]end of range\n[35791:23.640]just before",
        "[00:01]\"q\" \\\\ \x01\x1F\x7F / \xC3\xA9\n[00:02]\\\ncontinued",
        "[00:01]<00:01.50>Hel<00:02.00>lo\n[ti:a]\n[ti:b]\n[offset:x]\n[00:01",
        "[00:01]caf\xE9",
        "[ti:\xFF]\n[00:01]x",
        "[00:01]a\\",
    };
    return corpus;
}

TEST(Json, AgreesWithQueriesOnInlineTexts) {
    for (const auto &text : inline_corpus()) {
        SCOPED_TRACE(lyrx_test::quote(text.c_str()));
        expect_agreement(parse(text));
    }
}

std::vector<fs::path> golden_cases() {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(LYRX_CASES_DIR, ec))
        if (e.is_regular_file() && e.path().extension() == ".lrc") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

TEST(Json, AgreesWithQueriesOnGoldenCases) {
    auto files = golden_cases();
    if (files.empty()) GTEST_SKIP() << "no golden cases in " << LYRX_CASES_DIR;
    for (const auto &file : files) {
        SCOPED_TRACE(file.filename().string());
        expect_agreement(parse(lyrx_test::read_file(file.string())));
    }
}

TEST(Json, TextOver2GiBIsRefusedUnbuilt) {
    // 2100 tags sharing one text of 1 MiB: a 3 MB input whose JSON text would
    // hold the text 2100 times (over 2 GiB). Refused before anything is built;
    // the result stays readable.
    std::string lrc;
    for (int i = 0; i < 2100; i++) lrc += "[" + std::to_string(i / 60) + ":" + std::to_string(i % 60) + "]";
    lrc += std::string(1 << 20, 'x') + "\n[00:00.5]short";
    ASSERT_EQ(parse(lrc), LYRX_OK);
    EXPECT_GT(lyrx::json_text_size(), int64_t{INT32_MAX});
    lyrx_test::fail_allocation(LONG_MAX);  // only counts
    EXPECT_EQ(lyrx_result_json(), nullptr);
    EXPECT_EQ(lyrx_test::allocations_seen(), 0);
    lyrx_test::disarm_allocation_failure();
    EXPECT_EQ(lyrx_line_count(), 2101);
    EXPECT_EQ(std::strlen(lyrx_line_text(2100)), size_t{1} << 20);
    EXPECT_EQ(lyrx_line_text(0), lyrx_line_text(2100)) << "lines of one group share their text";

    // Under the limit the same text is written as usual.
    ASSERT_EQ(parse("[00:01][00:02][00:03]" + std::string(1 << 20, 'x')), LYRX_OK);
    expect_agreement(LYRX_OK);
}

// ---- out of memory ------------------------------------------------------------

// A state with an offset, the tags picked by the bits of `tags`, an error
// text when `error` is set, `lines` lines and `warnings` warnings. Where
// yyjson's memory blocks run out depends on what came before, so the loops
// below vary all of these to fail every kind of item.
int32_t build_state(unsigned tags, bool error, int lines, int warnings) {
    std::string lrc = "[offset:-20]\n";
    const char *tag_lines[] = {"[ti:Title]\n", "[ar:Artist]\n", "[al:Album]\n", "[by:Author]\n"};
    for (unsigned t = 0; t < 4; t++)
        if (tags & (1u << t)) lrc += tag_lines[t];
    for (int i = 0; i < warnings; i++) lrc += " bare " + std::to_string(i) + "\n";
    for (int i = 0; i < lines; i++) {
        char tag[32];
        std::snprintf(tag, sizeof tag, "[%02d:%02d.%02d]", i / 60, i % 60, i % 100);
        lrc += tag + std::string("line ") + std::to_string(i) + " " + std::string(static_cast<size_t>(i % 40), 'w') + "\n";
    }
    int32_t status = parse(lrc);
    // An error text from a failed read, which keeps the result.
    if (error && lyrx_parse_file("/nonexistent-lyrx-dir/x.lrc") != LYRX_ERR_IO) return -1;
    return status;
}

struct oom_totals {
    int nulls = 0;
};

long run_oom_loop(unsigned tags, bool error, int lines, int warnings, oom_totals (&totals)[2]) {
    int32_t status = build_state(tags, error, lines, warnings);
    EXPECT_EQ(status, lines ? LYRX_OK : LYRX_ERR_EMPTY);
    const std::string state_before = lyrx_test::dump_result(status);
    const char *full_ptr = lyrx_result_json();
    EXPECT_NE(full_ptr, nullptr);
    if (!full_ptr) return 0;
    const std::string full = full_ptr;
    EXPECT_EQ(full, expected_json(status));

    const char *json = nullptr;
    return lyrx_test::for_each_failed_allocation(
        [] {}, [&] { json = lyrx_result_json(); },
        [&](const lyrx_test::failed_run &run) {
            EXPECT_EQ(lyrx::g_json, json);
            if (!run.fired) {
                ASSERT_NE(json, nullptr);
                EXPECT_EQ(std::string(json), full);
            } else if (!json) {
                totals[run.persistent].nulls++;
            } else {
                // Never a text with something left out.
                EXPECT_EQ(std::string(json), full);
            }
            if (run.n == 1) {
                EXPECT_EQ(json, nullptr) << "the document itself could not be created";
            }
            // Nothing but the JSON text changes.
            ASSERT_EQ(lyrx_test::dump_result(status), state_before);
        });
}

TEST(Json, OutOfMemoryAtEachAllocation) {
    oom_totals totals[2];
    long points = 0;
    for (unsigned tags = 0; tags < 16; tags++) {
        for (bool error : {false, true}) {
            for (int warnings : {0, 3}) {
                for (int lines : {0, 1, 2, 3, 5, 8, 13, 21, 34}) {
                    SCOPED_TRACE("tags " + std::to_string(tags) + (error ? ", error, " : ", ") + std::to_string(lines) +
                                 " lines, " + std::to_string(warnings) + " warnings");
                    points = std::max(points, run_oom_loop(tags, error, lines, warnings, totals));
                    if (::testing::Test::HasFatalFailure()) return;
                }
            }
        }
    }
    lyrx_test::report_injection_points("lyrx_result_json", points);
    for (const oom_totals &t : totals) EXPECT_GT(t.nulls, 0);
}

}  // namespace
