// lyrx_parse_file: reading, the UTF-16 conversion, every failure before the
// parse (which keeps the previous result), real files that misbehave, paths
// that point into the library's own strings, and memory exhaustion.
#include <gtest/gtest.h>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "dump.hpp"
#include "fault.hpp"
#include "lyrx.h"
#include "lyrx_state.hpp"
#include "lyrx_sys.hpp"
#include "utf8.hpp"

namespace {

namespace fs = std::filesystem;
using lyrx::sys::g_file_calls;
using lyrx::sys::kLibcFileCalls;

const std::string kUtf8Mark = "\xEF\xBB\xBF";
const std::string kLeMark = "\xFF\xFE";
const std::string kBeMark = "\xFE\xFF";
const char kLeWarning[] = "encoding: converted UTF-16LE BOM to UTF-8";
const char kBeWarning[] = "encoding: converted UTF-16BE BOM to UTF-8";

int32_t parse(const std::string &text) { return lyrx_parse(text.data(), text.size()); }

std::string le(const std::string &utf8) { return lyrx_test::utf8_to_utf16(utf8, false); }
std::string be(const std::string &utf8) { return lyrx_test::utf8_to_utf16(utf8, true); }

// The dump with its error line removed: what a failure before the parse
// must leave unchanged.
std::string without_error(const std::string &dump) {
    size_t start = dump.find("\nerror ");
    size_t end = dump.find('\n', start + 1);
    return dump.substr(0, start) + dump.substr(end);
}

// The dump of a parse with `warning` added as its last warning.
std::string with_last_warning(const std::string &dump, const char *warning) {
    size_t at = dump.rfind("\nwarnings ");
    int count = std::stoi(dump.substr(at + 10));
    size_t eol = dump.find('\n', at + 1);
    return dump.substr(0, at) + "\nwarnings " + std::to_string(count + 1) + dump.substr(eol) + "  " +
           lyrx_test::quote(warning) + "\n";
}

// The dump of lyrx_parse on the same bytes.
std::string dump_of_text(const std::string &text) { return lyrx_test::dump_result(parse(text)); }

// The warnings of the current result.
std::vector<std::string> warnings() {
    std::vector<std::string> w;
    for (int32_t i = 0; i < lyrx_warning_count(); i++) w.push_back(lyrx_warning(i));
    return w;
}

// Open descriptors (handles on Windows): a file left open shows as one more.
size_t open_fds() {
#ifdef _WIN32
    DWORD n = 0;
    GetProcessHandleCount(GetCurrentProcess(), &n);
    return n;
#else
    size_t n = 0;
    for ([[maybe_unused]] const auto &e : fs::directory_iterator("/proc/self/fd")) n++;
    return n;
#endif
}

// A new empty directory under the temporary folder.
std::string make_temp_dir() {
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int attempt = 0;; attempt++) {
        fs::path p = fs::temp_directory_path() / ("lyrx-input-" + std::to_string(stamp) + "-" + std::to_string(attempt));
        if (fs::create_directory(p)) return p.string();
    }
}

// ---- file call seams ----------------------------------------------------------

int g_opens = 0, g_closes = 0, g_reads = 0;
int64_t g_fake_size = 0;

std::FILE *counting_open(const char *p, bool *out_of_memory) {
    std::FILE *f = kLibcFileCalls.open(p, out_of_memory);
    if (f) g_opens++;
    return f;
}
int counting_close(std::FILE *f) {
    g_closes++;
    return kLibcFileCalls.close(f);
}
size_t counting_read(void *b, size_t s, size_t c, std::FILE *f) {
    g_reads++;
    return kLibcFileCalls.read(b, s, c, f);
}
int failing_seek(std::FILE *, int64_t, int) { return -1; }
int64_t fake_tell(std::FILE *) { return g_fake_size; }
// A device error in the middle of the file: half the bytes, then the error flag.
size_t half_read(void *b, size_t s, size_t c, std::FILE *f) {
    g_reads++;
    return kLibcFileCalls.read(b, s, c / 2, f);
}
size_t no_read(void *, size_t, size_t, std::FILE *) {
    g_reads++;
    return 0;
}
int error_flag_set(std::FILE *) { return 1; }

void install_counting_calls() {
    g_file_calls = kLibcFileCalls;
    g_file_calls.open = counting_open;
    g_file_calls.close = counting_close;
    g_file_calls.read = counting_read;
    g_opens = g_closes = g_reads = 0;
}

// ---- fixture ----------------------------------------------------------------------

class Input : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = make_temp_dir();
        install_counting_calls();
    }
    void TearDown() override {
        lyrx_test::disarm_allocation_failure();
        g_file_calls = kLibcFileCalls;
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    std::string path(const std::string &name) const { return (fs::path(dir_) / name).string(); }
    std::string file(const std::string &name, const std::string &data) const {
        std::string p = path(name);
        lyrx_test::write_file(p, data);
        return p;
    }

    // A result parsed from a UTF-16 file, with tags, an offset, lines,
    // warnings and a JSON text, for the failures to keep.
    void make_previous() {
        std::string p = file("previous.lrc", kLeMark + le(" x\n[ti:Prev]\n[offset:10]\n[00:02]two\n[00:01]one\n"));
        ASSERT_EQ(lyrx_parse_file(p.c_str()), LYRX_OK);
        ASSERT_EQ(lyrx_line_count(), 2);
        ASSERT_EQ(lyrx_warning_count(), 2);
        prev_json_ = lyrx_result_json();
        ASSERT_NE(prev_json_, nullptr);
        prev_json_text_ = prev_json_;
        prev_ = without_error(lyrx_test::dump_result(LYRX_OK));
        install_counting_calls();
    }

    // The previous result, status and JSON text are untouched; only the error changed.
    void expect_previous_kept(const std::string &error) {
        EXPECT_STREQ(lyrx_last_error(), error.c_str());
        EXPECT_EQ(without_error(lyrx_test::dump_result(LYRX_OK)), prev_);
        EXPECT_EQ(lyrx::g_last_status, LYRX_OK);
        EXPECT_EQ(lyrx::g_json, prev_json_);
        if (lyrx::g_json == prev_json_) {
            EXPECT_EQ(std::string(lyrx::g_json), prev_json_text_);
        }
    }

    void expect_files_closed() { EXPECT_EQ(g_closes, g_opens) << "a FILE was not closed"; }

    std::string dir_;
    std::string prev_;
    const char *prev_json_ = nullptr;
    std::string prev_json_text_;
};

// ---- failures before the parse ------------------------------------------------------------

struct failure_case {
    const char *name;
    // Writes the file and installs seams; returns the path.
    std::string (*make)(const std::string &dir, std::string &expected_error);
    int32_t status;
    bool reads;  // whether the file's bytes are read before the failure
};

std::string in_dir(const std::string &dir, const std::string &name) { return (fs::path(dir) / name).string(); }
std::string write_in(const std::string &dir, const std::string &name, const std::string &data) {
    std::string p = in_dir(dir, name);
    lyrx_test::write_file(p, data);
    return p;
}

std::string missing(const std::string &dir, std::string &error) {
    std::string p = in_dir(dir, "no-such-file.lrc");
    error = "cannot open " + p;
    return p;
}
std::string missing_dir(const std::string &dir, std::string &error) {
    std::string p = in_dir(dir, "no-such-dir/x.lrc");
    error = "cannot open " + p;
    return p;
}
std::string seek_fails(const std::string &dir, std::string &error) {
    error = "seek failed";
    g_file_calls.seek = failing_seek;
    return write_in(dir, "a.lrc", "[00:01]a");
}
std::string tell_fails(const std::string &dir, std::string &error) {
    error = "tell failed";
    g_file_calls.tell = fake_tell;
    g_fake_size = -1;
    return write_in(dir, "a.lrc", "[00:01]a");
}
std::string tell_2gib(const std::string &dir, std::string &error) {
    error = "tell failed";
    g_file_calls.tell = fake_tell;
    g_fake_size = int64_t{1} << 31;
    return write_in(dir, "a.lrc", "[00:01]a");
}
std::string tell_huge(const std::string &dir, std::string &error) {
    error = "tell failed";
    g_file_calls.tell = fake_tell;
    g_fake_size = INT64_MAX;
    return write_in(dir, "a.lrc", "[00:01]a");
}
std::string buffer_oom(const std::string &dir, std::string &error) {
    error = "oom";
    std::string p = write_in(dir, "a.lrc", "[00:01]a");
    lyrx_test::fail_allocation(1);
    return p;
}
std::string largest_size_oom(const std::string &dir, std::string &error) {
    // The largest size accepted: the buffer is asked for, and refused here.
    error = "oom";
    g_file_calls.tell = fake_tell;
    g_fake_size = INT32_MAX;
    std::string p = write_in(dir, "a.lrc", "[00:01]a");
    lyrx_test::fail_allocation(1);
    return p;
}
std::string read_error_midway(const std::string &dir, std::string &error) {
    error = "read failed";
    g_file_calls.read = half_read;
    g_file_calls.error = error_flag_set;
    return write_in(dir, "a.lrc", "[00:01]first half\n[00:02]second half\n");
}
std::string read_error_at_once(const std::string &dir, std::string &error) {
    error = "read failed";
    g_file_calls.read = no_read;
    g_file_calls.error = error_flag_set;
    return write_in(dir, "a.lrc", "[00:01]a");
}
std::string read_error_in_utf16(const std::string &dir, std::string &error) {
    error = "read failed";
    g_file_calls.read = half_read;
    g_file_calls.error = error_flag_set;
    return write_in(dir, "a.lrc", kLeMark + le("[00:01]a\n[00:02]b\n"));
}
std::string le_odd(const std::string &dir, std::string &error) {
    error = "iconv UTF-16LE failed";
    return write_in(dir, "a.lrc", kLeMark + le("[00:01]a") + "x");
}
std::string le_one_byte(const std::string &dir, std::string &error) {
    error = "iconv UTF-16LE failed";
    return write_in(dir, "a.lrc", kLeMark + "[");
}
std::string be_odd(const std::string &dir, std::string &error) {
    error = "iconv UTF-16BE failed";
    return write_in(dir, "a.lrc", kBeMark + be("[00:01]a") + "x");
}
std::string le_high_surrogate_at_end(const std::string &dir, std::string &error) {
    error = "iconv UTF-16LE failed";
    return write_in(dir, "a.lrc", kLeMark + le("[00:01]a") + std::string("\x3D\xD8", 2));
}
std::string le_high_surrogate_before_letter(const std::string &dir, std::string &error) {
    error = "iconv UTF-16LE failed";
    return write_in(dir, "a.lrc",
                                                    kLeMark + le("[00:01]") + std::string("\x3D\xD8\x41\x00", 4));
}
std::string le_lone_low_surrogate(const std::string &dir, std::string &error) {
    error = "iconv UTF-16LE failed";
    return write_in(dir, "a.lrc", kLeMark + le("[00:01]") + std::string("\x00\xDC", 2));
}
std::string be_high_surrogate_before_letter(const std::string &dir, std::string &error) {
    error = "iconv UTF-16BE failed";
    return write_in(dir, "a.lrc",
                                                    kBeMark + be("[00:01]") + std::string("\xD8\x3D\x00\x41", 4));
}
std::string be_lone_low_surrogate(const std::string &dir, std::string &error) {
    error = "iconv UTF-16BE failed";
    return write_in(dir, "a.lrc", kBeMark + be("[00:01]a") + std::string("\xDC\x00", 2));
}
std::string le_descriptor_fails(const std::string &dir, std::string &error) {
    error = "iconv UTF-16LE failed";
    std::string p = write_in(dir, "a.lrc", kLeMark + le("[00:01]a"));
    lyrx_test::fail_allocation(2);  // after the file buffer: the conversion descriptor
    return p;
}
std::string be_buffer_fails(const std::string &dir, std::string &error) {
    error = "iconv UTF-16BE failed";
    std::string p = write_in(dir, "a.lrc", kBeMark + be("[00:01]a"));
    lyrx_test::fail_allocation(3);  // the conversion buffer
    return p;
}

TEST_F(Input, FailuresBeforeTheParseKeepThePreviousResult) {
    const std::vector<failure_case> table = {
        {"missing file", missing, LYRX_ERR_IO, false},
        {"missing directory", missing_dir, LYRX_ERR_IO, false},
        {"seek fails", seek_fails, LYRX_ERR_IO, false},
        {"size query fails", tell_fails, LYRX_ERR_IO, false},
        {"size of 2 GiB", tell_2gib, LYRX_ERR_IO, false},
        {"size far beyond 2 GiB", tell_huge, LYRX_ERR_IO, false},
        {"no memory for the file", buffer_oom, LYRX_ERR_OOM, false},
        {"no memory for the largest file", largest_size_oom, LYRX_ERR_OOM, false},
        {"read error midway", read_error_midway, LYRX_ERR_IO, true},
        {"read error at once", read_error_at_once, LYRX_ERR_IO, true},
        {"read error in a UTF-16 file", read_error_in_utf16, LYRX_ERR_IO, true},
        {"UTF-16LE of odd length", le_odd, LYRX_ERR_NO_LYRICS, true},
        {"UTF-16LE mark and one byte", le_one_byte, LYRX_ERR_NO_LYRICS, true},
        {"UTF-16BE of odd length", be_odd, LYRX_ERR_NO_LYRICS, true},
        {"UTF-16LE high surrogate at the end", le_high_surrogate_at_end, LYRX_ERR_NO_LYRICS, true},
        {"UTF-16LE high surrogate before a letter", le_high_surrogate_before_letter, LYRX_ERR_NO_LYRICS, true},
        {"UTF-16LE lone low surrogate", le_lone_low_surrogate, LYRX_ERR_NO_LYRICS, true},
        {"UTF-16BE high surrogate before a letter", be_high_surrogate_before_letter, LYRX_ERR_NO_LYRICS, true},
        {"UTF-16BE lone low surrogate", be_lone_low_surrogate, LYRX_ERR_NO_LYRICS, true},
        {"conversion descriptor not opened", le_descriptor_fails, LYRX_ERR_NO_LYRICS, true},
        {"no memory for the conversion", be_buffer_fails, LYRX_ERR_NO_LYRICS, true},
    };
    for (const auto &c : table) {
        SCOPED_TRACE(c.name);
        make_previous();
        size_t fds = open_fds();
        std::string error;
        std::string p = c.make(dir_, error);
        int32_t status = lyrx_parse_file(p.c_str());
        lyrx_test::disarm_allocation_failure();
        g_file_calls = kLibcFileCalls;
        EXPECT_EQ(status, c.status);
        expect_previous_kept(error);
        expect_files_closed();
        EXPECT_EQ(g_reads > 0, c.reads);
        EXPECT_EQ(open_fds(), fds);
        install_counting_calls();
    }
}

TEST_F(Input, NullPath) {
    make_previous();
    EXPECT_EQ(lyrx_parse_file(nullptr), LYRX_ERR_NULL);
    expect_previous_kept("null path");
    EXPECT_EQ(g_opens, 0);
}

TEST_F(Input, DirectoriesAreRefused) {
    // POSIX opens a directory: ext4 then reports a huge size, tmpfs refuses
    // the seek. Windows refuses the open.
    std::vector<std::string> dirs = {dir_};
    std::string shm;
#ifndef _WIN32
    if (fs::is_directory("/dev/shm")) {
        std::string tmpl = "/dev/shm/lyrx-input-XXXXXX";
        if (mkdtemp(tmpl.data())) shm = tmpl;
    }
    if (!shm.empty()) dirs.push_back(shm);
#endif
    for (const auto &d : dirs) {
        SCOPED_TRACE(d);
        make_previous();
        EXPECT_EQ(lyrx_parse_file(d.c_str()), LYRX_ERR_IO);
        std::string error = lyrx_last_error();
#ifdef _WIN32
        EXPECT_EQ(error, "cannot open " + d);
#else
        EXPECT_TRUE(error == "tell failed" || error == "seek failed") << error;
#endif
        expect_previous_kept(error);
        expect_files_closed();
        EXPECT_EQ(g_reads, 0);
    }
    if (!shm.empty()) fs::remove(shm);
}

#ifdef _WIN32
// A drive letter that names no drive, or "" when every letter is taken.
std::string missing_drive() {
    for (char letter = 'Q'; letter <= 'Y'; letter++) {
        std::string root = std::string(1, letter) + ":\\";
        if (GetDriveTypeA(root.c_str()) == DRIVE_NO_ROOT_DIR) return root;
    }
    return "";
}
#endif

TEST_F(Input, WindowsOnlyOpenFailures) {
#ifndef _WIN32
    GTEST_SKIP() << "sharing modes and drive letters are Windows-only; POSIX has its own cases above";
#else
    // A file another process holds open without sharing cannot be opened.
    std::string locked = file("locked.lrc", "[00:01]a");
    HANDLE h = CreateFileA(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::vector<std::string> paths = {locked};
    std::string drive = missing_drive();
    if (!drive.empty()) paths.push_back(drive + "lyrics.lrc");
    for (const auto &p : paths) {
        SCOPED_TRACE(p);
        make_previous();
        EXPECT_EQ(lyrx_parse_file(p.c_str()), LYRX_ERR_IO);
        expect_previous_kept("cannot open " + p);
        expect_files_closed();
        EXPECT_EQ(g_reads, 0);
    }
    CloseHandle(h);
    make_previous();
    EXPECT_EQ(lyrx_parse_file(locked.c_str()), LYRX_OK) << "readable once the handle is closed";
#endif
}

TEST_F(Input, NonAsciiFileNames) {
    // Paths are UTF-8 on every platform, as every other text of the library.
    const std::string text = "[ti:T]\n[00:01]a\n";
    const std::string expected = dump_of_text(text);
    for (const std::string name : {"caf\xC3\xA9-\xE6\xAD\x8C.lrc", "\xC3\x86r\xC3\xB8 \xE2\x80\x93 \xE6\x9D\xB1\xE4\xBA\xAC.lrc"}) {
        SCOPED_TRACE(name);
        make_previous();
        EXPECT_EQ(lyrx_parse_file(file(name, text).c_str()), LYRX_OK);
        EXPECT_EQ(lyrx_test::dump_result(LYRX_OK), expected);
        expect_files_closed();
        make_previous();
        std::string le_name = "le-" + name;
        EXPECT_EQ(lyrx_parse_file(file(le_name, kLeMark + le(text)).c_str()), LYRX_OK);
        EXPECT_EQ(lyrx_test::dump_result(LYRX_OK), with_last_warning(expected, kLeWarning));
    }
    // Missing, and not UTF-8 at all: the error names the path as given.
    for (const std::string name : {"gone-\xE6\xAD\x8C.lrc", "latin1-caf\xE9.lrc"}) {
        SCOPED_TRACE(name);
        make_previous();
        std::string p = path(name);
        EXPECT_EQ(lyrx_parse_file(p.c_str()), LYRX_ERR_IO);
        expect_previous_kept("cannot open " + p);
    }
}

TEST_F(Input, FifoIsRefusedWithoutBlocking) {
#ifdef _WIN32
    GTEST_SKIP() << "FIFOs in the file system are POSIX-only";
#else
    std::string p = path("pipe");
    if (mkfifo(p.c_str(), 0600) != 0) GTEST_SKIP() << "cannot make a FIFO here";
    // Holding the FIFO open for reading and writing provides the writer the
    // library's open waits for, so the open returns at once; the data written
    // stays in the pipe and is closed with it.
    int fd = open(p.c_str(), O_RDWR | O_NONBLOCK);
    if (fd < 0) GTEST_SKIP() << "cannot open the FIFO without blocking";
    ASSERT_EQ(write(fd, "[00:01]a\n", 9), 9);
    make_previous();
    int32_t status = lyrx_parse_file(p.c_str());
    close(fd);
    EXPECT_EQ(status, LYRX_ERR_IO);
    expect_previous_kept("seek failed");
    expect_files_closed();
    EXPECT_EQ(g_reads, 0);
#endif
}

// A file of `size` bytes made by extending an empty one: sparse where the
// file system allows it, and never read.
bool make_sparse(const std::string &p, uintmax_t size) {
    lyrx_test::write_file(p, "");
    std::error_code ec;
    fs::resize_file(p, size, ec);
    return !ec;
}

TEST_F(Input, FilesOf2GiBOrMoreAreNotRead) {
    for (uintmax_t size : {uintmax_t{1} << 31, (uintmax_t{1} << 32) + 5}) {
        SCOPED_TRACE(std::to_string(size));
        std::string p = path("big.lrc");
        if (!make_sparse(p, size)) GTEST_SKIP() << "no sparse files here";
        make_previous();
        lyrx_test::fail_allocation(LONG_MAX);  // only counts
        EXPECT_EQ(lyrx_parse_file(p.c_str()), LYRX_ERR_IO);
        EXPECT_EQ(lyrx_test::allocations_seen(), 0) << "a buffer was allocated";
        lyrx_test::disarm_allocation_failure();
        expect_previous_kept("tell failed");
        expect_files_closed();
        EXPECT_EQ(g_reads, 0);
        fs::remove(p);
    }
}

TEST_F(Input, PathInsideTheErrorText) {
    // The path is a piece of lyrx_last_error(), which the new error replaces.
    make_previous();
    std::string missing_path = path("missing-one.lrc");
    ASSERT_EQ(lyrx_parse_file(missing_path.c_str()), LYRX_ERR_IO);
    ASSERT_EQ(std::string(lyrx_last_error()), "cannot open " + missing_path);

    EXPECT_EQ(lyrx_parse_file(lyrx_last_error() + std::strlen("cannot open ")), LYRX_ERR_IO);
    expect_previous_kept("cannot open " + missing_path);

    // The whole error text as a path: "cannot open cannot open <path>".
    EXPECT_EQ(lyrx_parse_file(lyrx_last_error()), LYRX_ERR_IO);
    expect_previous_kept("cannot open cannot open " + missing_path);

    // A path that starts within the first bytes of the error text, where the
    // new text's "cannot open " is written: "failed" from "tell failed", as a
    // path relative to a directory that holds no such file.
    const fs::path cwd = fs::current_path();
    fs::current_path(dir_);
    g_file_calls.tell = fake_tell;
    g_fake_size = -1;
    ASSERT_EQ(lyrx_parse_file(file("exists.lrc", "[00:01]x").c_str()), LYRX_ERR_IO);
    g_file_calls.tell = kLibcFileCalls.tell;
    ASSERT_STREQ(lyrx_last_error(), "tell failed");
    EXPECT_EQ(lyrx_parse_file(lyrx_last_error() + std::strlen("tell ")), LYRX_ERR_IO);
    EXPECT_STREQ(lyrx_last_error(), "cannot open failed");
    fs::current_path(cwd);

    // A file that appears after the failure, named by the error text, is read.
    std::string later = path("later.lrc");
    ASSERT_EQ(lyrx_parse_file(later.c_str()), LYRX_ERR_IO);
    ASSERT_EQ(std::string(lyrx_last_error()), "cannot open " + later);
    file("later.lrc", "[00:03]read");
    EXPECT_EQ(lyrx_parse_file(lyrx_last_error() + std::strlen("cannot open ")), LYRX_OK);
    EXPECT_EQ(lyrx_test::dump_result(LYRX_OK), dump_of_text("[00:03]read"));
}

TEST_F(Input, PathInsideThePreviousResult) {
    // The path is a line text or a tag of the result that the parse replaces.
    // Forward slashes: a backslash in LRC text is an escape.
    std::string target = fs::path(file("target.lrc", "[ar:From file]\n[00:04]from file\n x")).generic_string();
    const std::string expected = dump_of_text("[ar:From file]\n[00:04]from file\n x");

    ASSERT_EQ(parse("[00:01]" + target), LYRX_OK);
    ASSERT_EQ(std::string(lyrx_line_text(0)), target);
    EXPECT_EQ(lyrx_parse_file(lyrx_line_text(0)), LYRX_OK);
    EXPECT_EQ(lyrx_test::dump_result(LYRX_OK), expected);

    ASSERT_EQ(parse("[ti:" + target + "]\n[00:01]x"), LYRX_OK);
    EXPECT_EQ(lyrx_parse_file(lyrx_meta("ti")), LYRX_OK);
    EXPECT_EQ(lyrx_test::dump_result(LYRX_OK), expected);

    // The same through the UTF-16 path.
    std::string target16 =
        fs::path(file("target16.lrc", kBeMark + be("[ar:From file]\n[00:04]from file\n x"))).generic_string();
    ASSERT_EQ(parse("[00:01]" + target16), LYRX_OK);
    EXPECT_EQ(lyrx_parse_file(lyrx_line_text(0)), LYRX_OK);
    EXPECT_EQ(lyrx_test::dump_result(LYRX_OK), with_last_warning(expected, kBeWarning));
}

// ---- files that are parsed ----------------------------------------------------------------

struct parsed_case {
    const char *name;
    std::string file_bytes;
    std::string same_as_text;  // lyrx_parse of these bytes gives the same result...
    const char *warning;       // ...with this warning added last, or none
};

TEST_F(Input, FilesThatReachTheParse) {
    const std::string bom_char = "\xEF\xBB\xBF";  // U+FEFF in UTF-8
    const std::vector<parsed_case> table = {
        {"empty file", "", "", nullptr},
        {"one byte", "[", "[", nullptr},
        {"one high byte", "\xFF", "\xFF", nullptr},
        {"UTF-16LE mark only", kLeMark, "", kLeWarning},
        {"UTF-16BE mark only", kBeMark, "", kBeWarning},
        {"UTF-16LE mark and a NUL character", kLeMark + std::string(2, '\0'), std::string(1, '\0'), kLeWarning},
        {"FE FE is no mark", "\xFE\xFE[00:01]a", "\xFE\xFE[00:01]a", nullptr},
        {"FF FF is no mark", "\xFF\xFF[00:01]a", "\xFF\xFF[00:01]a", nullptr},
        {"FE FF reversed in the middle", "[00:01]a\xFE\xFF", "[00:01]a\xFE\xFF", nullptr},
        {"UTF-16LE without a mark", le("[00:01]a\n[ti:x]"), le("[00:01]a\n[ti:x]"), nullptr},
        {"UTF-16BE without a mark", be("[00:01]a\n[ti:x]"), be("[00:01]a\n[ti:x]"), nullptr},
        {"UTF-8 mark", kUtf8Mark + "[00:01]a\n b", "[00:01]a\n b", nullptr},
        {"UTF-8 mark only", kUtf8Mark, kUtf8Mark, nullptr},
        {"UTF-16LE", kLeMark + le("[ti:T]\n[00:02]b\n[00:01]a\n c"), "[ti:T]\n[00:02]b\n[00:01]a\n c", kLeWarning},
        {"UTF-16BE", kBeMark + be("[ti:T]\n[00:02]b\n[00:01]a\n c"), "[ti:T]\n[00:02]b\n[00:01]a\n c", kBeWarning},
        {"UTF-16LE with a second mark", kLeMark + le(bom_char + "[00:01]a"), "[00:01]a", kLeWarning},
        {"UTF-16BE with a second mark", kBeMark + be(bom_char + "[00:01]a"), "[00:01]a", kBeWarning},
        {"UTF-16LE outside the BMP", kLeMark + le("[00:01]\xF0\x9F\x8E\xB5 \xE6\x97\xA5"),
         "[00:01]\xF0\x9F\x8E\xB5 \xE6\x97\xA5", kLeWarning},
        {"UTF-16BE outside the BMP", kBeMark + be("[ti:\xF0\x9F\x8E\xB5]"), "[ti:\xF0\x9F\x8E\xB5]", kBeWarning},
        {"UTF-16LE metadata only", kLeMark + le("[ti:x]"), "[ti:x]", kLeWarning},
        {"UTF-16BE text without lyrics", kBeMark + be("plain"), "plain", kBeWarning},
    };
    for (const auto &c : table) {
        SCOPED_TRACE(c.name);
        std::string expected = dump_of_text(c.same_as_text);
        if (c.warning) expected = with_last_warning(expected, c.warning);
        std::string p = file("case.lrc", c.file_bytes);
        make_previous();
        int32_t status = lyrx_parse_file(p.c_str());
        EXPECT_EQ(lyrx_test::dump_result(status), expected);
        EXPECT_EQ(lyrx::g_last_status, status);
        EXPECT_EQ(lyrx::g_json, nullptr);  // the previous JSON text went with the clear
        expect_files_closed();
    }
}

TEST_F(Input, EdgeFilesInDetail) {
    // The cases above compare with lyrx_parse; these pin the outcome itself.
    make_previous();
    EXPECT_EQ(lyrx_parse_file(file("empty.lrc", "").c_str()), LYRX_ERR_EMPTY);
    EXPECT_STREQ(lyrx_last_error(), "empty input");
    EXPECT_EQ(lyrx_line_count(), 0);
    EXPECT_EQ(lyrx_warning_count(), 0);
    EXPECT_EQ(lyrx_meta("ti"), nullptr);
    EXPECT_EQ(lyrx::g_last_status, LYRX_ERR_EMPTY);

    make_previous();
    EXPECT_EQ(lyrx_parse_file(file("le.lrc", kLeMark).c_str()), LYRX_ERR_EMPTY);
    EXPECT_STREQ(lyrx_last_error(), "empty input");
    EXPECT_EQ(warnings(), std::vector<std::string>{kLeWarning});
    EXPECT_EQ(lyrx_line_count(), 0);

    make_previous();
    EXPECT_EQ(lyrx_parse_file(file("nul-character.lrc", kLeMark + std::string(2, '\0')).c_str()), LYRX_ERR_NO_LYRICS);
    EXPECT_EQ(warnings(), (std::vector<std::string>{"bare: skipped text before '[' at pos 0", kLeWarning}));

    make_previous();
    EXPECT_EQ(lyrx_parse_file(file("fefe.lrc", "\xFE\xFE[00:01]a").c_str()), LYRX_ERR_NO_LYRICS);
    EXPECT_EQ(warnings(), std::vector<std::string>{"bare: skipped text before '[' at pos 0"});

    make_previous();
    EXPECT_EQ(lyrx_parse_file(file("bom8.lrc", kUtf8Mark + "[00:01]a").c_str()), LYRX_OK);
    EXPECT_EQ(lyrx_line_count(), 1);
    EXPECT_STREQ(lyrx_line_text(0), "a");
    EXPECT_EQ(lyrx_warning_count(), 0);

    make_previous();
    EXPECT_EQ(lyrx_parse_file(file("be.lrc", kBeMark + be("[00:01]\xC3\xA9\n x")).c_str()), LYRX_OK);
    EXPECT_STREQ(lyrx_line_text(0), "\xC3\xA9");
    EXPECT_EQ(warnings(), (std::vector<std::string>{"bare: skipped text before '[' at pos 10", kBeWarning}));
}

TEST_F(Input, ShortReadWithoutErrorIsParsedAsRead) {
    // The size query says more than the read delivers, as for a file that
    // shrank after it was opened; no error is flagged.
    const std::string text = "[00:01]a\n[00:02]b\n";
    std::string p = file("short.lrc", text);
    make_previous();
    g_file_calls.tell = fake_tell;
    g_fake_size = static_cast<int64_t>(text.size()) + 100;
    EXPECT_EQ(lyrx_parse_file(p.c_str()), LYRX_OK);
    g_file_calls = kLibcFileCalls;
    EXPECT_EQ(lyrx_test::dump_result(LYRX_OK), dump_of_text(text));

    // A short read that stops mid-line: the bytes read are parsed.
    make_previous();
    g_file_calls.read = half_read;
    int32_t status = lyrx_parse_file(p.c_str());
    g_file_calls = kLibcFileCalls;
    EXPECT_EQ(lyrx_test::dump_result(status), dump_of_text(text.substr(0, text.size() / 2)));

    // A full read with the error flag up is no failure: only a short read is.
    make_previous();
    g_file_calls.error = error_flag_set;
    status = lyrx_parse_file(p.c_str());
    g_file_calls = kLibcFileCalls;
    EXPECT_EQ(lyrx_test::dump_result(status), dump_of_text(text));
}

TEST_F(Input, ShortReadFromSysfs) {
#ifdef _WIN32
    GTEST_SKIP() << "sysfs is Linux-only; the seam cases above cover short reads";
#else
    // sysfs reports a size of a page and delivers less.
    const char *p = "/sys/kernel/mm/transparent_hugepage/enabled";
    struct stat st {};
    if (stat(p, &st) != 0) GTEST_SKIP() << p << " is not there";
    std::string text = lyrx_test::read_file(p);
    if (text.empty() || static_cast<off_t>(text.size()) >= st.st_size)
        GTEST_SKIP() << p << " is not shorter than its size";
    make_previous();
    int32_t status = lyrx_parse_file(p);
    EXPECT_EQ(lyrx_test::dump_result(status), dump_of_text(text));
    expect_files_closed();
#endif
}

TEST_F(Input, ProcFileOfSizeZeroIsEmptyInput) {
#ifdef _WIN32
    GTEST_SKIP() << "/proc is Linux-only; an empty file is covered above";
#endif
    make_previous();
    EXPECT_EQ(lyrx_parse_file("/proc/self/status"), LYRX_ERR_EMPTY);
    EXPECT_STREQ(lyrx_last_error(), "empty input");
    EXPECT_EQ(lyrx_line_count(), 0);
    EXPECT_EQ(lyrx_warning_count(), 0);
    EXPECT_EQ(lyrx::g_last_status, LYRX_ERR_EMPTY);
    expect_files_closed();
}

// ---- the conversion helper ---------------------------------------------------------------

TEST(Utf16Conversion, OneCallIntoAFreshBuffer) {
    char *out = nullptr;
    uint64_t len = 99;
    // Nothing to convert is a success with an empty, terminated text.
    ASSERT_EQ(lyrx::iconv_to_utf8("UTF-16LE", "", 0, &out, &len), 0);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(out[0], '\0');
    lyrx::mem_free(out);

    const std::string in = le("[00:01]\xC3\xA9\xF0\x9F\x8E\xB5");
    ASSERT_EQ(lyrx::iconv_to_utf8("UTF-16LE", in.data(), in.size(), &out, &len), 0);
    EXPECT_EQ(std::string(out, len), "[00:01]\xC3\xA9\xF0\x9F\x8E\xB5");
    EXPECT_EQ(out[len], '\0');
    lyrx::mem_free(out);

    // On failure the outputs are left alone.
    out = reinterpret_cast<char *>(&len);
    len = 7;
    const std::string odd = be("ab") + "c";
    EXPECT_EQ(lyrx::iconv_to_utf8("UTF-16BE", odd.data(), odd.size(), &out, &len), -1);
    EXPECT_EQ(out, reinterpret_cast<char *>(&len));
    EXPECT_EQ(len, 7u);
    EXPECT_EQ(lyrx::iconv_to_utf8("NO-SUCH-ENCODING", "ab", 2, &out, &len), -1);
    EXPECT_EQ(len, 7u);
}

TEST(Utf16Conversion, WorstCaseFitsTheBuffer) {
    // Four output bytes for every two input bytes of a supplementary pair, three
    // for every two of a BMP character above U+07FF: both fit 4 * m + 15.
    std::string many;
    for (int i = 0; i < 1000; i++) many += "\xF0\x9F\x8E\xB5\xE6\x97\xA5";
    for (bool big : {false, true}) {
        const std::string in = lyrx_test::utf8_to_utf16(many, big);
        char *out = nullptr;
        uint64_t len = 0;
        ASSERT_EQ(lyrx::iconv_to_utf8(big ? "UTF-16BE" : "UTF-16LE", in.data(), in.size(), &out, &len), 0);
        EXPECT_EQ(std::string(out, len), many);
        lyrx::mem_free(out);
    }
}

// ---- the same text through every entry path ----------------------------------------------

std::vector<std::pair<std::string, std::string>> all_texts() {
    std::vector<std::pair<std::string, std::string>> texts = {
        {"inline: lines and tags", "[ti:T]\r\n[ar:A]\r\n[00:10.00]ten\r\n[00:05]five\r\n[offset:+100]\r\n"},
        {"inline: warnings", " bare\n[00:01\n[ti:a]\n[ti:b]\n[00:02]<x>y\n[offset:q]\n[00:03]a\\"},
        {"inline: non-ASCII", "[ti:\xE6\x97\xA5\xE6\x9C\xAC]\n[00:01]caf\xC3\xA9 \xF0\x9F\x8E\xB5\n"},
        {"inline: escapes", "[00:01]a\\\nb\\[c\\]\n[a\\]b]c\n"},
        {"inline: NUL byte", std::string("[00:01]a\0b\n[00:02]c", 19)},
        {"inline: Latin-1", "[00:01]caf\xE9\n"},
        {"inline: metadata only", "[al:x]"},
        {"inline: nothing", "no lyrics here"},
    };
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(LYRX_CASES_DIR, ec))
        if (e.is_regular_file() && e.path().extension() == ".lrc") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const auto &f : files) texts.emplace_back(f.filename().string(), lyrx_test::read_file(f.string()));
    return texts;
}

TEST_F(Input, SameTextThroughEveryEntryPath) {
    size_t golden = 0;
    for (const auto &[name, text] : all_texts()) {
        SCOPED_TRACE(name);
        if (name.rfind("inline:", 0) != 0) golden++;
        const std::string plain = dump_of_text(text);
        const bool has_mark = text.compare(0, 3, kUtf8Mark) == 0;

        make_previous();
        int32_t status = lyrx_parse_file(file("plain.lrc", text).c_str());
        EXPECT_EQ(lyrx_test::dump_result(status), plain) << "plain file";

        make_previous();
        status = lyrx_parse_file(file("mark.lrc", kUtf8Mark + text).c_str());
        EXPECT_EQ(lyrx_test::dump_result(status), dump_of_text(kUtf8Mark + text)) << "UTF-8 mark";
        if (!has_mark) {
            EXPECT_EQ(lyrx_test::dump_result(status), plain) << "UTF-8 mark";
        }

        if (!lyrx_test::valid_utf8(text)) continue;
        make_previous();
        status = lyrx_parse_file(file("le.lrc", kLeMark + le(text)).c_str());
        EXPECT_EQ(lyrx_test::dump_result(status), with_last_warning(plain, kLeWarning)) << "UTF-16LE";

        make_previous();
        status = lyrx_parse_file(file("be.lrc", kBeMark + be(text)).c_str());
        EXPECT_EQ(lyrx_test::dump_result(status), with_last_warning(plain, kBeWarning)) << "UTF-16BE";
        expect_files_closed();
    }
    if (golden == 0) std::printf("note: no golden cases in %s yet; inline texts only\n", LYRX_CASES_DIR);
}

// ---- out of memory ------------------------------------------------------------------------

// The warnings of the current result appear, in order, among `all`.
bool warnings_within(const std::vector<std::string> &all) {
    size_t at = 0;
    for (const auto &w : warnings()) {
        auto pos = std::find(all.begin() + static_cast<long>(at), all.end(), w);
        if (pos == all.end()) return false;
        at = static_cast<size_t>(pos - all.begin()) + 1;
    }
    return true;
}

// The dump without its warnings section.
std::string without_warnings(const std::string &dump) { return dump.substr(0, dump.rfind("\nwarnings ")); }

struct oom_case {
    const char *name;
    std::string bytes;
    const char *conversion_error;  // for a UTF-16 file
};

TEST_F(Input, OutOfMemoryAtEachAllocation) {
    std::string text = " bare\n[ti:T]\n[ti:U]\n[offset:5]\n[00:00]<a>b\n";
    for (int i = 0; i < 40; i++) text += "[00:" + std::to_string(10 + i) + ".5]line " + std::to_string(i) + "\n";
    const std::vector<oom_case> table = {
        {"plain", text, nullptr},
        {"UTF-8 mark", kUtf8Mark + text, nullptr},
        {"UTF-16LE", kLeMark + le(text), "iconv UTF-16LE failed"},
        {"UTF-16BE", kBeMark + be(text), "iconv UTF-16BE failed"},
    };
    for (const auto &c : table) {
        SCOPED_TRACE(c.name);
        std::string p = file("oom.lrc", c.bytes);
        make_previous();
        const int32_t full_status = lyrx_parse_file(p.c_str());
        ASSERT_EQ(full_status, LYRX_OK);
        const std::string full = lyrx_test::dump_result(full_status);
        const std::vector<std::string> full_warnings = warnings();

        int parser_failures[2] = {0, 0};
        size_t fds = 0;
        int32_t status = LYRX_OK;
        const long points = lyrx_test::for_each_failed_allocation(
            [&] {
                make_previous();
                fds = open_fds();
            },
            [&] { status = lyrx_parse_file(p.c_str()); },
            [&](const lyrx_test::failed_run &run) {
                const long n = run.n;
                expect_files_closed();
                EXPECT_EQ(open_fds(), fds);
                const std::string error = lyrx_last_error();
                if (!run.fired) {
                    EXPECT_EQ(status, full_status);
                    EXPECT_EQ(lyrx_test::dump_result(status), full);
                } else if (status == LYRX_ERR_OOM && error == "oom") {
                    // No memory for the file: the first allocation.
                    EXPECT_EQ(n, 1);
                    expect_previous_kept("oom");
                } else if (c.conversion_error && status == LYRX_ERR_NO_LYRICS && error == c.conversion_error) {
                    // The conversion's two allocations.
                    EXPECT_TRUE(n == 2 || n == 3);
                    expect_previous_kept(error);
                } else if (status == LYRX_ERR_OOM) {
                    // Inside the parser, after the clear.
                    parser_failures[run.persistent]++;
                    EXPECT_EQ(error, "out of memory");
                    EXPECT_EQ(lyrx::g_last_status, LYRX_ERR_OOM);
                    EXPECT_TRUE(warnings_within(full_warnings));
                } else {
                    // At most a warning was lost (or a copy whose loss changes nothing).
                    EXPECT_EQ(status, full_status);
                    EXPECT_EQ(lyrx::g_last_status, status);
                    EXPECT_EQ(without_warnings(lyrx_test::dump_result(status)), without_warnings(full));
                    EXPECT_TRUE(warnings_within(full_warnings));
                }
                if (n == 1) {
                    EXPECT_EQ(status, LYRX_ERR_OOM);
                    EXPECT_EQ(error, "oom");
                }
                if (c.conversion_error && (n == 2 || n == 3)) {
                    EXPECT_EQ(status, LYRX_ERR_NO_LYRICS);
                    EXPECT_EQ(error, c.conversion_error);
                }
            });
        lyrx_test::report_injection_points(std::string("lyrx_parse_file (") + c.name + ")", points);
        EXPECT_GT(parser_failures[false], 0);
        EXPECT_GT(parser_failures[true], 0);
    }
}

}  // namespace
