// Out of memory during lyrx_parse. For N = 1, 2, ... the Nth allocation of the
// call fails (once, or from then on), until a call completes without the
// failure firing. Every run must end in the normal result, or in
// LYRX_ERR_OOM with "out of memory" and the partial state the library
// promises; a failed warning allocation only drops that warning. Leaks are
// left to the leak sanitizer of the sanitizer build.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "dump.hpp"
#include "fault.hpp"
#include "lyrx.h"
#include "result_view.hpp"

using lyrx_test::Line;
using lyrx_test::ResultView;

namespace {

struct OomCase {
    const char *name;
    std::string input;
    int32_t normal_status;
    // The time-tag lines in input order with their start before the offset:
    // what a failure during interpretation leaves, as a prefix, unsorted.
    std::vector<Line> stored_order;
    // Warnings raised while scanning; they precede all others.
    std::size_t scan_warnings;
    // When set: a run whose failure hit only the copy of the offset text may
    // end like this input instead (the later, different offset tag then meets
    // no conflict).
    std::string variant_input = {};
    // Some run must fail after lines were stored (a header tag after them
    // needs a copy), so the unsorted, unshifted partial state is really seen.
    bool partial_lines_expected = false;
};

bool is_subsequence(const std::vector<std::string> &part, const std::vector<std::string> &whole) {
    std::size_t j = 0;
    for (const std::string &w : whole)
        if (j < part.size() && part[j] == w) ++j;
    return j == part.size();
}

bool is_prefix(const std::vector<std::string> &part, const std::vector<std::string> &whole) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// The partial state after LYRX_ERR_OOM.
void check_oom_state(const OomCase &c, const ResultView &v, const ResultView &normal,
                     const std::optional<ResultView> &variant, bool persistent) {
    EXPECT_EQ(v.error, "out of memory");
    // Lines stored before the failure: a prefix of the input order, neither
    // sorted nor shifted by the offset.
    ASSERT_LE(v.lines.size(), c.stored_order.size());
    for (std::size_t i = 0; i < v.lines.size(); ++i) EXPECT_EQ(v.lines[i], c.stored_order[i]) << "line " << i;
    // Header values are the final ones or not set yet.
    const std::pair<const std::optional<std::string> *, const std::optional<std::string> *> meta[] = {
        {&v.ti, &normal.ti}, {&v.ar, &normal.ar}, {&v.al, &normal.al}, {&v.by, &normal.by}};
    bool meta_seen = false;
    for (const auto &[got, want] : meta) {
        if (*got) {
            meta_seen = true;
            EXPECT_EQ(*got, *want);
        }
    }
    EXPECT_TRUE(v.offset == 0 || v.offset == normal.offset || (variant && v.offset == variant->offset)) << v.offset;
    // A single failure loses no warning: what was raised before it is all there.
    if (persistent) {
        EXPECT_TRUE(is_subsequence(v.warnings, normal.warnings));
    } else {
        EXPECT_TRUE(is_prefix(v.warnings, normal.warnings));
        // Interpretation only starts once the scan has finished.
        if (!v.lines.empty() || meta_seen || v.offset != 0) {
            EXPECT_GE(v.warnings.size(), c.scan_warnings);
        }
    }
}

// Equal apart from warnings, which may only be missing.
bool same_but_fewer_warnings(const ResultView &v, const ResultView &full, bool persistent) {
    if (v.status != full.status || v.error != full.error || v.ti != full.ti || v.ar != full.ar || v.al != full.al ||
        v.by != full.by || v.offset != full.offset || v.lines != full.lines || v.ends != full.ends)
        return false;
    if (!is_subsequence(v.warnings, full.warnings)) return false;
    return persistent || v.warnings.size() + 1 >= full.warnings.size();
}

void run_oom_loop(const OomCase &c) {
    SCOPED_TRACE(c.name);
    const ResultView normal = lyrx_test::parse_view(c.input);
    ASSERT_EQ(normal.status, c.normal_status);
    const std::string normal_dump = lyrx_test::dump_result(normal.status);
    std::optional<ResultView> variant;
    if (!c.variant_input.empty()) variant = lyrx_test::parse_view(c.variant_input);

    int oom_runs[2] = {0, 0};
    int variant_runs[2] = {0, 0};
    int partial_runs[2] = {0, 0};
    int32_t status = LYRX_OK;
    const long points = lyrx_test::for_each_failed_allocation(
        [] { lyrx_clear(); }, [&] { status = lyrx_test::parse_exact(c.input); },
        [&](const lyrx_test::failed_run &run) {
            const bool persistent = run.persistent;
            const ResultView v = lyrx_test::capture(status);
            if (!run.fired) {
                EXPECT_EQ(lyrx_test::dump_result(status), normal_dump);
            } else if (status == LYRX_ERR_OOM) {
                ++oom_runs[persistent];
                if (!v.lines.empty()) ++partial_runs[persistent];
                check_oom_state(c, v, normal, variant, persistent);
            } else if (variant && same_but_fewer_warnings(v, *variant, persistent)) {
                ++variant_runs[persistent];
            } else {
                EXPECT_TRUE(same_but_fewer_warnings(v, normal, persistent))
                    << "neither the normal result nor out of memory:\n"
                    << lyrx_test::dump_result(status) << "normal:\n"
                    << normal_dump;
            }
        });
    lyrx_test::report_injection_points(std::string("lyrx_parse (") + c.name + ")", points);
    for (const bool persistent : {false, true}) {
        SCOPED_TRACE(persistent ? "persistent" : "transient");
        EXPECT_GT(oom_runs[persistent], 0) << "no run reported out of memory";
        if (c.partial_lines_expected) {
            EXPECT_GT(partial_runs[persistent], 0) << "no failure after lines were stored";
        }
    }
    // A failed copy of the offset text is no error, so some transient run
    // must finish with the variant rather than with out of memory.
    if (variant) {
        EXPECT_GT(variant_runs[false], 0);
    }
    // The state is usable again afterwards.
    EXPECT_EQ(lyrx_test::dump_result(lyrx_test::parse_exact(c.input)), normal_dump);
}

TEST(Oom, HeaderOffsetAndUnsortedLines) {
    run_oom_loop({"header, offset, unsorted lines",
                  "[ar:Band]\n[offset:-250]\n[00:02.00]second\n[00:01.00]first\n[00:01.00][00:03.00]shared\n[ti:Song]\n",
                  LYRX_OK,
                  {{2000, "second"}, {1000, "first"}, {1000, "shared"}, {3000, "shared"}},
                  0,
                  {},
                  true});
}

TEST(Oom, ScanAndInterpretationWarnings) {
    run_oom_loop({"warnings of both phases",
                  " bare\n[00:05]<w>x\n[ti:a]\n[ti:b]\n[00:04]y\n[00:03",
                  LYRX_OK,
                  {{5000, "<w>x"}, {4000, "y"}},
                  2,
                  {},
                  true});
}

// Past the first size of every growable store: the byte buffer (64), the
// pending tags (8), the entry list and the line array (32 each).
TEST(Oom, GrowthOfEveryStore) {
    OomCase c{"growth", "[by:someone]\n[offset:7]\n", LYRX_OK, {}, 0, {}, true};
    const std::string shared(100, 's');
    for (int s = 10; s >= 1; --s) {
        c.input += "[09:" + std::to_string(10 + s) + "]";
        c.stored_order.emplace_back(540000 + (10 + s) * 1000, shared);
    }
    c.input += shared + "\n";
    for (int i = 40; i >= 1; --i) {
        const std::string text = "line " + std::to_string(i) + " " + std::string(70, 't');
        c.input += "[00:" + std::to_string(i) + "]" + text + "\n";
        c.stored_order.emplace_back(i * 1000, text);
    }
    c.input += "[al:late]\n";
    run_oom_loop(c);
}

// The sort's counts: without them the lines of one text are sorted as any
// others, and any lines in place; the result is the same.
TEST(Oom, SortOfManyLines) {
    for (const bool one_text : {true, false}) {
        OomCase c{one_text ? "one text, many tags" : "many lines out of order", "", LYRX_OK, {}, 0};
        for (int i = 0; i < 600; ++i) {
            const int second = i * 37 % (one_text ? 60 : 600);
            char tag[16];
            std::snprintf(tag, sizeof tag, "[%02d:%02d]", second / 60, second % 60);
            const std::string text = one_text ? "x" : "l" + std::to_string(i % 5);
            c.input += tag + (one_text ? "" : text + "\n");
            c.stored_order.emplace_back(second * 1000, text);
        }
        if (one_text) c.input += "x";
        run_oom_loop(c);
    }
}

TEST(Oom, FailedOffsetCopyIsNoError) {
    run_oom_loop({"conflicting offsets",
                  "[offset:500]\n[offset:600]\n[00:01]a",
                  LYRX_OK,
                  {{1000, "a"}},
                  0,
                  "[offset:600]\n[00:01]a"});
}

TEST(Oom, ResultsWithoutLines) {
    const OomCase table[] = {
        {"header only", "[ti:x]\n[by:y]\n[offset:3]", LYRX_ERR_EMPTY, {}, 0},
        {"nothing usable", "x\n[re:y]", LYRX_ERR_NO_LYRICS, {}, 1},
        {"trailing backslash", "[00:01]a\n[00:02]b\\", LYRX_OK, {{1000, "a"}}, 1},
    };
    for (const OomCase &c : table) run_oom_loop(c);
}

// The text lives in the previous result, which the parse must keep readable
// until it has read it and must release on every path.
TEST(Oom, ParseOfLibraryOwnedText) {
    int oom_runs = 0;
    const char *text = nullptr;
    int32_t status = LYRX_OK;
    lyrx_test::for_each_failed_allocation(
        [&] {
            ASSERT_EQ(lyrx_test::parse_exact("[00:01]\\[00:02\\]hello\n[00:09]\\[ti:x\\]"), LYRX_OK);
            text = lyrx_line_text(0);
            ASSERT_STREQ(text, "[00:02]hello");
        },
        [&] { status = lyrx_parse(text, std::strlen(text)); },
        [&](const lyrx_test::failed_run &run) {
            const ResultView v = lyrx_test::capture(status);
            if (!run.fired) {
                EXPECT_EQ(v.status, LYRX_OK);
                EXPECT_EQ(v.lines, (std::vector<Line>{{2000, "hello"}}));
            } else {
                ASSERT_EQ(status, LYRX_ERR_OOM);
                ++oom_runs;
                EXPECT_EQ(v.error, "out of memory");
                EXPECT_TRUE(v.lines.empty() || v.lines == (std::vector<Line>{{2000, "hello"}}));
            }
        });
    EXPECT_GT(oom_runs, 0);
}

}  // namespace
