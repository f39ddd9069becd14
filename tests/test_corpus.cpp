// Real LRC files written by other people (the shared corpus, never copied into
// this repository): every file must parse, and the result read through the
// queries must be self-consistent.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "dump.hpp"
#include "lyrx.h"
#include "result_view.hpp"

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> corpus_files() {
    std::vector<fs::path> out;
    std::error_code ec;
    if (!fs::is_directory(LYRX_CORPUS_DIR, ec)) return out;
    for (const auto &e : fs::directory_iterator(LYRX_CORPUS_DIR, ec))
        if (e.is_regular_file()) out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

void check_consistent(int32_t status) {
    const int32_t lines = lyrx_line_count();
    const int32_t warnings = lyrx_warning_count();
    ASSERT_GE(lines, 0);
    ASSERT_GE(warnings, 0);
    EXPECT_TRUE(status == LYRX_OK || status == LYRX_ERR_NO_LYRICS || status == LYRX_ERR_EMPTY) << status;
    // OK exactly when there are lines; an error text exactly when not OK.
    EXPECT_EQ(status == LYRX_OK, lines > 0);
    EXPECT_EQ(status == LYRX_OK, std::string(lyrx_last_error()).empty());
    for (int32_t i = 0; i < lines; ++i) {
        EXPECT_NE(lyrx_line_text(i), nullptr) << "line " << i;
        const int32_t start = lyrx_line_start_ms(i);
        const int32_t end = lyrx_line_end_ms(i);
        if (i + 1 < lines) {
            EXPECT_LE(start, lyrx_line_start_ms(i + 1)) << "line " << i;
        }
        EXPECT_GE(end, start) << "line " << i;
        // The end is the next later start, else start + 3000 (held at the top).
        const bool next_later = i + 1 < lines && lyrx_line_start_ms(i + 1) > start;
        const int64_t plain = static_cast<int64_t>(start) + 3000;
        const int32_t expected = next_later ? lyrx_line_start_ms(i + 1)
                                            : static_cast<int32_t>(std::min<int64_t>(plain, INT32_MAX));
        EXPECT_EQ(end, expected) << "line " << i;
    }
    EXPECT_EQ(lyrx_line_text(lines), nullptr);
    for (int32_t i = 0; i < warnings; ++i) EXPECT_NE(lyrx_warning(i), nullptr) << "warning " << i;
    EXPECT_EQ(lyrx_warning(warnings), nullptr);
}

TEST(Corpus, EveryFileParsesConsistently) {
    const auto files = corpus_files();
    if (files.empty()) GTEST_SKIP() << "no corpus at " << LYRX_CORPUS_DIR;
    int ok = 0;
    for (const fs::path &file : files) {
        SCOPED_TRACE(file.filename().string());
        const std::string bytes = lyrx_test::read_file(file.string());
        const int32_t status = lyrx_test::parse_exact(bytes);
        check_consistent(status);
        if (status == LYRX_OK) ++ok;
        // A second parse of the same bytes must not see anything of the first.
        const std::string first = lyrx_test::dump_result(status);
        EXPECT_EQ(lyrx_test::dump_result(lyrx_test::parse_exact(bytes)), first);
    }
    // Nearly all of these files are lyrics; a parser that found lines in only
    // a few of them would be broken, not strict.
    EXPECT_GE(ok * 4, static_cast<int>(files.size()) * 3) << ok << " of " << files.size() << " files gave lines";
}

}  // namespace
