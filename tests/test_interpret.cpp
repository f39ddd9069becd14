// What tags mean: time tags and their millisecond rounding, header tags and
// their conflicts, the offset and its rules, enhanced word times, the sort and
// the status decision. One table per behaviour.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "lyrx.h"
#include "result_view.hpp"

using namespace std::string_literals;
using lyrx_test::Line;
using lyrx_test::kMax;
using lyrx_test::kMin;
using lyrx_test::kMetaOnly;
using lyrx_test::kNoLyrics;
using lyrx_test::parse_view;

namespace {


// Each time form is parsed alone, followed by "x" and by a text long enough
// for the scanner's own reading of the common shapes, so its start is the line's.
TEST(Interpret, TimeTagValues) {
    struct Case {
        std::string tag;
        int32_t start;
    };
    const Case table[] = {
        {"00:12.34", 12340},
        {"12:34", 754000},
        {"99:59.999", 5999999},
        {"09:08.07", 548070},
        {"09:08.070", 548070},
        {"01:02.5", 62500},
        {"1:2", 62000},
        {"00:.5", 500},
        {"00:5.", 5000},
        {"00:00.0005", 1},
        {"00:00.0004", 0},
        {"00:01.2345", 1235},
        {"00:59.9995", 60000},
        {"00:75", 75000},
        {"100:00", 6000000},
        {"000:000.000", 0},
        // Decimal arithmetic exactly as the reader defines it (not strtod).
        {"00:02.5005", 2500},
        {"00:01.9835", 1983},
        {"00:07.9095", 7909},
        // Largest start, and everything above it clamps to it.
        {"35791:23.647", kMax},
        {"35791:23.646", kMax - 1},
        {"35791:23.648", kMax},
        {"99999999:00", kMax},
        {std::string(1000, '9') + ":00", kMax},
        {"00:" + std::string(400, '9'), kMax},
        {"0:" + std::string(300, '0') + ".5", 500},
    };
    for (const Case &c : table) {
        SCOPED_TRACE(c.tag.substr(0, 40));
        for (const std::string text : {"x", "a text of more than sixteen bytes"}) {
            const auto v = parse_view("[" + c.tag + "]" + text);
            EXPECT_EQ(v.status, LYRX_OK);
            EXPECT_EQ(v.lines, (std::vector<Line>{{c.start, text}}));
            EXPECT_TRUE(v.warnings.empty());
        }
    }
    // "[01:02.5]" with no text still makes a line.
    EXPECT_EQ(parse_view("[01:02.5]").lines, (std::vector<Line>{{62500, ""}}));
}

TEST(Interpret, NotTimeTags) {
    const char *const table[] = {"00:01:02", "-1:00",  "1.5:00", " 00:01",  "00:01 ",   "00:",   ":01",
                                 "00:1a",    "00:01.2.3", "+1:00", "00:+1",  "00:-1",   "00:.",  "0x1:00",
                                 "00:1e3",   "00;01",  "0001",   "00.01",   "\xEF\xBC\x90:01", "00:01,5",
                                 "12:3a",    "12:34.5a", "12:34.567a", "1a:34.56", "12:34.56:7"};
    for (const char *tag : table) {
        SCOPED_TRACE(tag);
        const auto v = parse_view("[" + std::string(tag) + "]a text of more than sixteen bytes");
        EXPECT_EQ(v.status, LYRX_ERR_NO_LYRICS);
        EXPECT_EQ(v.error, kNoLyrics);
        EXPECT_TRUE(v.lines.empty());
        EXPECT_TRUE(v.warnings.empty());
    }
}

TEST(Interpret, HeaderTags) {
    struct Case {
        const char *name;
        std::string input;
        std::optional<std::string> ti, ar, al, by;
        std::vector<std::string> warnings;
    };
    const std::string long_key(70, 'a');
    const Case table[] = {
        {"upper-case key", "[TI:x]", "x", {}, {}, {}, {}},
        {"value kept with its spaces", "[ti: x ]", " x ", {}, {}, {}, {}},
        {"value keeps later colons", "[ti:a:b]", "a:b", {}, {}, {}, {}},
        {"empty value", "[ti:]", "", {}, {}, {}, {}},
        {"value bytes kept as written", "[ti:\xC3\xA9\t\x01]", "\xC3\xA9\t\x01", {}, {}, {}, {}},
        {"all four keys", "[ar:A][al:B][by:C][ti:D]", "D", "A", "B", "C", {}},
        {"mixed-case keys", "[Ar:A]\n[aL:B]\n[bY:C]", {}, "A", "B", "C", {}},
        {"space inside the key", "[t i:x]", {}, {}, {}, {}, {}},
        {"space before the colon", "[ti :x]", {}, {}, {}, {}, {}},
        {"no colon", "[ti]", {}, {}, {}, {}, {}},
        {"no key", "[:x]", {}, {}, {}, {}, {}},
        {"digit in the key", "[ti1:x]", {}, {}, {}, {}, {}},
        {"key that only starts with a known one", "[tiar:x]", {}, {}, {}, {}, {}},
        {"unknown keys are dropped", "[length:03:20][re:x][ve:1][la:en]", {}, {}, {}, {}, {}},
        {"key longer than the key buffer", "[" + long_key + ":x]", {}, {}, {}, {}, {}},
        {"same value twice is no conflict", "[ti:a]\n[ti:a]", "a", {}, {}, {}, {}},
        {"first value wins", "[ti:a]\n[ti:b]", "a", {}, {}, {}, {"meta: conflicting ti ('a' vs 'b')"}},
        {"conflict across letter case", "[TI:a][ti:b]", "a", {}, {}, {}, {"meta: conflicting ti ('a' vs 'b')"}},
        {"empty value conflicts with text", "[ar:x][ar:]", {}, "x", {}, {}, {"meta: conflicting ar ('x' vs '')"}},
        {"empty first value wins", "[al:][al:x]", {}, {}, "", {}, {"meta: conflicting al ('' vs 'x')"}},
        {"every later difference warns",
         "[by:a]\n[by:b]\n[by:a]\n[by:c]",
         {},
         {},
         {},
         "a",
         {"meta: conflicting by ('a' vs 'b')", "meta: conflicting by ('a' vs 'c')"}},
        {"escaped close bracket in a value", "[ti:a\\]b]", "a]b", {}, {}, {}, {}},
    };
    for (const Case &c : table) {
        SCOPED_TRACE(c.name);
        const auto v = parse_view(c.input);
        EXPECT_EQ(v.ti, c.ti);
        EXPECT_EQ(v.ar, c.ar);
        EXPECT_EQ(v.al, c.al);
        EXPECT_EQ(v.by, c.by);
        EXPECT_EQ(v.warnings, c.warnings);
        const bool any = c.ti || c.ar || c.al || c.by;
        EXPECT_EQ(v.status, any ? LYRX_ERR_EMPTY : LYRX_ERR_NO_LYRICS);
        EXPECT_EQ(v.error, any ? kMetaOnly : kNoLyrics);
    }
}

// One offset value applied to a line at 1000 ms.
TEST(Interpret, OffsetValues) {
    struct Case {
        std::string value;
        int32_t offset;  // 0 and a warning when unparseable
        int32_t start;
        bool parsed;
    };
    const Case table[] = {
        {"500", 500, 500, true},
        {"-500", -500, 1500, true},
        {"+500", 500, 500, true},
        {"1.5", 2, 998, true},
        {"-1.5", -2, 1002, true},
        {"2.5", 3, 997, true},
        {"0.4999", 0, 1000, true},
        {"-0.4999", 0, 1000, true},
        {".5", 1, 999, true},
        {"5.", 5, 995, true},
        {"0", 0, 1000, true},
        {"-0", 0, 1000, true},
        {"00500", 500, 500, true},
        {"1000", 1000, 0, true},
        {"5000", 5000, -4000, true},
        {"99999999999", kMax, 1000 - kMax, true},
        {"2147483647", kMax, 1000 - kMax, true},
        {"2147483648", kMax, 1000 - kMax, true},
        {"2147483646.5", kMax, 1000 - kMax, true},
        {"2147483646.4", kMax - 1, 1001 - kMax, true},
        // The subtraction saturates instead of wrapping.
        {"-2147483648", kMin, kMax, true},
        {"-99999999999", kMin, kMax, true},
        {"-2147483649", kMin, kMax, true},
        {"-2147483647.6", kMin, kMax, true},
        {"-2147482647", -2147482647, kMax, true},
        {"-2147482646", -2147482646, kMax - 1, true},
        {std::string(1000, '9'), kMax, 1000 - kMax, true},
        {"-" + std::string(1000, '9'), kMin, kMax, true},
        {"", 0, 1000, false},
        {"+", 0, 1000, false},
        {"-", 0, 1000, false},
        {" 500", 0, 1000, false},
        {"500 ", 0, 1000, false},
        {"abc", 0, 1000, false},
        {"1e3", 0, 1000, false},
        {"--5", 0, 1000, false},
        {"+-5", 0, 1000, false},
        {"-+5", 0, 1000, false},
        {"1.2.3", 0, 1000, false},
        {"0x10", 0, 1000, false},
        {"500ms", 0, 1000, false},
        {".", 0, 1000, false},
        {"-.", 0, 1000, false},
    };
    for (const Case &c : table) {
        SCOPED_TRACE("offset '" + c.value.substr(0, 40) + "'");
        for (const bool offset_first : {true, false}) {
            // The offset shifts every line wherever its tag stands.
            const std::string tag = "[offset:" + c.value + "]\n";
            const auto v = parse_view(offset_first ? tag + "[00:01]a" : "[00:01]a\n" + tag);
            EXPECT_EQ(v.status, LYRX_OK);
            EXPECT_EQ(v.offset, c.offset);
            EXPECT_EQ(v.lines, (std::vector<Line>{{c.start, "a"}}));
            if (c.parsed)
                EXPECT_TRUE(v.warnings.empty());
            else
                EXPECT_EQ(v.warnings, (std::vector<std::string>{"meta: unparseable offset '" + c.value + "'"}));
        }
    }
}

TEST(Interpret, OffsetTagSequences) {
    struct Case {
        const char *name;
        std::string input;
        int32_t offset;
        std::vector<Line> lines;
        std::vector<std::string> warnings;
    };
    const Case table[] = {
        {"any key case", "[OFFSET:500][Offset:500][00:01]a", 500, {{500, "a"}}, {}},
        {"different text conflicts, first kept",
         "[offset:500]\n[offset:+500]\n[00:01]a",
         500,
         {{500, "a"}},
         {"meta: conflicting offset ('500' vs '+500')"}},
        {"same text twice", "[offset:500]\n[offset:500]\n[00:01]a", 500, {{500, "a"}}, {}},
        {"an unparseable text still takes part in conflicts",
         "[offset:abc]\n[offset:500]\n[00:01]a",
         0,
         {{1000, "a"}},
         {"meta: unparseable offset 'abc'", "meta: conflicting offset ('abc' vs '500')"}},
        // An equal text is considered again, so it warns again.
        {"same unparseable text twice",
         "[offset:abc]\n[offset:abc]\n[00:01]a",
         0,
         {{1000, "a"}},
         {"meta: unparseable offset 'abc'", "meta: unparseable offset 'abc'"}},
        {"a conflict does not replace the text compared with",
         "[offset:500]\n[offset:600]\n[offset:500]\n[offset:700]\n[00:01]a",
         500,
         {{500, "a"}},
         {"meta: conflicting offset ('500' vs '600')", "meta: conflicting offset ('500' vs '700')"}},
        {"applied to every line", "[00:01]a\n[offset:-250]\n[00:02]b", -250, {{1250, "a"}, {2250, "b"}}, {}},
        {"lines may start before zero", "[offset:1500][00:01]a[00:02]b", 1500, {{-500, "a"}, {500, "b"}}, {}},
        {"offset key that is not exactly offset", "[offse:500][offsets:500][00:01]a", 0, {{1000, "a"}}, {}},
    };
    for (const Case &c : table) {
        SCOPED_TRACE(c.name);
        const auto v = parse_view(c.input);
        EXPECT_EQ(v.offset, c.offset);
        EXPECT_EQ(v.lines, c.lines);
        EXPECT_EQ(v.warnings, c.warnings);
    }
}

TEST(Interpret, EnhancedWordTimes) {
    const std::string warning = "enhanced: inline <mm:ss> left as literal";
    struct Case {
        const char *name;
        std::string input;
        std::vector<Line> lines;
        std::vector<std::string> warnings;
    };
    const Case table[] = {
        {"word times stay in the text",
         "[00:01]<00:01.50>Hel<00:02.00>lo",
         {{1000, "<00:01.50>Hel<00:02.00>lo"}},
         {warning}},
        {"once per parse", "[00:01]<a>\n[00:02]<b>\n[00:03]<c>", {{1000, "<a>"}, {2000, "<b>"}, {3000, "<c>"}}, {warning}},
        {"either order of the brackets", "[00:01]a>b<c", {{1000, "a>b<c"}}, {warning}},
        {"both brackets needed in one text", "[00:01]a<b\n[00:02]c>d", {{1000, "a<b"}, {2000, "c>d"}}, {}},
        {"tag contents are not examined", "[ti:<x>]\n[00:01]a", {{1000, "a"}}, {}},
        {"texts of dropped entries are examined", "[re:x]<b>\n[00:01]a", {{1000, "a"}}, {warning}},
        {"texts of header entries are examined", "[ti:x]<b>", {}, {warning}},
        // Scan warnings come first, though this text stands before the bare line.
        {"after all scan warnings", "[00:01]<a>\n x", {{1000, "<a>"}}, {"bare: skipped text before '[' at pos 11", warning}},
        {"in entry order with conflicts",
         "[ti:a]\n[ti:b]\n[00:01]<a>\n[ti:c]",
         {{1000, "<a>"}},
         {"meta: conflicting ti ('a' vs 'b')", warning, "meta: conflicting ti ('a' vs 'c')"}},
    };
    for (const Case &c : table) {
        SCOPED_TRACE(c.name);
        const auto v = parse_view(c.input);
        EXPECT_EQ(v.lines, c.lines);
        EXPECT_EQ(v.warnings, c.warnings);
    }
}

TEST(Interpret, SortOrder) {
    struct Case {
        const char *name;
        std::string input;
        std::vector<Line> lines;
    };
    std::string reversed;
    std::vector<Line> reversed_sorted;
    for (int i = 39; i >= 0; --i) reversed += "[00:" + std::to_string(i) + "]r" + std::to_string(i) + "\n";
    for (int i = 0; i < 40; ++i) reversed_sorted.emplace_back(i * 1000, "r" + std::to_string(i));
    std::string ties;
    std::vector<Line> ties_sorted;
    for (int i = 0; i < 50; ++i) {
        ties += "[00:0" + std::to_string(i % 2 == 0 ? 2 : 1) + "]t" + std::to_string(i) + "\n";
    }
    for (int i = 1; i < 50; i += 2) ties_sorted.emplace_back(1000, "t" + std::to_string(i));
    for (int i = 0; i < 50; i += 2) ties_sorted.emplace_back(2000, "t" + std::to_string(i));
    // Lines at random times below range_ms in steps of step_ms, moved by an
    // offset, with ties: long results are sorted in stages whose number and
    // width follow the range and the step of the starts. With one_text, all
    // the tags are on one line: its lines differ only in their starts.
    auto random_lines = [](int count, int range_ms, int offset_ms, int step_ms = 10, bool one_text = false) {
        std::string input = "[offset:" + std::to_string(offset_ms) + "]\n";
        std::vector<Line> sorted;
        uint32_t seed = 12345;
        for (int i = 0; i < count; ++i) {
            seed = seed * 1103515245u + 12345u;
            const int ms = static_cast<int>(seed >> 8) % range_ms / step_ms * step_ms;
            char tag[24];
            std::snprintf(tag, sizeof tag, "[%02d:%02d.%02d]", ms / 60000, ms / 1000 % 60, ms / 10 % 100);
            const std::string text = one_text ? "x" : std::to_string(i % 7);
            input += tag + (one_text ? "" : text + "\n");
            sorted.emplace_back(ms - offset_ms, text);
        }
        if (one_text) input += "x";
        std::stable_sort(sorted.begin(), sorted.end(), [](const Line &x, const Line &y) { return x.first < y.first; });
        return std::pair{input, sorted};
    };
    const auto many = random_lines(70000, 6000000, 0);
    const auto song_long = random_lines(3000, 300000, 0);
    const auto either_side_of_zero = random_lines(3000, 300000, 150000);
    const auto few_times = random_lines(3000, 40, 0);
    const auto whole_seconds = random_lines(3000, 6000000, 0, 1000);
    const auto whole_seconds_odd_offset = random_lines(3000, 6000000, 333, 1000);
    const auto one_text_seconds = random_lines(3000, 300000, 0, 1000, true);
    const auto one_text_before_zero = random_lines(3000, 40, 25, 10, true);
    const auto one_text_few_times = random_lines(3000, 40, 0, 10, true);
    const auto one_text_wide = random_lines(3000, 6000000, 0, 1000, true);
    // Whole seconds at both ends, but one start in between that 125 does not divide.
    std::string one_text_mixed;
    std::vector<Line> one_text_mixed_sorted;
    for (int i = 0; i < 1000; ++i) {
        const int ms = i == 500 ? 30010 : i == 1 ? 59000 : i * 7 % 59 * 1000;
        char tag[24];
        std::snprintf(tag, sizeof tag, "[00:%02d.%03d]", ms / 1000, ms % 1000);
        one_text_mixed += tag;
        one_text_mixed_sorted.emplace_back(ms, "m");
    }
    one_text_mixed += "m";
    std::stable_sort(one_text_mixed_sorted.begin(), one_text_mixed_sorted.end());
    std::string one_ms_apart;
    std::vector<Line> one_ms_apart_sorted;
    for (int i = 0; i < 600; ++i) one_ms_apart += i % 2 ? "[00:01.000]a\n" : "[00:01.001]b\n";
    for (int i = 0; i < 600; ++i) one_ms_apart_sorted.emplace_back(i < 300 ? 1000 : 1001, i < 300 ? "a" : "b");
    const Case table[] = {
        {"ties keep input order", "[00:02]b\n[00:01]a\n[00:01]c", {{1000, "a"}, {1000, "c"}, {2000, "b"}}},
        {"a repeated tag gives two lines", "[00:01][00:01]x", {{1000, "x"}, {1000, "x"}}},
        {"groups and ties", "[00:02][00:01]x\n[00:01]y", {{1000, "x"}, {1000, "y"}, {2000, "x"}}},
        {"equal spellings of one time", "[00:01.000]a\n[0:1]b\n[0:0001.0]c", {{1000, "a"}, {1000, "b"}, {1000, "c"}}},
        {"negative starts sort first", "[offset:5000]\n[00:06]b\n[00:01]a", {{-4000, "a"}, {1000, "b"}}},
        {"saturated starts keep input order",
         "[35791:30]a\n[35791:23.647]b\n[99999:00]c",
         {{kMax, "a"}, {kMax, "b"}, {kMax, "c"}}},
        {"repeats tied with other lines",
         "[00:01][00:05]a\n[00:02]b\n[00:05]c\n[00:03][00:05][00:01]d\n[00:05]e",
         {{1000, "a"}, {1000, "d"}, {2000, "b"}, {3000, "d"}, {5000, "a"}, {5000, "c"}, {5000, "d"}, {5000, "e"}}},
        {"forty lines in reverse", reversed, reversed_sorted},
        {"fifty alternating ties", ties, ties_sorted},
        {"seventy thousand lines at random times", many.first, many.second},
        {"three thousand lines within five minutes", song_long.first, song_long.second},
        {"starts either side of zero", either_side_of_zero.first, either_side_of_zero.second},
        {"four distinct starts", few_times.first, few_times.second},
        {"whole seconds", whole_seconds.first, whole_seconds.second},
        {"whole seconds after an odd offset", whole_seconds_odd_offset.first, whole_seconds_odd_offset.second},
        {"two starts a millisecond apart", one_ms_apart, one_ms_apart_sorted},
        {"one text, whole seconds", one_text_seconds.first, one_text_seconds.second},
        {"one text, starts either side of zero", one_text_before_zero.first, one_text_before_zero.second},
        {"one text, four distinct starts", one_text_few_times.first, one_text_few_times.second},
        {"one text, whole seconds over 100 minutes", one_text_wide.first, one_text_wide.second},
        {"one text, whole seconds but one", one_text_mixed, one_text_mixed_sorted},
    };
    for (const Case &c : table) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(parse_view(c.input).lines, c.lines);
    }
}

TEST(Interpret, StatusDecision) {
    struct Case {
        const char *name;
        std::string input;
        int32_t status;
        std::string error;
        std::vector<std::string> warnings;
    };
    const Case table[] = {
        {"one line", "[00:01]", LYRX_OK, "", {}},
        {"accepted offset of zero alone", "[offset:0]", LYRX_ERR_EMPTY, kMetaOnly, {}},
        {"unparseable offset alone", "[offset:abc]", LYRX_ERR_NO_LYRICS, kNoLyrics, {"meta: unparseable offset 'abc'"}},
        {"unknown tag alone", "[re:x]", LYRX_ERR_NO_LYRICS, kNoLyrics, {}},
        {"empty title alone", "[ti:]", LYRX_ERR_EMPTY, kMetaOnly, {}},
        {"artist alone", "[ar:x]", LYRX_ERR_EMPTY, kMetaOnly, {}},
        {"bare text only", "hello", LYRX_ERR_NO_LYRICS, kNoLyrics, {"bare: skipped text before '[' at pos 0"}},
        {"header with a dropped time tag", "[ti:x]\n[00:01", LYRX_ERR_EMPTY, kMetaOnly, {"tag: unterminated at pos 13"}},
        {"a NUL as the whole input", "\0"s, LYRX_ERR_NO_LYRICS, kNoLyrics, {"bare: skipped text before '[' at pos 0"}},
    };
    for (const Case &c : table) {
        SCOPED_TRACE(c.name);
        const auto v = parse_view(c.input);
        EXPECT_EQ(v.status, c.status);
        EXPECT_EQ(v.error, c.error);
        EXPECT_EQ(v.warnings, c.warnings);
    }
}

}  // namespace
