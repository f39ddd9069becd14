// A second, independent reader of LRC text, written as literally as possible
// from the format rules (scanner states, copies, decimal arithmetic, tag
// meaning, offset, sort, status and warning texts), and a differential test
// that feeds tens of thousands of generated inputs to both readers and compares
// the complete result dump byte for byte.
//
// The model deliberately favours plain, obviously-correct code over speed: it
// is the oracle, so it must be easy to check by reading.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dump.hpp"
#include "lyrx.h"

namespace {
namespace ref {

constexpr std::size_t kTextLimit = 511;  // a 512-byte buffer minus its terminator
constexpr int32_t kMax = 2147483647;
constexpr int32_t kMin = -2147483647 - 1;

// Cuts a warning or error text to 511 bytes. When the cut would split a UTF-8
// character, the text ends before that character instead.
std::string cut_text(const std::string &s) {
    if (s.size() <= kTextLimit) return s;
    std::size_t cut = kTextLimit;
    // Find the first byte of the last character that starts inside the kept part.
    std::size_t start = cut;
    int back = 0;
    while (start > 0 && back < 3 && (static_cast<unsigned char>(s[start - 1]) & 0xC0) == 0x80) {
        --start;
        ++back;
    }
    if (start > 0) {
        const auto lead = static_cast<unsigned char>(s[start - 1]);
        std::size_t need = 1;
        if (lead >= 0xC0 && lead <= 0xDF) need = 2;
        if (lead >= 0xE0 && lead <= 0xEF) need = 3;
        if (lead >= 0xF0 && lead <= 0xF7) need = 4;
        const std::size_t have = cut - (start - 1);
        if (need > 1 && have < need) cut = start - 1;
    }
    return s.substr(0, cut);
}

int32_t saturate(int64_t v) {
    if (v > kMax) return kMax;
    if (v < kMin) return kMin;
    return static_cast<int32_t>(v);
}

// The bytes up to the first NUL: what a copy "as a C string" keeps.
std::string c_string(const std::string &bytes) { return bytes.substr(0, bytes.find('\0')); }

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

struct Line {
    int32_t start;
    std::string text;
    int32_t seq;
};

struct Entry {
    std::string tag;
    std::string text;
};

struct Result {
    int32_t status = 0;
    std::string error;
    std::optional<std::string> ti, ar, al, by;
    bool has_offset = false;
    int32_t offset = 0;
    std::vector<Line> lines;
    std::vector<std::string> warnings;

    void warn(const std::string &w) { warnings.push_back(cut_text(w)); }
};

enum class St { LineStart, InTag, InText };

std::vector<Entry> scan(const unsigned char *p, uint64_t n, Result &r) {
    std::vector<Entry> entries;
    if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
        p += 3;
        n -= 3;
    }
    St st = St::LineStart;
    std::string buf;                   // token_buf
    std::vector<std::string> pending;  // pending_tags
    uint64_t pos = 0;

    auto flush = [&] {
        for (const std::string &tag : pending) entries.push_back({c_string(tag), c_string(buf)});
        pending.clear();
        buf.clear();
    };
    auto skip_rest_of_line = [&] {
        while (pos < n && p[pos] != '\r' && p[pos] != '\n') ++pos;
    };
    auto bare = [&](uint64_t at) { r.warn("bare: skipped text before '[' at pos " + std::to_string(at)); };

    for (;;) {
        if (pos < n && p[pos] == '\\') {
            if (pos + 1 == n) {
                r.warn("escape: trailing backslash at EOF");
                return entries;  // the unfinished group is dropped
            }
            const char escaped = static_cast<char>(p[pos + 1]);
            if (st == St::LineStart) {
                bare(pos + 1);
                pos += 2;
                skip_rest_of_line();
            } else {
                buf += escaped;
                pos += 2;
            }
            continue;
        }
        if (pos == n) {
            if (st == St::InTag) r.warn("tag: unterminated at pos " + std::to_string(n));
            if (st == St::InText) flush();
            return entries;
        }
        const unsigned char b = p[pos];
        const bool eol = b == '\r' || b == '\n';
        switch (st) {
            case St::LineStart:
                if (b == '[') {
                    ++pos;
                    st = St::InTag;
                } else if (eol) {
                    ++pos;
                } else {
                    bare(pos);
                    skip_rest_of_line();
                }
                break;
            case St::InTag:
                if (b == ']') {
                    pending.push_back(buf);
                    buf.clear();
                    ++pos;
                    st = St::InText;
                } else if (eol) {
                    r.warn("tag: unterminated at pos " + std::to_string(pos));
                    pending.clear();
                    buf.clear();
                    ++pos;
                    st = St::LineStart;
                } else {
                    buf += static_cast<char>(b);
                    ++pos;
                }
                break;
            case St::InText:
                if (eol) {
                    flush();
                    ++pos;
                    st = St::LineStart;
                } else if (b == '[') {
                    if (!buf.empty()) flush();
                    ++pos;
                    st = St::InTag;
                } else {
                    buf += static_cast<char>(b);
                    ++pos;
                }
                break;
        }
    }
}

// One statement per operation, so no compiler may fuse a multiply and an add.
bool parse_decimal(std::string_view s, double *out) {
    if (s.empty()) return false;
    std::size_t i = 0;
    int digits = 0;
    double value = 0.0;
    while (i < s.size() && is_digit(s[i])) {
        value = value * 10.0;
        value = value + static_cast<double>(s[i] - '0');
        ++i;
        ++digits;
    }
    double fraction = 0.0;
    double scale = 0.1;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && is_digit(s[i])) {
            const double term = static_cast<double>(s[i] - '0') * scale;
            fraction = fraction + term;
            scale = scale * 0.1;
            ++i;
            ++digits;
        }
    }
    if (i != s.size() || digits == 0) return false;
    *out = value + fraction;
    return true;
}

std::optional<int32_t> time_tag(const std::string &tag) {
    if (std::count(tag.begin(), tag.end(), ':') != 1) return std::nullopt;
    const std::size_t colon = tag.find(':');
    const std::string_view minutes(tag.data(), colon);
    const std::string_view seconds(tag.data() + colon + 1, tag.size() - colon - 1);
    if (minutes.empty() || !std::all_of(minutes.begin(), minutes.end(), is_digit)) return std::nullopt;
    double m = 0.0;
    double s = 0.0;
    if (seconds.empty() || !parse_decimal(seconds, &s)) return std::nullopt;
    parse_decimal(minutes, &m);
    double t = m * 60.0;
    t = t * 1000.0;
    const double sec_ms = s * 1000.0;
    t = t + sec_ms;
    t = t + 0.5;
    if (t > 2147483647.0) return kMax;
    return static_cast<int32_t>(t);
}

void set_meta(std::optional<std::string> &slot, const char *name, const std::string &value, Result &r) {
    if (slot) {
        if (*slot != value) r.warn("meta: conflicting " + std::string(name) + " ('" + *slot + "' vs '" + value + "')");
        return;
    }
    slot = value;
}

// The offset text considered last without conflict (a plain flag and string:
// g++ 12 misreports std::optional<std::string> as maybe-uninitialized here).
struct OffsetText {
    bool set = false;
    std::string text;
};

void offset_rule(const std::string &v, OffsetText &offset_text, Result &r) {
    if (offset_text.set) {
        if (offset_text.text != v) {
            r.warn("meta: conflicting offset ('" + offset_text.text + "' vs '" + v + "')");
            return;
        }
        offset_text.set = false;
    }
    offset_text.set = true;
    offset_text.text = v;
    if (v.empty()) {
        r.warn("meta: unparseable offset '" + v + "'");
        return;
    }
    bool negative = false;
    std::string_view rest(v);
    if (rest[0] == '-') {
        negative = true;
        rest.remove_prefix(1);
    } else if (rest[0] == '+') {
        rest.remove_prefix(1);
    }
    double x = 0.0;
    if (rest.empty() || !parse_decimal(rest, &x)) {
        r.warn("meta: unparseable offset '" + v + "'");
        return;
    }
    if (negative) x = -x;
    int32_t ms = 0;
    if (x > 2147483647.0)
        ms = kMax;
    else if (x < -2147483648.0)
        ms = kMin;
    else if (x < 0)
        ms = static_cast<int32_t>(x - 0.5);
    else
        ms = static_cast<int32_t>(x + 0.5);
    r.offset = ms;
    r.has_offset = true;
}

void interpret(const std::vector<Entry> &entries, Result &r) {
    bool enhanced_warned = false;
    int32_t next_seq = 0;
    OffsetText offset_text;
    for (const Entry &e : entries) {
        if (!enhanced_warned && e.text.find('<') != std::string::npos && e.text.find('>') != std::string::npos) {
            r.warn("enhanced: inline <mm:ss> left as literal");
            enhanced_warned = true;
        }
        if (const auto t = time_tag(e.tag)) {
            r.lines.push_back({*t, e.text, next_seq++});
            continue;
        }
        std::size_t letters = 0;
        while (letters < e.tag.size() && is_letter(e.tag[letters])) ++letters;
        if (letters == 0 || letters == e.tag.size() || e.tag[letters] != ':') continue;
        std::string key = e.tag.substr(0, std::min<std::size_t>(letters, 63));
        for (char &c : key) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        const std::string value = e.tag.substr(letters + 1);
        if (key == "ti") set_meta(r.ti, "ti", value, r);
        else if (key == "ar") set_meta(r.ar, "ar", value, r);
        else if (key == "al") set_meta(r.al, "al", value, r);
        else if (key == "by") set_meta(r.by, "by", value, r);
        else if (key == "offset") offset_rule(value, offset_text, r);
    }
    if (!r.lines.empty()) {
        if (r.has_offset)
            for (Line &l : r.lines) l.start = saturate(static_cast<int64_t>(l.start) - r.offset);
        std::sort(r.lines.begin(), r.lines.end(), [](const Line &a, const Line &b) {
            if (a.start != b.start) return a.start < b.start;
            return a.seq < b.seq;
        });
        r.status = LYRX_OK;
    } else if (r.ti || r.ar || r.al || r.by || r.has_offset) {
        r.error = "LRC has metadata but no lyric lines";
        r.status = LYRX_ERR_EMPTY;
    } else {
        r.error = "Invalid or empty LRC text. Can't find any lyrics.";
        r.status = LYRX_ERR_NO_LYRICS;
    }
}

Result parse(const char *text, uint64_t length) {
    Result r;
    if (text == nullptr) {
        r.error = "null text";
        r.status = LYRX_ERR_NULL;
    } else if (length == 0) {
        r.error = "empty input";
        r.status = LYRX_ERR_EMPTY;
    } else {
        interpret(scan(reinterpret_cast<const unsigned char *>(text), length, r), r);
    }
    return r;
}

std::string quote_opt(const std::optional<std::string> &s) { return lyrx_test::quote(s ? s->c_str() : nullptr); }

// Same layout as lyrx_test::dump_result.
std::string dump(const Result &r) {
    std::string o;
    o += "status " + std::to_string(r.status) + "\n";
    o += "error " + lyrx_test::quote(r.error.c_str()) + "\n";
    o += "ti " + quote_opt(r.ti) + "\n";
    o += "ar " + quote_opt(r.ar) + "\n";
    o += "al " + quote_opt(r.al) + "\n";
    o += "by " + quote_opt(r.by) + "\n";
    o += "offset " + std::to_string(r.has_offset ? r.offset : 0) + "\n";
    o += "lines " + std::to_string(r.lines.size()) + "\n";
    for (std::size_t i = 0; i < r.lines.size(); ++i) {
        const int32_t s = r.lines[i].start;
        int32_t end = saturate(static_cast<int64_t>(s) + 3000);
        if (i + 1 < r.lines.size() && r.lines[i + 1].start > s) end = r.lines[i + 1].start;
        o += "  " + std::to_string(s) + " " + std::to_string(end) + " " + lyrx_test::quote(r.lines[i].text.c_str()) + "\n";
    }
    o += "warnings " + std::to_string(r.warnings.size()) + "\n";
    for (const std::string &w : r.warnings) o += "  " + lyrx_test::quote(w.c_str()) + "\n";
    return o;
}

}  // namespace ref

// ---------------------------------------------------------------------------
// Input generation. A fixed-seed splitmix64, so every run and every platform
// sees the same inputs (the standard distributions are not portable).

class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
    bool chance(unsigned percent) { return below(100) < percent; }
    template <typename T, std::size_t N>
    const T &pick(const T (&items)[N]) {
        return items[below(N)];
    }

private:
    uint64_t state_;
};

std::string digits(Rng &rng, std::size_t count) {
    std::string s;
    for (std::size_t i = 0; i < count; ++i) s += static_cast<char>('0' + rng.below(10));
    return s;
}

std::string high_byte(Rng &rng) { return std::string(1, static_cast<char>(0x80 + rng.below(0x80))); }

// One piece of the small, syntax-heavy alphabet.
std::string soup_token(Rng &rng) {
    static const char *const fixed[] = {
        "[", "[", "[", "[", "[", "]", "]", "]", "]", "\\", "\\", "\\", "\r", "\n", "\n", "\r\n", ":", ":", ":",
        ".", ".", "ti:", "offset:", "-", "+", "<", ">", " ", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "a",
        "x", "ar:", "TI:", "by:", "al:", "OFFSET:", "00:01", "[00:01]", "[00:02.5]", "\xEF\xBB\xBF"};
    switch (rng.below(12)) {
        case 0:
        case 1: return digits(rng, 1);
        case 2: return high_byte(rng);
        case 3: return std::string(1, '\0');
        default: return rng.pick(fixed);
    }
}

std::string soup_input(Rng &rng) {
    std::string s;
    if (rng.chance(10)) s += "\xEF\xBB\xBF";
    const std::size_t n = rng.below(41);
    for (std::size_t i = 0; i < n; ++i) s += soup_token(rng);
    return s;
}

// Long enough to push a conflict warning past the 511-byte cut, made of
// characters of every UTF-8 length plus stray high bytes.
std::string long_value(Rng &rng) {
    static const char *const pieces[] = {"a", "b", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", " "};
    std::string s;
    const std::size_t n = 240 + rng.below(330);
    while (s.size() < n) s += rng.chance(4) ? high_byte(rng) : std::string(rng.pick(pieces));
    return s;
}

std::string time_tag_text(Rng &rng) {
    static const char *const special[] = {"35791:23.647", "35791:23.648", "35791:20",   "00:59.9995", "00:00.0005",
                                          "00:00.0004",   "00:02.5005",   "00:01.9835", "00:07.9095", "00:75",
                                          "100:00",       "1:2",          "00:.5",      "00:5.",      "00:",
                                          ":01",          "00:1a",        "00:01.2.3",  "00:01:02",   " 00:01",
                                          "00:01 ",       "-1:00",        "1.5:00",     "00:."};
    if (rng.chance(15)) return rng.pick(special);
    std::string m = digits(rng, rng.chance(3) ? 12 + rng.below(400) : 1 + rng.below(3));
    std::string s = digits(rng, rng.below(3));
    if (rng.chance(70)) s += "." + digits(rng, rng.below(6));
    return m + ":" + s;
}

std::string meta_tag_text(Rng &rng) {
    static const char *const keys[] = {"ti", "ar", "al", "by", "TI", "Ar", "aL", "BY", "re", "length", "t i", "x", "ti "};
    static const char *const values[] = {"", "a", "b", " x ", "a:b", "Song", "\xC3\xA9", "<x>"};
    const std::string value = rng.chance(6) ? long_value(rng) : std::string(rng.pick(values));
    return std::string(rng.pick(keys)) + ":" + value;
}

std::string offset_tag_text(Rng &rng) {
    static const char *const keys[] = {"offset", "offset", "OFFSET", "Offset", "offse"};
    static const char *const values[] = {"500", "-500", "+500", "1.5", "-1.5", "2.5", "0.4999", ".5", "0", "abc", "",
                                         "+", "-", " 500", "99999999999", "-99999999999", "-2147483648", "2147483647",
                                         "-2147483649", "-5000", "1e3", "5.", "-0", "1.2.3"};
    std::string value = rng.chance(3) ? long_value(rng) : std::string(rng.pick(values));
    if (rng.chance(3)) value = digits(rng, 300 + rng.below(400));
    return std::string(rng.pick(keys)) + ":" + value;
}

std::string structured_input(Rng &rng) {
    static const char *const others[] = {"", "re:x", "length:03:20", "la:en", "a\\]b", "[", "x y:z"};
    static const char *const texts[] = {"",      "a",        "Hello",          " x ",        "<00:01.50>Hel<00:02>lo",
                                        "a<b",   ">",        "\xC3\xA9\xE2\x82\xAC", "a]b", "\\[x\\]",
                                        "t\\\nu", "  a  ",   "b\\",            "q\\\\"};
    static const char *const ends[] = {"\n", "\n", "\r\n", "\r", "\n\r", "\n\n", "\r\r\n", "\n \n"};
    std::string s;
    if (rng.chance(15)) s += "\xEF\xBB\xBF";
    const std::size_t lines = rng.below(9);
    for (std::size_t l = 0; l < lines; ++l) {
        if (rng.chance(5)) s += rng.chance(50) ? " " : "\\";
        const std::size_t tags = rng.chance(10) ? 0 : 1 + rng.below(rng.chance(20) ? 4 : 2);
        for (std::size_t t = 0; t < tags; ++t) {
            const std::size_t kind = rng.below(100);
            std::string body;
            if (kind < 50) body = time_tag_text(rng);
            else if (kind < 78) body = meta_tag_text(rng);
            else if (kind < 92) body = offset_tag_text(rng);
            else body = rng.pick(others);
            s += "[" + body;
            if (!rng.chance(3)) s += "]";
            if (rng.chance(5)) s += " ";
        }
        s += rng.chance(4) ? long_value(rng) : std::string(rng.pick(texts));
        if (l + 1 < lines || rng.chance(60)) s += rng.pick(ends);
    }
    // A few random edits reach the paths no template writes.
    if (rng.chance(30)) {
        const std::size_t edits = 1 + rng.below(3);
        for (std::size_t e = 0; e < edits; ++e) {
            const std::size_t at = s.empty() ? 0 : rng.below(s.size() + 1);
            switch (rng.below(3)) {
                case 0: s.insert(at, soup_token(rng)); break;
                case 1:
                    if (at < s.size()) s.erase(at, 1);
                    break;
                default:
                    if (at < s.size()) s.replace(at, 1, soup_token(rng));
                    break;
            }
        }
    }
    return s;
}

std::string hex(const std::string &s) {
    std::string out;
    char buf[4];
    for (unsigned char c : s) {
        std::snprintf(buf, sizeof buf, "%02X ", c);
        out += buf;
    }
    return out.empty() ? "(empty)" : out;
}

// Parses from a heap block of exactly the input's size, so a read past the
// end is caught by the address sanitizer rather than hitting std::string's NUL.
std::string library_dump(const std::string &input) {
    const std::size_t n = input.size();
    std::unique_ptr<char[]> block(new char[n == 0 ? 1 : n]);
    std::copy(input.begin(), input.end(), block.get());
    const int32_t status = lyrx_parse(block.get(), n);
    return lyrx_test::dump_result(status);
}

// What the model saw over a stream of inputs. The differential comparison is
// only as good as its inputs: if a generator change stopped producing some
// feature, the comparison would pass vacuously, so each run checks its reach.
struct Reach {
    int status[3] = {};
    int bare = 0, unterminated = 0, trailing = 0, enhanced = 0, conflict = 0, unparseable = 0;
    int cut_full = 0, cut_mended = 0, start_max = 0, start_negative = 0, multi_line = 0, offset = 0;

    void tally(const ref::Result &r) {
        if (r.status >= 0 && r.status < 3) ++status[r.status];
        for (const std::string &w : r.warnings) {
            if (w.rfind("bare:", 0) == 0) ++bare;
            if (w.rfind("tag:", 0) == 0) ++unterminated;
            if (w.rfind("escape:", 0) == 0) ++trailing;
            if (w.rfind("enhanced:", 0) == 0) ++enhanced;
            if (w.rfind("meta: conflicting", 0) == 0) ++conflict;
            if (w.rfind("meta: unparseable", 0) == 0) ++unparseable;
            if (w.size() == ref::kTextLimit) ++cut_full;
            if (w.size() >= ref::kTextLimit - 3 && w.size() < ref::kTextLimit) ++cut_mended;
        }
        for (const ref::Line &l : r.lines) {
            if (l.start == ref::kMax) ++start_max;
            if (l.start < 0) ++start_negative;
        }
        if (r.lines.size() > 1) ++multi_line;
        if (r.has_offset) ++offset;
    }
};

::testing::AssertionResult same_as_model(const std::string &input, Reach *reach = nullptr) {
    const ref::Result model = ref::parse(input.data(), input.size());
    if (reach) reach->tally(model);
    const std::string expected = ref::dump(model);
    const std::string actual = library_dump(input);
    if (expected == actual) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "input (" << input.size() << " bytes): " << hex(input)
                                         << "\n--- model ---\n" << expected << "--- library ---\n" << actual;
}

// Runs one generator and stops at the first difference, so the report names
// exactly one input.
void run_differential(uint64_t seed, int count, std::string (*generate)(Rng &), Reach &reach) {
    Rng rng(seed);
    for (int i = 0; i < count; ++i) {
        const std::string input = generate(rng);
        const auto same = same_as_model(input, &reach);
        ASSERT_TRUE(same) << "generated input #" << i << " of seed " << seed;
    }
}

TEST(Differential, SyntaxSoupMatchesModel) {
    Reach reach;
    run_differential(0x6C7972785F736F75ull, 30000, soup_input, reach);
    for (int code = 0; code < 3; ++code) EXPECT_GE(reach.status[code], 500) << "status " << code;
    EXPECT_GE(reach.bare, 1000);
    EXPECT_GE(reach.unterminated, 1000);
    EXPECT_GE(reach.trailing, 100);
    EXPECT_GE(reach.multi_line, 200);
}

TEST(Differential, StructuredLinesMatchModel) {
    Reach reach;
    run_differential(0x6C797278535452ull, 20000, structured_input, reach);
    for (int code = 0; code < 3; ++code) EXPECT_GE(reach.status[code], 1000) << "status " << code;
    EXPECT_GE(reach.bare, 1000);
    EXPECT_GE(reach.unterminated, 1000);
    EXPECT_GE(reach.trailing, 200);
    EXPECT_GE(reach.enhanced, 1000);
    EXPECT_GE(reach.conflict, 1000);
    EXPECT_GE(reach.unparseable, 1000);
    EXPECT_GE(reach.cut_full, 100);
    EXPECT_GE(reach.cut_mended, 50);
    EXPECT_GE(reach.start_max, 500);
    EXPECT_GE(reach.start_negative, 500);
    EXPECT_GE(reach.multi_line, 1000);
    EXPECT_GE(reach.offset, 1000);
}

// Hand-picked inputs the generators reach only by luck: exact known
// values and the boundaries of every saturation and cut.
TEST(Differential, BoundaryInputsMatchModel) {
    const std::string long_a(600, 'a');
    const std::string euro_run = [] {
        std::string s;
        for (int i = 0; i < 200; ++i) s += "\xE2\x82\xAC";
        return s;
    }();
    const std::string inputs[] = {
        "[00:01]a\n[offset:-2147483648]",
        "[35791:23.647]a\n[offset:-1]",
        "[35791:23.647]a\n[35791:23.647]b",
        "[35791:23.648]a",
        "[offset:2147483647]\n[00:00]a",
        std::string("[ti:") + long_a + "]\n[ti:b]",
        std::string("[ti:a]\n[ti:") + euro_run + "]",
        std::string("[ti:ab]\n[ti:") + euro_run + "]",
        std::string("[ti:abc]\n[ti:") + euro_run + "]",
        std::string("[offset:") + euro_run + "]",
        std::string("[offset:x") + euro_run + "]",
        std::string("[offset:xx") + euro_run + "]",
        std::string("[00:") + std::string(1000, '9') + "]x",
        std::string(1000, '9') + ":00",
        std::string("[") + std::string(1000, '9') + ":00]x",
        std::string("[offset:") + std::string(1000, '9') + "]\n[00:01]a",
        std::string("[offset:-") + std::string(1000, '9') + "]\n[00:01]a",
        std::string("[") + std::string(70, 'a') + ":x]\n[00:01]a",
        // "meta: conflicting ti ('a' vs '" is 30 bytes, so value byte k lands
        // at warning byte 30 + k; bytes 508..510 are the last kept ones.
        std::string("[ti:a]\n[ti:") + std::string(480, 'b') + "\xFF" + std::string(40, 'b') + "]",
        std::string("[ti:a]\n[ti:") + std::string(479, 'b') + "\xF8\x80" + std::string(40, 'b') + "]",
        std::string("[ti:a]\n[ti:") + std::string(480, 'b') + "\xC3" + std::string(40, 'b') + "]",
        std::string("[ti:a]\n[ti:") + std::string(478, 'b') + "\xF0\x9F\x98\x80" + std::string(40, 'b') + "]",
        std::string("[ti:a]\n[ti:") + std::string(477, 'b') + "\x80\x80\x80\x80\x80" + std::string(40, 'b') + "]",
    };
    for (const std::string &input : inputs) EXPECT_TRUE(same_as_model(input));
    // Conflicts on both sides of the lengths up to which a warning is copied
    // in chunks: a value of 431 bytes after a first value "a", a first value of
    // 419 bytes after "[ti:" (415 after "[offset:"), whose head is then reused.
    for (size_t n : {400, 415, 416, 419, 420, 431, 432, 440}) {
        EXPECT_TRUE(same_as_model("[ti:a]\n[ti:" + std::string(n, 'b') + "]"));
        EXPECT_TRUE(same_as_model("[ti:" + std::string(n, 'b') + "]\n[ti:c]\n[TI:" + std::string(n - 400, 'd') + "]"));
        EXPECT_TRUE(same_as_model("[offset:" + std::string(n, '1') + "]\n[offset:2]\n[offset:" + std::string(n, '3') + "]"));
    }
    // Long warnings of many lengths, some blocks' worth.
    std::string many = "[ti:a]";
    for (size_t i = 0; i < 100; i++) many += "\n[ti:" + std::string(380 + i % 60, 'b') + "]";
    EXPECT_TRUE(same_as_model(many));
}

// Our golden inputs and the shared corpus of real files, through both readers.
TEST(Differential, CaseAndCorpusFilesMatchModel) {
    int files = 0;
    for (const char *dir : {LYRX_CASES_DIR, LYRX_CORPUS_DIR}) {
        std::error_code ec;
        if (!std::filesystem::is_directory(dir, ec)) continue;
        for (const auto &e : std::filesystem::directory_iterator(dir, ec)) {
            if (!e.is_regular_file() || e.path().extension() != ".lrc") continue;
            SCOPED_TRACE(e.path().filename().string());
            EXPECT_TRUE(same_as_model(lyrx_test::read_file(e.path().string())));
            ++files;
        }
    }
    EXPECT_GE(files, 10);  // at least the golden cases
}

}  // namespace
