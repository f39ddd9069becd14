// lyrx_detect: the tag tests, the 8192-byte window after an optional UTF-8
// mark, and that it reads, allocates and changes nothing else.
#include <gtest/gtest.h>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "dump.hpp"
#include "fault.hpp"
#include "lyrx.h"
#include "locales.hpp"
#include "lyrx_state.hpp"

namespace {

const std::string kBom = "\xEF\xBB\xBF";
constexpr size_t kWindow = 8192;

// Calls lyrx_detect on a heap copy of exactly data.size() bytes, so that
// AddressSanitizer catches a read past the given length.
// Also checks that every reading of the window this CPU can run agrees: byte
// at a time, and on class masks with SSE2 and AVX2.
int32_t detect_exact(const std::string &data) {
    std::vector<char> buf(data.begin(), data.end());
    const char *p = buf.empty() ? nullptr : buf.data();
    const int32_t answer = lyrx_detect(p, buf.size());
    const lyrx::window_readings vector = lyrx::vector_window_readings();
    for (auto *reading : {lyrx::window_has_tag_bytewise, vector.sse2, vector.avx2}) {
        if (reading) {
            EXPECT_EQ(lyrx::detect_with(reading, p, buf.size()), answer) << lyrx_test::quote(data.c_str());
        }
    }
    return answer;
}

struct detect_case {
    const char *name;
    std::string data;
    int32_t expected;
};

std::string with_nul(const char *s, size_t n) { return std::string(s, n); }

// UTF-16LE / BE of an ASCII text.
std::string utf16_ascii(const std::string &s, bool big_endian) {
    std::string out;
    for (char c : s) {
        if (big_endian) out += '\0';
        out += c;
        if (!big_endian) out += '\0';
    }
    return out;
}

const std::vector<detect_case> &cases() {
    static const std::vector<detect_case> table = {
        // Too short to hold a tag.
        {"empty", "", 0},
        {"one byte", "[", 0},
        {"two bytes", "[0", 0},
        {"time tag cut by the length", "[0:0", 0},
        // The shortest tags.
        {"shortest time tag", "[0:0]", 1},
        {"shortest header tag", "[ti:]", 1},
        // Marks.
        {"mark alone", kBom, 0},
        {"mark and two bytes", kBom + "[0", 0},
        {"mark and time tag", kBom + "[0:0]", 1},
        {"mark twice", kBom + kBom + "[0:0]", 1},
        {"half a mark", "\xEF\xBB[0:0]", 1},
        // Time tags.
        {"centiseconds", "[00:12.34]", 1},
        {"whole seconds", "[00:12]", 1},
        {"point without digits", "[12:34.]", 1},
        {"many digits", "[123456:7890]", 1},
        {"long fraction", "[1:2.3456789]", 1},
        // Runs longer than the few 64-byte pieces read after a "[" anyway.
        {"minutes over many pieces", "[" + std::string(400, '1') + ":2]", 1},
        {"seconds over many pieces", "[1:" + std::string(400, '2') + "]", 1},
        {"fraction over many pieces", "[1:2." + std::string(400, '3') + "]", 1},
        {"point after many pieces", "[1:" + std::string(400, '2') + ".]", 1},
        {"colon ends the sixth piece", "[" + std::string(382, '1') + ":2]", 1},
        {"point ends the sixth piece", "[1:" + std::string(380, '2') + ".]", 1},
        {"values unchecked", "[99:99.99]", 1},
        {"second colon", "[00:12:34]", 0},
        {"second point", "[12:34.56.78]", 0},
        {"space before minutes", "[ 00:12]", 0},
        {"space before colon", "[00 :12]", 0},
        {"space before close", "[00:12 ]", 0},
        {"no minutes", "[:12]", 0},
        {"no seconds", "[12:]", 0},
        {"sign", "[-1:00]", 0},
        {"plus sign", "[+1:00]", 0},
        {"letter in seconds", "[00:1a]", 0},
        {"letter in fraction", "[00:01.5x]", 0},
        {"no close bracket", "[00:01.00 text", 0},
        {"fraction before colon", "[1.5:00]", 0},
        {"full-width digits", "[\xEF\xBC\x90:\xEF\xBC\x90]", 0},
        // Header tags.
        {"title", "[ti:Song]", 1},
        {"artist", "[ar:Band]", 1},
        {"album", "[al:Record]", 1},
        {"author", "[by:someone]", 1},
        {"offset", "[offset:+200]", 1},
        {"upper-case key", "[TI:Song]", 1},
        {"mixed-case key", "[Ti:Song]", 1},
        {"upper-case offset key", "[OFFSET:+5]", 1},
        {"Latin-1 capital before a key", "[\xC9ti:x]", 0},
        {"upper-case offset", "[OFFSET:+200]", 1},
        {"mixed-case offset", "[oFfSeT:x]", 1},
        {"empty value", "[al:]", 1},
        {"value with bracket", "[ti:a[b]", 1},
        {"value with spaces and colons", "[ar: a : b ]", 1},
        {"unknown key length", "[length:03:20]", 0},
        {"unknown key re", "[re:x]", 0},
        {"unknown key ve", "[ve:x]", 0},
        // Letters that share a key letter's low four bits, or its upper-case bit.
        {"unknown keys like ti, ar, by", "[di:x][qr:x][\"y:x][ri:x][ay:x]", 0},
        {"unknown keys like offset", "[/ffset:x][\x8F" "ffset:x][oiset:x]", 0},
        {"key letters above ASCII", "[\xD4\xC9:x][\xE1\xF2:x]", 0},
        {"key without colon", "[ti]", 0},
        {"space before key colon", "[ti :x]", 0},
        {"space before key", "[ ti:x]", 0},
        {"short offset key", "[offse:1]", 0},
        {"letters averaging like a key's", "[sk:x][bq:x][CK:x][cx:x]", 0},
        {"key cut by the length", "[ti:", 0},
        {"key cut before colon", "[offset", 0},
        {"value not closed", "[ti:Song", 0},
        {"line feed in value", "[ti:Song\n]", 0},
        {"carriage return in value", "[ti:Song\r]", 0},
        {"line feed before a later tag", "[ti:x\n[00:01]a", 1},
        // Where the scan looks.
        {"text before the tag", "some words\n[00:01.00]x", 1},
        {"tag in the middle of a line", "abc[00:01]x", 1},
        {"next bracket inside a failed tag", "[[00:01]x", 1},
        {"bracket inside minutes", "[0[0:1]", 1},
        {"close bracket first", "]00:01]", 0},
        {"no bracket", "00:01.00 lyrics", 0},
        {"NUL bytes are ordinary", with_nul("\0\0[0:0]", 7), 1},
        {"NUL inside a tag", with_nul("[0\0:0]", 6), 0},
        // Runs longer than the 64 bytes the window is read in at a time.
        {"long minutes", "[" + std::string(150, '1') + ":2]", 1},
        {"long seconds", "[1:" + std::string(150, '5') + "]", 1},
        {"long fraction", "[1:2." + std::string(150, '0') + "]", 1},
        {"long fraction not closed", "[1:2." + std::string(150, '0') + "x]", 0},
        {"long value", "[ti:" + std::string(400, 'x') + "]", 1},
        {"key's colon ends a 64-byte piece", std::string(60, 'x') + "[ti:]", 1},
        {"offset's colon ends a 64-byte piece", std::string(56, 'x') + "[OFFSET:]", 1},
        {"long value cut by a line feed", "[offset:" + std::string(150, 'x') + "\n]", 0},
        {"many near tags", std::string(100, 'x') + [] { std::string t; for (int k = 0; k < 200; k++) t += "[0[t[ti[1:[1:2.x"; return t; }(), 0},
        // UTF-16 text never matches: a zero byte sits next to every ASCII one.
        {"UTF-16LE with mark", "\xFF\xFE" + utf16_ascii("[ti:a]\n[00:01.00]x", false), 0},
        {"UTF-16BE with mark", "\xFE\xFF" + utf16_ascii("[ti:a]\n[00:01.00]x", true), 0},
        {"UTF-16LE without mark", utf16_ascii("[ar:b]\n[00:01]x", false), 0},
        {"UTF-16BE without mark", utf16_ascii("[offset:1]\n[00:01]x", true), 0},
    };
    return table;
}

TEST(Detect, Table) {
    lyrx_test::in_each_locale([] {
        for (const auto &c : cases()) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(detect_exact(c.data), c.expected) << lyrx_test::quote(c.data.c_str());
            // Text after the case changes nothing, and makes the window long
            // enough for its first piece to be read in place.
            EXPECT_EQ(detect_exact(c.data + std::string(70, 'x')), c.expected) << lyrx_test::quote(c.data.c_str());
        }
    });
}

TEST(Detect, NullPointerWithAnyLength) {
    EXPECT_EQ(lyrx_detect(nullptr, 0), 0);
    EXPECT_EQ(lyrx_detect(nullptr, 5), 0);
    EXPECT_EQ(lyrx_detect(nullptr, UINT64_MAX), 0);
}

TEST(Detect, OnlyTheGivenLengthIsRead) {
    // The bytes after the length would complete a tag; they must not count.
    const char text[] = "[00:01]x";
    EXPECT_EQ(lyrx_detect(text, 6), 0);
    EXPECT_EQ(lyrx_detect(text, 7), 1);
    const char key[] = "[ti:a]";
    EXPECT_EQ(lyrx_detect(key, 4), 0);  // nothing after the key
    EXPECT_EQ(lyrx_detect(key, 5), 0);  // value but no close bracket
    EXPECT_EQ(lyrx_detect(key, 6), 1);
}

// A buffer of `size` filler bytes with `tag` written so that its last byte
// lands at index `last` of the text after the optional mark.
std::string placed(const std::string &tag, size_t last, size_t size, bool mark) {
    std::string text(size, 'x');
    text.replace(last + 1 - tag.size(), tag.size(), tag);
    return mark ? kBom + text : text;
}

struct window_case {
    const char *name;
    std::string tag;
    size_t last;  // index of the tag's last byte, counted after the mark
    int32_t expected;
};

TEST(Detect, WindowEdges) {
    const std::vector<window_case> table = {
        {"time tag closing at the last window byte", "[00:01]", kWindow - 1, 1},
        {"time tag closing at the first byte past the window", "[00:01]", kWindow, 0},
        {"time tag with fraction at the last window byte", "[00:01.]", kWindow - 1, 1},
        {"time tag with fraction past the window", "[00:01.]", kWindow, 0},
        {"header tag closing at the last window byte", "[ti:x]", kWindow - 1, 1},
        {"header tag closing past the window", "[ti:x]", kWindow, 0},
        {"empty header value at the last window byte", "[offset:]", kWindow - 1, 1},
        {"tag starting well past the window", "[0:0]", kWindow + 100, 0},
    };
    for (bool mark : {false, true}) {
        for (size_t total : {kWindow + 200, size_t{20000}}) {
            for (const auto &c : table) {
                SCOPED_TRACE(std::string(c.name) + (mark ? ", after a mark" : "") + ", size " + std::to_string(total));
                EXPECT_EQ(detect_exact(placed(c.tag, c.last, total, mark)), c.expected);
            }
        }
    }
}

TEST(Detect, ShortBufferEndsTheWindow) {
    // A text shorter than the window: the tag closing on its last byte counts.
    for (bool mark : {false, true}) {
        SCOPED_TRACE(mark ? "after a mark" : "no mark");
        EXPECT_EQ(detect_exact(placed("[0:0]", 99, 100, mark)), 1);
        std::string cut = placed("[0:0]", 99, 100, mark);
        cut.pop_back();
        EXPECT_EQ(detect_exact(cut), 0);
    }
}

// Maps a window of readable bytes directly followed by an inaccessible page,
// so any read past the window faults, however large the stated length is.
class GuardedWindow {
public:
#ifdef _WIN32
    explicit GuardedWindow(size_t readable) {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        page_ = info.dwPageSize;
        data_pages_ = (readable + page_ - 1) / page_;
        size_ = (data_pages_ + 1) * page_;
        base_ = static_cast<char *>(VirtualAlloc(nullptr, size_, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        if (!base_) return;
        DWORD old;
        if (!VirtualProtect(base_ + data_pages_ * page_, page_, PAGE_NOACCESS, &old)) {
            VirtualFree(base_, 0, MEM_RELEASE);
            base_ = nullptr;
            return;
        }
        start_ = base_ + data_pages_ * page_ - readable;
    }
    ~GuardedWindow() {
        if (base_) VirtualFree(base_, 0, MEM_RELEASE);
    }
#else
    explicit GuardedWindow(size_t readable) {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        data_pages_ = (readable + page_ - 1) / page_;
        size_ = (data_pages_ + 1) * page_;
        void *m = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) return;
        base_ = static_cast<char *>(m);
        if (mprotect(base_ + data_pages_ * page_, page_, PROT_NONE) != 0) {
            munmap(base_, size_);
            base_ = nullptr;
            return;
        }
        start_ = base_ + data_pages_ * page_ - readable;
    }
    ~GuardedWindow() {
        if (base_) munmap(base_, size_);
    }
#endif
    GuardedWindow(const GuardedWindow &) = delete;
    GuardedWindow &operator=(const GuardedWindow &) = delete;
    char *start() const { return start_; }
    bool ok() const { return base_ != nullptr; }

private:
    size_t page_ = 0, data_pages_ = 0, size_ = 0;
    char *base_ = nullptr;
    char *start_ = nullptr;
};

TEST(Detect, NeverReadsPastTheWindowOfAHugeBuffer) {
    for (bool mark : {false, true}) {
        SCOPED_TRACE(mark ? "after a mark" : "no mark");
        size_t prefix = mark ? 3 : 0;
        GuardedWindow w(prefix + kWindow);
        ASSERT_TRUE(w.ok());
        char *p = w.start();
        if (mark) std::memcpy(p, kBom.data(), 3);
        // No tag anywhere: the scan runs to the very end of the window, and a
        // tag that would need the next byte (an open time tag at the edge)
        // must fail without touching it.
        std::memset(p + prefix, 'x', kWindow);
        std::memcpy(p + prefix + kWindow - 6, "[00:01", 6);
        EXPECT_EQ(lyrx_detect(p, UINT64_MAX), 0);
        std::memcpy(p + prefix + kWindow - 6, "[ti:ab", 6);
        EXPECT_EQ(lyrx_detect(p, UINT64_MAX), 0);
        std::memcpy(p + prefix + kWindow - 6, "[ti:a]", 6);
        EXPECT_EQ(lyrx_detect(p, UINT64_MAX), 1);
    }
}

TEST(Detect, TouchesNoState) {
    // A result with lines, tags, an offset, warnings, an error-free status and
    // a JSON text; then detect on buffers that give 1 and 0.
    const char text[] = " x\n[ti:T]\n[offset:100]\n[00:02]b\n[00:01]a\n";
    int32_t status = lyrx_parse(text, sizeof text - 1);
    ASSERT_EQ(status, LYRX_OK);
    const char *json = lyrx_result_json();
    ASSERT_NE(json, nullptr);
    const std::string json_before = json;
    const std::string before = lyrx_test::dump_result(status);

    lyrx_test::fail_allocation(1, true);
    EXPECT_EQ(lyrx_detect("[00:01]x", 8), 1);
    EXPECT_EQ(lyrx_detect("[ti:x]", 6), 1);
    EXPECT_EQ(lyrx_detect("no tags here", 12), 0);
    EXPECT_EQ(lyrx_detect(nullptr, 3), 0);
    EXPECT_EQ(lyrx_test::allocations_seen(), 0);
    EXPECT_FALSE(lyrx_test::disarm_allocation_failure());

    EXPECT_EQ(lyrx_test::dump_result(status), before);
    EXPECT_EQ(lyrx::g_last_status, LYRX_OK);
    EXPECT_EQ(lyrx::g_json, json);  // the JSON text is still the same allocation
    EXPECT_EQ(json_before, json);
    EXPECT_STREQ(lyrx_last_error(), "");
}

TEST(Detect, LeavesAnErrorTextAlone) {
    ASSERT_EQ(lyrx_parse("[ti:x]", 6), LYRX_ERR_EMPTY);
    EXPECT_EQ(lyrx_detect("[00:01]x", 8), 1);
    EXPECT_EQ(lyrx_detect("nothing", 7), 0);
    EXPECT_STREQ(lyrx_last_error(), "LRC has metadata but no lyric lines");
    EXPECT_EQ(lyrx::g_last_status, LYRX_ERR_EMPTY);
    EXPECT_STREQ(lyrx_meta("ti"), "x");
}

// The key test remembers where a header value ends between positions; a
// literal rescan from every "[" must always agree with it.
int naive_detect(const std::string &s) {
    size_t off = s.size() >= 3 && s.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    if (s.size() - off <= 2) return 0;
    size_t n = std::min<size_t>(s.size() - off, 8192);
    const char *p = s.data() + off;
    auto digits = [&](size_t &j) {
        size_t start = j;
        while (j < n && p[j] >= '0' && p[j] <= '9') j++;
        return j > start;
    };
    for (size_t i = 0; i + 3 <= n; i++) {
        if (p[i] != '[') continue;
        size_t j = i + 1;
        if (digits(j) && j < n && p[j] == ':' && (++j, digits(j)) && j < n) {
            if (p[j] == ']') return 1;
            if (p[j] == '.') {
                j++;
                while (j < n && p[j] >= '0' && p[j] <= '9') j++;
                if (j < n && p[j] == ']') return 1;
            }
        }
        for (const char *key : {"ti:", "ar:", "al:", "by:", "offset:"}) {
            size_t k = std::strlen(key);
            if (i + 1 + k >= n) continue;
            bool match = true;
            for (size_t q = 0; q < k; q++) match = match && std::tolower(static_cast<unsigned char>(p[i + 1 + q])) == key[q];
            if (!match) continue;
            for (size_t q = i + 1 + k; q < n && p[q] != '\r' && p[q] != '\n'; q++)
                if (p[q] == ']') return 1;
        }
    }
    return 0;
}

TEST(Detect, AgreesWithALiteralScanOnGeneratedBuffers) {
    static const char *const kPieces[] = {"[", "]", "ti:", "AR:", "offset:", "0", "12", ":", ".", "\n",
                                          "\r", "x", " ", "\xEF\xBB\xBF", "[ti:", "[by:"};
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    int positives = 0;
    for (int round = 0; round < 20000; round++) {
        std::string s;
        // Every fourth buffer spans a few 64-byte pieces.
        int pieces = static_cast<int>(next() >> 24) % (round % 4 == 0 ? 96 : 24);
        for (int k = 0; k < pieces; k++) s += kPieces[(next() >> 16) % (sizeof kPieces / sizeof *kPieces)];
        int want = naive_detect(s);
        positives += want;
        ASSERT_EQ(detect_exact(s), want) << lyrx_test::quote(s.c_str());
    }
    // Both answers must occur, or the comparison proves nothing.
    EXPECT_GT(positives, 1000);
    EXPECT_LT(positives, 19000);
}

}  // namespace
