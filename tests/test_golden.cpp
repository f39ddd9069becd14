// Golden cases: every tests/cases/NAME.lrc is parsed and its full result dump
// compared with NAME.expected. With LYRX_UPDATE_GOLDEN=1 the .expected files
// are rewritten instead; review every change by hand before keeping it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "dump.hpp"
#include "lyrx.h"
#include "result_view.hpp"

namespace fs = std::filesystem;

namespace {

bool update_mode() {
    const char *v = std::getenv("LYRX_UPDATE_GOLDEN");
    return v != nullptr && std::string(v) == "1";
}

std::vector<fs::path> files_with_extension(const char *ext) {
    std::vector<fs::path> out;
    for (const auto &e : fs::directory_iterator(LYRX_CASES_DIR))
        if (e.is_regular_file() && e.path().extension() == ext) out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

TEST(Golden, CasesMatchExpectedDumps) {
    const auto inputs = files_with_extension(".lrc");
    // The set is meant to cover a dozen distinct features; an empty or
    // half-deleted folder must not pass quietly.
    ASSERT_GE(inputs.size(), 10u) << "golden cases missing in " << LYRX_CASES_DIR;
    for (const fs::path &input : inputs) {
        SCOPED_TRACE(input.filename().string());
        const std::string text = lyrx_test::read_file(input.string());
        const std::string dump = lyrx_test::dump_result(lyrx_test::parse_exact(text));
        fs::path expected_path = input;
        expected_path.replace_extension(".expected");
        if (update_mode()) {
            lyrx_test::write_file(expected_path.string(), dump);
            continue;
        }
        ASSERT_TRUE(fs::exists(expected_path)) << "no " << expected_path.filename()
                                               << "; run with LYRX_UPDATE_GOLDEN=1 and review it";
        EXPECT_EQ(dump, lyrx_test::read_file(expected_path.string()));
    }
}

// A stale .expected whose input was renamed or removed would never be checked.
TEST(Golden, EveryExpectedHasItsInput) {
    for (const fs::path &expected : files_with_extension(".expected")) {
        fs::path input = expected;
        input.replace_extension(".lrc");
        EXPECT_TRUE(fs::exists(input)) << expected.filename() << " has no " << input.filename();
    }
}

}  // namespace
