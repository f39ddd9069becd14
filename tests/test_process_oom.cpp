// Out of memory anywhere in the process during a library call. This program
// replaces malloc, calloc, realloc and free, so the Nth allocation of a call
// fails whoever makes it: the library, yyjson, iconv, stdio or the formatter.
// It runs against the shared library, which has no allocation seam of its
// own, so every allocation is counted exactly once. Linux/glibc only, and not
// under the sanitizers, which bring their own malloc.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

#include "dump.hpp"
#include "lyrx.h"
#include "result_view.hpp"
#include "utf8.hpp"

extern "C" {
void *__libc_malloc(size_t n);
void *__libc_calloc(size_t count, size_t n);
void *__libc_realloc(void *p, size_t n);
void __libc_free(void *p);
}

namespace {

long g_fail_at = 0;  // 0: disarmed
long g_seen = 0;
bool g_persistent = false;
bool g_fired = false;
bool g_tracking = false;  // live blocks are counted only around library calls
long g_live = 0;

bool inject() noexcept {
    if (g_fail_at == 0) return false;
    ++g_seen;
    if (g_seen == g_fail_at || (g_persistent && g_seen > g_fail_at)) {
        g_fired = true;
        errno = ENOMEM;
        return true;
    }
    return false;
}

void *counted(void *p) noexcept {
    if (p && g_tracking) ++g_live;
    return p;
}

}  // namespace

extern "C" {
void *malloc(size_t n) noexcept { return inject() ? nullptr : counted(__libc_malloc(n)); }
void *calloc(size_t count, size_t n) noexcept { return inject() ? nullptr : counted(__libc_calloc(count, n)); }
void free(void *p) noexcept {
    if (p && g_tracking) --g_live;
    __libc_free(p);
}
void *realloc(void *p, size_t n) noexcept {
    if (!p) return malloc(n);
    if (n == 0) {  // glibc frees the block
        free(p);
        return nullptr;
    }
    return inject() ? nullptr : __libc_realloc(p, n);
}
}

namespace {

namespace fs = std::filesystem;
using lyrx_test::ResultView;

constexpr long kMaxRuns = 20000;

// Failing allocation n (and every later one when persistent) of `call`, for
// n = 1, 2, ... until the call meets no failure. Each run goes from a cleared
// state through prepare, the armed call, judge and lyrx_clear, and must leave
// no block behind. Returns the allocations of the call without failures.
template <class Prepare, class Call, class Judge>
long fail_each_allocation(Prepare prepare, Call call, Judge judge) {
    // glibc keeps iconv modules and stdio state once used: not leaks.
    lyrx_clear();
    prepare();
    call();
    lyrx_clear();
    long points = 0;
    for (const bool persistent : {false, true}) {
        for (long n = 1;; ++n) {
            SCOPED_TRACE(testing::Message() << "allocation " << n << (persistent ? " and later" : ""));
            g_live = 0;
            g_tracking = true;
            prepare();
            g_seen = 0;
            g_fired = false;
            g_persistent = persistent;
            g_fail_at = n;
            const auto result = call();
            g_fail_at = 0;
            g_tracking = false;
            const bool fired = g_fired;
            const long seen = g_seen;
            judge(result, fired, persistent);
            g_tracking = true;
            lyrx_clear();
            g_tracking = false;
            EXPECT_EQ(g_live, 0) << "blocks left behind";
            if (!fired) {
                if (!persistent) points = seen;
                break;
            }
            if (n >= kMaxRuns || testing::Test::HasFatalFailure()) {
                ADD_FAILURE() << "stopped after " << n << " runs";
                break;
            }
        }
    }
    return points;
}

void report(const char *entry, long points, std::size_t inputs) {
    std::printf("[process-oom] %s: %ld injection points (most of %zu inputs)\n", entry, points, inputs);
    testing::Test::RecordProperty(entry, std::to_string(points));
}

// ---- inputs -----------------------------------------------------------------

struct Input {
    std::string name, text;
};

const std::vector<Input> &inputs() {
    static const std::vector<Input> all = [] {
        std::vector<Input> v;
        for (const auto &e : fs::directory_iterator(LYRX_CASES_DIR))
            if (e.path().extension() == ".lrc") v.push_back({e.path().filename().string(), lyrx_test::read_file(e.path().string())});
        std::sort(v.begin(), v.end(), [](const Input &a, const Input &b) { return a.name < b.name; });
        v.push_back({"header, offset, unsorted", "[ar:Band]\n[offset:-250]\n[00:02]b\n[00:01]a\n[00:01][00:03]c\n[ti:S]\n"});
        v.push_back({"warnings of both phases", " bare\n[00:05]<w>x\n[ti:a]\n[ti:b]\n[00:04]y\n[00:03"});
        v.push_back({"nothing usable", "x\n[re:y]"});
        return v;
    }();
    return all;
}

bool is_subsequence(const std::vector<std::string> &part, const std::vector<std::string> &whole) {
    std::size_t j = 0;
    for (const std::string &w : whole)
        if (j < part.size() && part[j] == w) ++j;
    return j == part.size();
}

// A failed copy of the offset text is no error: a later, different offset
// tag then wins. Undo the offset and forget its conflicts to compare.
ResultView without_offset(ResultView v) {
    for (auto &line : v.lines) line.first += v.offset;
    v.offset = 0;
    v.ends.clear();
    std::erase_if(v.warnings, [](const std::string &w) { return w.starts_with("meta: conflicting offset"); });
    return v;
}

// The normal result, or one with warnings dropped (at most one per failure).
bool normal_but_fewer_warnings(ResultView v, ResultView normal, bool persistent, bool offsets_may_vary) {
    if (offsets_may_vary) {
        v = without_offset(v);
        normal = without_offset(normal);
        persistent = true;
    }
    return v.status == normal.status && v.error == normal.error && v.ti == normal.ti && v.ar == normal.ar &&
           v.al == normal.al && v.by == normal.by && v.offset == normal.offset && v.lines == normal.lines &&
           v.ends == normal.ends && is_subsequence(v.warnings, normal.warnings) &&
           (persistent || v.warnings.size() + 1 >= normal.warnings.size());
}

bool several_offsets(const std::string &text) {
    return text.find("offset:") != text.rfind("offset:");
}

// The parse result of LYRX_ERR_OOM: only what was stored before the failure.
void expect_parse_oom(const ResultView &v, const ResultView &normal, bool offsets_may_vary) {
    EXPECT_EQ(v.error, "out of memory");
    EXPECT_LE(v.lines.size(), normal.lines.size());
    if (offsets_may_vary) {
        EXPECT_TRUE(is_subsequence(without_offset(v).warnings, without_offset(normal).warnings));
    } else {
        EXPECT_TRUE(is_subsequence(v.warnings, normal.warnings));
    }
}

bool same_parse_result(const ResultView &a, const ResultView &b) {
    return a.ti == b.ti && a.ar == b.ar && a.al == b.al && a.by == b.by && a.offset == b.offset && a.lines == b.lines &&
           a.warnings == b.warnings;
}

// ---- entry points -----------------------------------------------------------

TEST(ProcessOom, Parse) {
    long most = 0;
    for (const Input &in : inputs()) {
        SCOPED_TRACE(in.name);
        const ResultView normal = lyrx_test::parse_view(in.text);
        most = std::max(most, fail_each_allocation(
            [] {}, [&] { return lyrx_parse(in.text.data(), in.text.size()); },
            [&](int32_t status, bool fired, bool persistent) {
                const ResultView v = lyrx_test::capture(status);
                if (fired && status == LYRX_ERR_OOM) {
                    expect_parse_oom(v, normal, several_offsets(in.text));
                } else {
                    EXPECT_TRUE(normal_but_fewer_warnings(v, normal, persistent, fired && several_offsets(in.text)))
                        << lyrx_test::dump_result(status);
                }
            }));
    }
    report("lyrx_parse", most, inputs().size());
}

TEST(ProcessOom, ParseFile) {
    const fs::path dir = fs::temp_directory_path() / ("lyrx-process-oom-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    struct File {
        std::string name, path, encoding;  // encoding: of a UTF-16 file
        bool offsets_may_vary;
    };
    std::vector<File> files;
    for (const Input &in : inputs()) {
        const std::string base = (dir / in.name).string();
        const bool several = several_offsets(in.text);
        const std::string text = in.text.starts_with("\xEF\xBB\xBF") ? in.text.substr(3) : in.text;
        lyrx_test::write_file(base + ".txt", in.text);
        lyrx_test::write_file(base + ".utf8", "\xEF\xBB\xBF" + text);
        files.push_back({in.name + " plain", base + ".txt", "", several});
        files.push_back({in.name + " UTF-8 mark", base + ".utf8", "", several});
        if (!lyrx_test::valid_utf8(text)) continue;
        lyrx_test::write_file(base + ".le", "\xFF\xFE" + lyrx_test::utf8_to_utf16(text, false));
        lyrx_test::write_file(base + ".be", "\xFE\xFF" + lyrx_test::utf8_to_utf16(text, true));
        files.push_back({in.name + " UTF-16LE", base + ".le", "UTF-16LE", several});
        files.push_back({in.name + " UTF-16BE", base + ".be", "UTF-16BE", several});
    }
    const std::string previous_text = "[ti:previous]\n[00:01]kept\n";
    const ResultView previous = lyrx_test::parse_view(previous_text);
    long most = 0;
    std::map<std::string, int> outcomes;  // of the runs that met a failure
    for (const File &f : files) {
        SCOPED_TRACE(f.name);
        const ResultView normal = lyrx_test::capture(lyrx_parse_file(f.path.c_str()));
        most = std::max(most, fail_each_allocation(
            [&] { lyrx_parse(previous_text.data(), previous_text.size()); },
            [&] { return lyrx_parse_file(f.path.c_str()); },
            [&](int32_t status, bool fired, bool persistent) {
                const ResultView v = lyrx_test::capture(status);
                // Failures before the parse keep the previous result.
                const bool before_parse =
                    (status == LYRX_ERR_OOM && v.error == "oom") ||
                    (status == LYRX_ERR_NO_LYRICS && !f.encoding.empty() && v.error == "iconv " + f.encoding + " failed") ||
                    (status == LYRX_ERR_IO && v.error == "cannot open " + f.path);
                if (fired) {
                    const bool open = status == LYRX_ERR_IO && v.error == "cannot open " + f.path;
                    ++outcomes[std::to_string(status) + " \"" + (open ? "cannot open <path>" : v.error) + "\""];
                }
                if (fired && before_parse) {
                    EXPECT_TRUE(same_parse_result(v, previous)) << lyrx_test::dump_result(status);
                } else if (fired && status == LYRX_ERR_OOM) {
                    expect_parse_oom(v, normal, f.offsets_may_vary);
                } else {
                    EXPECT_TRUE(normal_but_fewer_warnings(v, normal, persistent, fired && f.offsets_may_vary))
                        << lyrx_test::dump_result(status);
                }
            }));
    }
    fs::remove_all(dir);
    report("lyrx_parse_file", most, files.size());
    for (const auto &[outcome, runs] : outcomes)
        std::printf("[process-oom] lyrx_parse_file: %d failed runs gave status %s\n", runs, outcome.c_str());
}

TEST(ProcessOom, ResultJson) {
    long most = 0;
    int nulls = 0;
    for (const Input &in : inputs()) {
        SCOPED_TRACE(in.name);
        const int32_t status = lyrx_test::parse_exact(in.text);
        const std::string state = lyrx_test::dump_result(status);
        const char *json = lyrx_result_json();
        if (!json) continue;  // texts that are not UTF-8 have none
        const std::string full = json;
        most = std::max(most, fail_each_allocation(
            [&] { lyrx_parse(in.text.data(), in.text.size()); }, [] { return lyrx_result_json(); },
            [&](const char *got, bool fired, bool) {
                EXPECT_EQ(lyrx_test::dump_result(status), state) << "the parse result changed";
                // The whole text or none: never one with something left out.
                if (fired && !got) ++nulls;
                else EXPECT_STREQ(got, full.c_str());
            }));
    }
    report("lyrx_result_json", most, inputs().size());
    std::printf("[process-oom] lyrx_result_json: %d failed runs gave null\n", nulls);
    EXPECT_GT(nulls, 0);
}

std::vector<std::string> titles() {
    std::vector<std::string> out = {"Song ft. A & B", "01. Song (Live) feat. X", "A - B [Remix] (www.example.com)",
                                    "Tune featuring C, D and E vs. F", ""};
    for (const Input &in : inputs()) {
        lyrx_test::parse_exact(in.text);
        for (const char *key : {"ti", "ar"})
            if (const char *v = lyrx_meta(key)) out.emplace_back(v);
    }
    lyrx_clear();
    return out;
}

std::vector<std::string> artists() {
    std::vector<std::string> out;
    for (int32_t i = 0; i < lyrx_tag_artist_count(); ++i) out.emplace_back(lyrx_tag_artist(i));
    return out;
}

TEST(ProcessOom, TagParseTitle) {
    long most = 0;
    const auto all = titles();
    for (const std::string &title : all) {
        SCOPED_TRACE(title);
        ASSERT_EQ(lyrx_tag_parse_title(title.c_str()), LYRX_OK);
        const auto normal = artists();
        most = std::max(most, fail_each_allocation(
            [] { lyrx_tag_parse_title("Old ft. Previous"); },
            [&] { return lyrx_tag_parse_title(title.c_str()); },
            [&](int32_t status, bool fired, bool) {
                const auto got = artists();
                if (fired && status == LYRX_ERR_OOM) {
                    ASSERT_LE(got.size(), normal.size());
                    EXPECT_TRUE(std::equal(got.begin(), got.end(), normal.begin()));
                } else {
                    EXPECT_EQ(status, LYRX_OK);
                    EXPECT_EQ(got, normal);
                }
            }));
    }
    report("lyrx_tag_parse_title", most, all.size());
}

TEST(ProcessOom, TagCleanTitle) {
    long most = 0;
    const auto all = titles();
    for (const std::string &title : all) {
        SCOPED_TRACE(title);
        const std::string normal = lyrx_tag_clean_title(title.c_str());
        most = std::max(most, fail_each_allocation(
            [] { lyrx_tag_clean_title("Previous"); }, [&] { return lyrx_tag_clean_title(title.c_str()); },
            [&](const char *got, bool fired, bool) {
                if (!fired || got) {
                    EXPECT_STREQ(got, normal.c_str());
                }
            }));
    }
    report("lyrx_tag_clean_title", most, all.size());
}

TEST(ProcessOom, DetectAllocatesNothing) {
    for (const Input &in : inputs()) {
        const int32_t normal = lyrx_detect(in.text.data(), in.text.size());
        g_seen = 0;
        g_fired = false;
        g_persistent = true;
        g_fail_at = 1;
        const int32_t got = lyrx_detect(in.text.data(), in.text.size());
        g_fail_at = 0;
        EXPECT_EQ(g_seen, 0) << in.name;
        EXPECT_EQ(got, normal) << in.name;
    }
    report("lyrx_detect", 0, inputs().size());
}

}  // namespace
