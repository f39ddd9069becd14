// The surface of the text: line ends, tag groups, bare text, unterminated tags,
// escapes, NUL bytes and the byte-order mark. Each table row gives an input and
// the lines (start, text), title and warnings it must produce. Tags are made
// visible through their meaning: a time tag becomes a line, "ti:" the title.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "lyrx.h"
#include "result_view.hpp"

using namespace std::string_literals;
using lyrx_test::Line;

namespace {

struct ScanCase {
    const char *name;
    std::string input;
    std::vector<Line> lines;
    std::vector<std::string> warnings;
    std::optional<std::string> ti = std::nullopt;
};

// The status follows from what the text yields: a line makes it OK, a title
// alone "metadata but no lyric lines", nothing "no lyrics".
int32_t status_for(const ScanCase &c) {
    if (!c.lines.empty()) return LYRX_OK;
    return c.ti ? LYRX_ERR_EMPTY : LYRX_ERR_NO_LYRICS;
}

void run_table(const std::vector<ScanCase> &table) {
    for (const ScanCase &c : table) {
        SCOPED_TRACE(c.name);
        const lyrx_test::ResultView v = lyrx_test::parse_view(c.input);
        EXPECT_EQ(v.lines, c.lines);
        EXPECT_EQ(v.warnings, c.warnings);
        EXPECT_EQ(v.ti, c.ti);
        EXPECT_EQ(v.status, status_for(c));
    }
}

std::string bare(int pos) { return "bare: skipped text before '[' at pos " + std::to_string(pos); }
std::string unterminated(int pos) { return "tag: unterminated at pos " + std::to_string(pos); }
const std::string kTrailing = "escape: trailing backslash at EOF";

TEST(Scan, LineEnds) {
    const std::vector<Line> ab = {{1000, "a"}, {2000, "b"}};
    run_table({
        {"CR LF", "[00:01.00]a\r\n[00:02.00]b", ab, {}},
        {"LF", "[00:01.00]a\n[00:02.00]b", ab, {}},
        {"CR", "[00:01.00]a\r[00:02.00]b", ab, {}},
        {"LF CR", "[00:01.00]a\n\r[00:02.00]b", ab, {}},
        {"runs of line ends are empty lines", "\r\n\n\r[00:01]a\r\r\n\n[00:02]b\r\n\r\n", ab, {}},
        {"final line end changes nothing", "[00:01]a\n[00:02]b\n", ab, {}},
        {"mixed line ends",
         "[00:01]a\r[00:02]b\n[00:03]c\r\n[00:04]d\n\r[00:05]e",
         {{1000, "a"}, {2000, "b"}, {3000, "c"}, {4000, "d"}, {5000, "e"}},
         {}},
        {"CR ends the text; what follows is a new line", "[00:01]a\rb", {{1000, "a"}}, {bare(9)}},
        {"line ends only", "\n\r\n\r", {}, {}},
        {"long runs of line ends",
         std::string(37, '\n') + "[00:01]a" + std::string(20, '\r') + "\r\n" + std::string(17, '\n') + "x[00:02]b",
         {{1000, "a"}},
         {bare(84)}},
    });
}

TEST(Scan, TagGroups) {
    std::string ten_tags;
    std::vector<Line> ten_lines;
    for (int s = 1; s <= 10; ++s) {
        ten_tags += "[00:" + std::string(s < 10 ? "0" : "") + std::to_string(s) + "]";
        ten_lines.emplace_back(s * 1000, "z");
    }
    ten_tags += "z";
    run_table({
        {"tags back to back share the text", "[00:01][00:03]x", {{1000, "x"}, {3000, "x"}}, {}},
        {"text then a tag starts a new group", "[00:01]one[00:02]two", {{1000, "one"}, {2000, "two"}}, {}},
        {"a space between tags is the first tag's text", "[00:01] [00:02]x", {{1000, " "}, {2000, "x"}}, {}},
        {"text keeps its spaces", "[00:01]  a  ", {{1000, "  a  "}}, {}},
        {"tag alone at the end", "[00:01]", {{1000, ""}}, {}},
        {"tag alone before a line end", "[00:01]\n", {{1000, ""}}, {}},
        {"header and time tag in one group", "[ti:a][00:01]b", {{1000, "b"}}, {}, "a"},
        {"an empty tag joins the group", "[][00:01]x", {{1000, "x"}}, {}},
        {"close bracket in text is text", "[00:01]a]b", {{1000, "a]b"}}, {}},
        {"close bracket alone as text", "[00:01]]", {{1000, "]"}}, {}},
        {"open bracket inside a tag is content", "[ti:a[b]", {}, {}, "a[b"},
        {"a header tag after text is its own group", "[00:01]a[ti:x]b", {{1000, "a"}}, {}, "x"},
        {"more tags than the first pending capacity", ten_tags, ten_lines, {}},
        {"a tag after text with nothing after it", "[00:02]b[00:01]", {{1000, ""}, {2000, "b"}}, {}},
    });
}

TEST(Scan, BareText) {
    run_table({
        {"leading space", " [00:01]a", {}, {bare(0)}},
        {"text line then a lyric line", "x\n[00:01]a", {{1000, "a"}}, {bare(0)}},
        {"escaped byte at line start names the escaped byte", "\\[00:01]a", {}, {bare(1)}},
        {"skipped rest is not examined for backslashes", "ab\\", {}, {bare(0)}},
        {"a line of one space", "[00:01]a\n \n[00:02]b", {{1000, "a"}, {2000, "b"}}, {bare(9)}},
        {"a line of one tab", "[00:01]a\n\t\n[00:02]b", {{1000, "a"}, {2000, "b"}}, {bare(9)}},
        {"an escaped LF does not end the skipped line", "\\\n[00:01]a", {}, {bare(1)}},
        {"escaped backslash at line start", "\\\\x\n[00:01]a", {{1000, "a"}}, {bare(1)}},
        {"tags after bare text are skipped", "hello [00:01] world\n[00:02]b", {{2000, "b"}}, {bare(0)}},
        {"non-ASCII byte at line start", "\xC3\xA9[00:01]a\n[00:02]b", {{2000, "b"}}, {bare(0)}},
        {"close bracket at line start", "]x\n[00:01]a", {{1000, "a"}}, {bare(0)}},
        {"two bare lines", "[00:01]a\n  \n  x\r\n[00:02]b", {{1000, "a"}, {2000, "b"}}, {bare(9), bare(12)}},
        {"warnings keep input order",
         "x\n[00:01\n y\n[00:02]a\\",
         {},
         {bare(0), unterminated(8), bare(9), kTrailing}},
    });
}

TEST(Scan, UnterminatedTags) {
    run_table({
        {"LF inside a tag", "[00:01\n[00:02]b", {{2000, "b"}}, {unterminated(6)}},
        {"end inside the second tag drops the group", "[00:01][00:02", {}, {unterminated(13)}},
        {"open bracket alone", "[", {}, {unterminated(1)}},
        {"open bracket after text", "[00:01]a[", {{1000, "a"}}, {unterminated(9)}},
        {"open bracket after a tag", "[00:01][", {}, {unterminated(8)}},
        {"open bracket alone on the last line", "[00:01]a\n[", {{1000, "a"}}, {unterminated(10)}},
        {"CR inside a header tag", "[ti:x\r\n[00:02]b", {{2000, "b"}}, {unterminated(5)}},
        {"CR inside the second tag of a group", "[00:01][00:02\r[00:03]c", {{3000, "c"}}, {unterminated(13)}},
        {"escaped close bracket does not end a tag", "[ti:a\\]", {}, {unterminated(7)}},
    });
}

TEST(Scan, Escapes) {
    run_table({
        {"trailing backslash drops the group", "[00:01]a\\", {}, {kTrailing}},
        {"trailing backslash keeps earlier lines", "[00:01]x\n[00:02]a\\", {{1000, "x"}}, {kTrailing}},
        {"trailing backslash on its own line", "[00:01]a\n\\", {{1000, "a"}}, {kTrailing}},
        {"trailing backslash inside a tag", "[\\", {}, {kTrailing}},
        {"backslash as the whole input", "\\", {}, {kTrailing}},
        {"escaped LF continues the text", "[00:01]a\\\nb\n", {{1000, "a\nb"}}, {}},
        {"escaped CR continues the text", "[00:01]a\\\rb", {{1000, "a\rb"}}, {}},
        {"escaped close bracket in a tag", "[ti:a\\]b]c", {}, {}, "a]b"},
        {"escaped brackets in text", "[00:01]\\[x\\]", {{1000, "[x]"}}, {}},
        {"escaped backslash in text", "[00:01]a\\\\b", {{1000, "a\\b"}}, {}},
        {"escaped backslash at the end is no trailing backslash", "[00:01]a\\\\", {{1000, "a\\"}}, {}},
        {"escaped ordinary byte loses its backslash", "[0\\0:01]a", {{1000, "a"}}, {}},
        {"escaped backslash in a tag", "[ti:\\\\]", {}, {}, "\\"},
        {"escaped LF in a tag", "[ti:a\\\nb]", {}, {}, "a\nb"},
        {"escaped open bracket keeps a tag out of the text", "[00:01]\\[00:02]b", {{1000, "[00:02]b"}}, {}},
    });
}

TEST(Scan, NulBytes) {
    run_table({
        {"NUL ends the text", "[00:01]a\0b"s, {{1000, "a"}}, {}},
        {"NUL ends the tag", "[ti:a\0b]"s, {}, {}, "a"},
        {"NUL is text, so the next tag starts a new group", "[00:01]\0[00:02]x"s, {{1000, ""}, {2000, "x"}}, {}},
        {"NUL at line start is bare text", "\0[00:01]a"s, {}, {bare(0)}},
        {"what is left of a cut tag still counts", "[00:0\0" "1]x"s, {{0, "x"}}, {}},
        {"NUL hides a close angle bracket from the enhanced test", "[00:01]<a\0>"s, {{1000, "<a"}}, {}},
        {"NUL inside a tag at the end of input", "[ti:\0"s, {}, {unterminated(5)}},
    });
}

TEST(Scan, ByteOrderMark) {
    run_table({
        {"mark only", "\xEF\xBB\xBF", {}, {}},
        {"positions count after the mark", "\xEF\xBB\xBF[", {}, {unterminated(1)}},
        {"bare text right after the mark", "\xEF\xBB\xBF x", {}, {bare(0)}},
        {"mark before a lyric line", "\xEF\xBB\xBF[00:01]a", {{1000, "a"}}, {}},
        {"part of a mark is text", "\xEF\xBB[00:01]a", {}, {bare(0)}},
        {"a second mark is text", "\xEF\xBB\xBF\xEF\xBB\xBF[00:01]a", {}, {bare(0)}},
        {"a mark inside the text is kept", "[00:01]\xEF\xBB\xBF" "a", {{1000, "\xEF\xBB\xBF" "a"}}, {}},
        {"positions after the mark on a later line", "\xEF\xBB\xBF\n[00:01\n", {}, {unterminated(7)}},
    });
}

TEST(Scan, LongTextsAndManyEntries) {
    // Past the first sizes of the byte buffer (64), the pending tags (8) and
    // the entry list (32): growth must keep every byte and every entry.
    const std::string long_text(1000, 'x');
    std::string many;
    std::vector<Line> many_lines;
    for (int i = 0; i < 100; ++i) {
        many += "[" + std::to_string(i) + ":00][" + std::to_string(i) + ":30]l" + std::to_string(i) + "\n";
        many_lines.emplace_back(i * 60000, "l" + std::to_string(i));
        many_lines.emplace_back(i * 60000 + 30000, "l" + std::to_string(i));
    }
    const std::string long_tag(300, 'v');
    run_table({
        {"long text", "[00:01]" + long_text, {{1000, long_text}}, {}},
        {"long tag value", "[ti:" + long_tag + "]", {}, {}, long_tag},
        {"two hundred entries", many, many_lines, {}},
    });
}

// The scanner reads exactly `length` bytes: whatever follows is not the text.
TEST(Scan, ReadsExactlyLengthBytes) {
    struct Case {
        const char *name;
        std::string buffer;
        uint64_t length;
        std::vector<Line> lines;
        std::vector<std::string> warnings;
    };
    const Case table[] = {
        {"text cut short", "[00:01]abc", 9, {{1000, "ab"}}, {}},
        {"tag cut short", "[00:01]abc", 6, {}, {unterminated(6)}},
        {"backslash at the cut is trailing", "[00:01]a\\b", 9, {}, {kTrailing}},
        {"mark counted inside the length", "\xEF\xBB\xBF[00:01]a", 10, {{1000, ""}}, {}},
        {"a cut mark is text", "\xEF\xBB\xBF[00:01]a", 2, {}, {bare(0)}},
    };
    for (const Case &c : table) {
        SCOPED_TRACE(c.name);
        ASSERT_LE(c.length, c.buffer.size());
        const auto v = lyrx_test::capture(lyrx_parse(c.buffer.data(), c.length));
        EXPECT_EQ(v.lines, c.lines);
        EXPECT_EQ(v.warnings, c.warnings);
    }
}

}  // namespace
