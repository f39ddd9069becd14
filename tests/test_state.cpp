// The result state and its queries: the state before any parse, bad indexes,
// header keys, end times, the 511-byte cut of warning and error texts,
// lyrx_clear, the null and empty entry cases, replacement of the previous
// result, and parsing text that the library itself handed out.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "locales.hpp"
#include "dump.hpp"
#include "lyrx.h"
#include "result_view.hpp"

using lyrx_test::Line;
using lyrx_test::kMax;
using lyrx_test::kMin;
using lyrx_test::kNoLyrics;
using lyrx_test::parse_view;

namespace {


// A rich result: all four tags, an offset, lines, a warning.
const std::string kRich = " stray\n[ti:T][ar:A][al:L][by:B]\n[offset:100]\n[00:01]one\n[00:02]two\n";

// Captured during static initialisation, before any test can parse, so the
// check holds whatever order or filter the tests run with.
struct FirstLook {
    int32_t lines, warnings, offset, start0, end0;
    std::string error;
    bool ti_null, ar_null, text0_null, warning0_null;
};
const FirstLook g_first_look = [] {
    return FirstLook{lyrx_line_count(),    lyrx_warning_count(),       lyrx_offset_ms(),
                     lyrx_line_start_ms(0), lyrx_line_end_ms(0),       lyrx_last_error(),
                     lyrx_meta("ti") == nullptr, lyrx_meta("ar") == nullptr, lyrx_line_text(0) == nullptr,
                     lyrx_warning(0) == nullptr};
}();

TEST(State, EmptyBeforeAnyParse) {
    EXPECT_EQ(g_first_look.lines, 0);
    EXPECT_EQ(g_first_look.warnings, 0);
    EXPECT_EQ(g_first_look.offset, 0);
    EXPECT_EQ(g_first_look.start0, 0);
    EXPECT_EQ(g_first_look.end0, 0);
    EXPECT_EQ(g_first_look.error, "");
    EXPECT_TRUE(g_first_look.ti_null);
    EXPECT_TRUE(g_first_look.ar_null);
    EXPECT_TRUE(g_first_look.text0_null);
    EXPECT_TRUE(g_first_look.warning0_null);
}

// The last status is visible only through the JSON text, whose first member it is.
std::string json_status_prefix() {
    const char *json = lyrx_result_json();
    if (!json) return "<null>";
    const std::string s(json);
    return s.substr(0, s.find(','));
}

TEST(State, BadIndexes) {
    struct Setup {
        const char *name;
        void (*make)();
        int32_t lines, warnings;
    };
    const Setup setups[] = {
        {"cleared", [] { lyrx_clear(); }, 0, 0},
        {"two lines and a warning", [] { lyrx_test::parse_exact("x\n[00:01]a\n[00:02]b"); }, 2, 1},
        {"failed parse", [] { lyrx_test::parse_exact("[re:x]"); }, 0, 0},
    };
    for (const Setup &s : setups) {
        SCOPED_TRACE(s.name);
        s.make();
        ASSERT_EQ(lyrx_line_count(), s.lines);
        ASSERT_EQ(lyrx_warning_count(), s.warnings);
        for (const int32_t i : {-1, kMin, s.lines, s.lines + 1, kMax}) {
            SCOPED_TRACE("line index " + std::to_string(i));
            EXPECT_EQ(lyrx_line_start_ms(i), 0);
            EXPECT_EQ(lyrx_line_end_ms(i), 0);
            EXPECT_EQ(lyrx_line_text(i), nullptr);
        }
        for (const int32_t i : {-1, kMin, s.warnings, s.warnings + 1, kMax}) {
            SCOPED_TRACE("warning index " + std::to_string(i));
            EXPECT_EQ(lyrx_warning(i), nullptr);
        }
        // The good indexes next to the bad ones do answer.
        for (int32_t i = 0; i < s.lines; ++i) EXPECT_NE(lyrx_line_text(i), nullptr);
        for (int32_t i = 0; i < s.warnings; ++i) EXPECT_NE(lyrx_warning(i), nullptr);
    }
}

TEST(State, MetaKeys) {
    struct Case {
        const char *key;
        const char *value;  // null: no tag for this key
    };
    const Case table[] = {
        {"ti", "T"},      {"TI", "T"},      {"Ti", "T"},   {"tI", "T"},     {"ar", "A"},   {"AR", "A"},
        {"aR", "A"},      {"al", "L"},      {"AL", "L"},   {"by", "B"},     {"By", "B"},   {"t", nullptr},
        {"tit", nullptr}, {"offset", nullptr}, {"OFFSET", nullptr}, {"ti ", nullptr}, {" ti", nullptr},
        {"", nullptr},    {"tiar", nullptr}, {"length", nullptr}, {"re", nullptr}, {"t\xC4\xB1", nullptr}, {"t\xFD", nullptr}, {"\xC1l", nullptr},
    };
    lyrx_test::parse_exact("[ti:T][ar:A][al:L][by:B][00:01]x");
    lyrx_test::in_each_locale([&] {
        for (const Case &c : table) {
            SCOPED_TRACE(c.key);
            const char *got = lyrx_meta(c.key);
            if (c.value == nullptr)
                EXPECT_EQ(got, nullptr);
            else
                EXPECT_STREQ(got, c.value);
        }
    });
    EXPECT_EQ(lyrx_meta(nullptr), nullptr);

    // A tag that was not in the text reads as null, also in upper case.
    lyrx_test::parse_exact("[ti:T][00:01]x");
    EXPECT_STREQ(lyrx_meta("TI"), "T");
    for (const char *key : {"ar", "AL", "by"}) EXPECT_EQ(lyrx_meta(key), nullptr) << key;
}

TEST(State, OffsetQuery) {
    // An accepted offset of zero reads exactly like no offset.
    EXPECT_EQ(parse_view("[offset:0]\n[00:01]a").offset, 0);
    EXPECT_EQ(parse_view("[00:01]a").offset, 0);
    EXPECT_EQ(parse_view("[offset:-7]\n[00:01]a").offset, -7);
    // A rejected offset leaves none.
    EXPECT_EQ(parse_view("[offset:7x]\n[00:01]a").offset, 0);
}

TEST(State, EndTimes) {
    struct Case {
        const char *name;
        std::string input;
        std::vector<int32_t> starts;
        std::vector<int32_t> ends;
    };
    const Case table[] = {
        {"next later start, then start + 3000", "[00:01]a\n[00:04.5]b", {1000, 4500}, {4500, 7500}},
        {"equal next start gives start + 3000", "[00:01]a\n[00:01]b", {1000, 1000}, {4000, 4000}},
        {"tie then a later line", "[00:01]a\n[00:01]b\n[00:02]c", {1000, 1000, 2000}, {4000, 2000, 5000}},
        {"next start more than 3000 later", "[00:01]a\n[01:00]b", {1000, 60000}, {60000, 63000}},
        {"negative starts", "[offset:5000][00:01]a[00:02]b", {-4000, -3000}, {-3000, 0}},
        {"just below the top", "[35791:20]a", {2147480000}, {2147483000}},
        {"exactly reaching the top", "[35791:20.647]a", {2147480647}, {kMax}},
        {"saturates one past the top", "[35791:20.648]a", {2147480648}, {kMax}},
        {"start at the top", "[35791:23.647]a", {kMax}, {kMax}},
        {"offset pushes the start to the top", "[offset:-2147483648]\n[00:01]a", {kMax}, {kMax}},
        {"lowest start", "[offset:2147483647]\n[00:00]a", {-kMax}, {-kMax + 3000}},
    };
    for (const Case &c : table) {
        SCOPED_TRACE(c.name);
        const auto v = parse_view(c.input);
        std::vector<int32_t> starts;
        for (const Line &l : v.lines) starts.push_back(l.first);
        EXPECT_EQ(starts, c.starts);
        EXPECT_EQ(v.ends, c.ends);
    }
}

std::string repeat(const std::string &piece, int times) {
    std::string s;
    for (int i = 0; i < times; ++i) s += piece;
    return s;
}

// A warning is cut to 511 bytes; a cut that would split a UTF-8 character
// ends before that character. "meta: conflicting ti ('" is 23 bytes, so with
// the first value V the second value starts at byte 30 + size(V) - 1.
TEST(State, WarningCutAt511Bytes) {
    struct Case {
        const char *name;
        std::string first, second;
        std::size_t kept;  // bytes of the full text that remain
    };
    const Case table[] = {
        {"ASCII", "a", std::string(600, 'b'), 511},
        {"text of exactly 511 bytes", "a", std::string(479, 'b'), 511},
        {"text of 510 bytes", "a", std::string(478, 'b'), 510},
        {"3-byte character split after its first byte", "a", repeat("\xE2\x82\xAC", 200), 510},
        {"3-byte characters end at the limit", "ab", repeat("\xE2\x82\xAC", 200), 511},
        {"3-byte character split after its second byte", "abc", repeat("\xE2\x82\xAC", 200), 509},
        {"2-byte character split", "a", repeat("\xC3\xA9", 300), 510},
        {"2-byte characters end at the limit", "ab", repeat("\xC3\xA9", 300), 511},
        {"4-byte character split after one byte", "a", repeat("\xF0\x9F\x98\x80", 150), 510},
        {"4-byte characters end at the limit", "ab", repeat("\xF0\x9F\x98\x80", 150), 511},
        {"4-byte character split after three bytes", "abc", repeat("\xF0\x9F\x98\x80", 150), 508},
        // Bytes that start no character are cut like any other byte.
        {"0xFF last", "a", std::string(480, 'b') + "\xFF" + std::string(40, 'b'), 511},
        {"0xF8 then a continuation byte last", "a", std::string(479, 'b') + "\xF8\x80" + std::string(40, 'b'), 511},
        {"lone continuation bytes", "a", std::string(477, 'b') + std::string(40, '\x80'), 511},
    };
    for (const Case &c : table) {
        SCOPED_TRACE(c.name);
        const std::string full = "meta: conflicting ti ('" + c.first + "' vs '" + c.second + "')";
        const auto v = parse_view("[ti:" + c.first + "]\n[ti:" + c.second + "]");
        ASSERT_EQ(v.warnings.size(), 1u);
        EXPECT_EQ(v.warnings[0].size(), c.kept);
        EXPECT_EQ(v.warnings[0], full.substr(0, c.kept));
    }
    // The other texts that carry input are cut the same way.
    const std::string value = repeat("\xE2\x82\xAC", 200);  // after 26 bytes: 485 = 161 * 3 + 2
    const auto v = parse_view("[offset:" + value + "]");
    ASSERT_EQ(v.warnings.size(), 1u);
    EXPECT_EQ(v.warnings[0], ("meta: unparseable offset '" + value).substr(0, 509));
}

// Only a file path puts input into an error text: "cannot open <path>".
TEST(State, ErrorCutAt511Bytes) {
    struct Case {
        const char *name;
        std::string path;
        std::size_t kept;
    };
    // "cannot open " is 12 bytes; "/nonexistent-lyrx/" 18 more.
    const Case table[] = {
        {"ASCII", "/nonexistent-lyrx/" + std::string(600, 'p'), 511},
        {"3-byte character split", "/nonexistent-lyrx/" + repeat("\xE2\x82\xAC", 200), 510},
        {"3-byte characters end at the limit", "/nonexistent-lyrx/p" + repeat("\xE2\x82\xAC", 200), 511},
        {"3-byte character split after two bytes", "/nonexistent-lyrx/pp" + repeat("\xE2\x82\xAC", 200), 509},
    };
    for (const Case &c : table) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(lyrx_parse_file(c.path.c_str()), LYRX_ERR_IO);
        const std::string error = lyrx_last_error();
        EXPECT_EQ(error.size(), c.kept);
        EXPECT_EQ(error, ("cannot open " + c.path).substr(0, c.kept));
    }
}

void expect_empty_state() {
    EXPECT_EQ(lyrx_line_count(), 0);
    EXPECT_EQ(lyrx_warning_count(), 0);
    EXPECT_EQ(lyrx_offset_ms(), 0);
    EXPECT_STREQ(lyrx_last_error(), "");
    for (const char *key : {"ti", "ar", "al", "by"}) EXPECT_EQ(lyrx_meta(key), nullptr) << key;
    EXPECT_EQ(lyrx_line_text(0), nullptr);
    EXPECT_EQ(lyrx_warning(0), nullptr);
}

TEST(State, ClearEmptiesEverythingAndRepeatsHarmlessly) {
    lyrx_test::parse_exact(kRich);
    ASSERT_EQ(lyrx_line_count(), 2);
    ASSERT_EQ(lyrx_warning_count(), 1);
    ASSERT_EQ(lyrx_tag_parse_title("Song ft. Someone"), LYRX_OK);
    ASSERT_GT(lyrx_tag_artist_count(), 0);
    ASSERT_NE(lyrx_result_json(), nullptr);
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE("clear #" + std::to_string(round));
        lyrx_clear();
        expect_empty_state();
        EXPECT_EQ(lyrx_tag_artist_count(), 0);
        EXPECT_STREQ(lyrx_result_json(), "{\"status\":0,\"line_count\":0,\"offset_ms\":0,\"lines\":[],\"warnings\":[]}");
    }
    // A failed parse leaves its status; a clear sets it back to 0.
    lyrx_test::parse_exact("[re:x]");
    EXPECT_EQ(json_status_prefix(), "{\"status\":1");
    lyrx_clear();
    EXPECT_EQ(json_status_prefix(), "{\"status\":0");
}

TEST(State, NullAndEmptyInput) {
    struct Case {
        const char *name;
        const char *text;
        uint64_t length;
        int32_t status;
        const char *error;
    };
    const char text[] = "[00:01]a";
    const Case table[] = {
        {"null text", nullptr, 8, LYRX_ERR_NULL, "null text"},
        {"null text, huge length", nullptr, UINT64_MAX, LYRX_ERR_NULL, "null text"},
        {"zero length", text, 0, LYRX_ERR_EMPTY, "empty input"},
        {"null text and zero length: null comes first", nullptr, 0, LYRX_ERR_NULL, "null text"},
    };
    for (const Case &c : table) {
        SCOPED_TRACE(c.name);
        lyrx_test::parse_exact(kRich);
        ASSERT_EQ(lyrx_line_count(), 2);
        EXPECT_EQ(lyrx_parse(c.text, c.length), c.status);
        EXPECT_STREQ(lyrx_last_error(), c.error);
        EXPECT_EQ(lyrx_line_count(), 0);
        EXPECT_EQ(lyrx_warning_count(), 0);
        EXPECT_EQ(lyrx_offset_ms(), 0);
        for (const char *key : {"ti", "ar", "al", "by"}) EXPECT_EQ(lyrx_meta(key), nullptr) << key;
        EXPECT_EQ(json_status_prefix(), "{\"status\":" + std::to_string(c.status));
    }
}

// A parse replaces the whole previous result: nothing of it may show through.
TEST(State, ParseReplacesPreviousResult) {
    const std::string followers[] = {"[00:05]only", "[re:x]", "[ti:other]", "[offset:abc]", "\xEF\xBB\xBF",
                                     "[00:01]a\\"};
    for (const std::string &next : followers) {
        SCOPED_TRACE(next);
        lyrx_clear();
        const std::string alone = lyrx_test::dump_result(lyrx_test::parse_exact(next));
        lyrx_test::parse_exact(kRich);
        const std::string after_rich = lyrx_test::dump_result(lyrx_test::parse_exact(next));
        EXPECT_EQ(after_rich, alone);
    }
}

// The text handed to lyrx_parse may be a string the library owns: the old
// result must stay readable until the new parse has read it. Under the address
// sanitizer a use after free fails here.
TEST(State, ParseFromLibraryOwnedText) {
    struct Case {
        const char *name;
        std::string setup;                // parsed first
        const char *(*source)();          // the library-owned string
        std::size_t skip;                 // bytes of it to skip
        std::vector<Line> lines;          // what parsing it gives
        std::vector<std::string> warnings;
    };
    const Case table[] = {
        {"line text", "[00:01]\\[00:02\\]hello", [] { return lyrx_line_text(0); }, 0, {{2000, "hello"}}, {}},
        // Long enough for the scanner's 16-byte stores, which must not land in the text still to be read.
        {"long line text",
         "[00:01]\\[00:02\\]a line of text longer than sixteen bytes",
         [] { return lyrx_line_text(0); },
         0,
         {{2000, "a line of text longer than sixteen bytes"}},
         {}},
        {"second line text", "[00:01]a\n[00:09]\\[00:03\\]x", [] { return lyrx_line_text(1); }, 0, {{3000, "x"}}, {}},
        {"warning",
         "[ti:a]\n[ti:\\\n\\[00:03\\]b]",
         [] { return lyrx_warning(0); },
         0,
         {{3000, "b')"}},
         {"bare: skipped text before '[' at pos 0"}},
        {"title", "[ti:\\[00:04\\]t]", [] { return lyrx_meta("ti"); }, 0, {{4000, "t"}}, {}},
        {"last error", "[re:x]", [] { return lyrx_last_error(); }, 0, {}, {"bare: skipped text before '[' at pos 0"}},
        {"JSON text", "[00:01]a", [] { return lyrx_result_json(); }, 0, {}, {"bare: skipped text before '[' at pos 0"}},
    };
    for (const Case &c : table) {
        SCOPED_TRACE(c.name);
        lyrx_test::parse_exact(c.setup);
        const char *owned = c.source();
        ASSERT_NE(owned, nullptr);
        ASSERT_GE(std::strlen(owned), c.skip);
        const auto v = lyrx_test::capture(lyrx_parse(owned + c.skip, std::strlen(owned) - c.skip));
        EXPECT_EQ(v.lines, c.lines);
        EXPECT_EQ(v.warnings, c.warnings);
    }

    // An error text that holds a time tag, parsed from inside the error buffer.
    lyrx_test::parse_exact("[00:01]keep");
    ASSERT_EQ(lyrx_parse_file("[00:05]e"), LYRX_ERR_IO);
    ASSERT_STREQ(lyrx_last_error(), "cannot open [00:05]e");
    const char *error = lyrx_last_error();
    const auto from_error = lyrx_test::capture(lyrx_parse(error + 12, std::strlen(error + 12)));
    EXPECT_EQ(from_error.status, LYRX_OK);
    EXPECT_EQ(from_error.lines, (std::vector<Line>{{5000, "e"}}));
    EXPECT_EQ(from_error.error, "");
}

}  // namespace
