// Generators of the benchmark inputs. A PRNG of our own, so that the bytes do
// not depend on the standard library's distributions.
#include "workloads.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <system_error>

#ifndef LYRX_CORPUS_DIR
#define LYRX_CORPUS_DIR ""
#endif

namespace lyrx_bench {
namespace {

constexpr std::size_t MiB = std::size_t{1} << 20;

// splitmix64
class Rng {
public:
    explicit Rng(std::uint64_t seed) : s_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (s_ += 0x9E3779B97F4A7C15u);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
        return z ^ (z >> 31);
    }
    unsigned below(unsigned n) { return static_cast<unsigned>(next() % n); }
    template <std::size_t N>
    const char *pick(const char *const (&list)[N]) { return list[below(N)]; }

private:
    std::uint64_t s_;
};

const char *const kLatin[] = {"love",  "night",    "river", "heart",   "dancing", "under",  "the",    "city",
                              "lights", "we",      "were",  "young",   "forever", "über",   "corazón", "été",
                              "mañana", "never",   "let",   "me",      "go",      "fire",   "rain",   "whisper",
                              "golden", "hours,",  "(oh)",  "yeah",    "don't",   "stay",   "with",   "you"};
const char *const kCjk[] = {"夜空", "星が", "光る", "我们的", "故事", "风吹过", "心", "愛してる",
                            "さよなら", "明日", "花火", "永远", "雨の中", "你好", "世界", "사랑해"};

// Appends words until at least `bytes` were added; `cjk` is the percentage of CJK words.
void add_words(std::string &s, Rng &r, std::size_t bytes, unsigned cjk) {
    const std::size_t end = s.size() + bytes;
    bool first = true;
    while (s.size() < end) {
        if (r.below(100) < cjk) {
            s += r.pick(kCjk);
        } else {
            if (!first) s += ' ';
            s += r.pick(kLatin);
        }
        first = false;
    }
}

// "[mm:ss.xx]", or "<mm:ss.xx>" for a word time.
void add_time(std::string &s, char open, unsigned ms, char close) {
    char buf[32];
    const int n = std::snprintf(buf, sizeof buf, "%c%02u:%02u.%02u%c", open, ms / 60000, ms / 1000 % 60,
                                ms / 10 % 100, close);
    s.append(buf, static_cast<std::size_t>(n));
}

void add_header(std::string &s, const char *key, const std::string &value, const char *eol) {
    s += '[';
    s += key;
    s += ':';
    s += value;
    s += ']';
    s += eol;
}

void add_headers(std::string &s, Rng &r, unsigned cjk, const char *eol) {
    std::string v;
    add_words(v, r, 14, cjk);
    add_header(s, "ti", v, eol);
    v.clear();
    add_words(v, r, 10, cjk);
    add_header(s, "ar", v, eol);
    v.clear();
    add_words(v, r, 12, cjk);
    add_header(s, "al", v, eol);
    add_header(s, "by", "lyrx bench", eol);
    char off[16];
    std::snprintf(off, sizeof off, "%+d", static_cast<int>(r.below(1001)) - 500);
    add_header(s, "offset", off, eol);
}

std::string word_timed_song(std::uint64_t seed) {
    Rng r(seed);
    std::string s;
    add_headers(s, r, 30, "\n");
    unsigned ms = 800 + r.below(10000);
    for (unsigned line = 0, lines = 40 + r.below(21); line < lines; ++line) {
        add_time(s, '[', ms, ']');
        for (unsigned w = 0, words = 4 + r.below(5); w < words; ++w) {
            add_time(s, '<', ms, '>');
            add_words(s, r, 1, 30);
            s += ' ';
            ms += 200 + r.below(400);
        }
        s += '\n';
        ms += 500 + r.below(2000);
    }
    return s;
}

std::string songs(std::size_t bytes) {
    std::string s;
    s.reserve(bytes);
    for (std::uint64_t seed = 100;; ++seed) {
        const std::string song = typical_song(seed, seed % 3 == 0);
        if (s.size() + song.size() > bytes) return s;
        s += song;
    }
}

// Tags of 7 bytes ("[mm:ss]", random times, so the sort has work) and one text.
std::string tags_line(std::size_t count) {
    Rng r(7);
    std::string s;
    s.reserve(count * 7 + 1);
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned m = r.below(100), sec = r.below(60);
        const char tag[7] = {'[', char('0' + m / 10), char('0' + m % 10), ':', char('0' + sec / 10),
                             char('0' + sec % 10), ']'};
        s.append(tag, sizeof tag);
    }
    return s += 'x';
}

// One line with a time tag, then ordinary words up to the size.
std::string plain_text(std::size_t bytes) {
    Rng r(11);
    std::string s = "[00:01.00]";
    s.reserve(bytes);
    add_words(s, r, bytes - s.size() - 32, 30);
    return s;
}

// Title and offset tags, each with a value unlike the one before it.
std::string headers(std::size_t bytes, std::size_t count) {
    Rng r(13);
    std::string s;
    s.reserve(bytes);
    char line[64];
    for (std::size_t i = 0; i < count; ++i) {
        const int n = i % 2 == 0 ? std::snprintf(line, sizeof line, "[ti:Title %zu]\n", i)
                                 : std::snprintf(line, sizeof line, "[offset:%+d]\n",
                                                 static_cast<int>(r.below(200001)) - 100000);
        if (s.size() + static_cast<std::size_t>(n) > bytes) break;
        s.append(line, static_cast<std::size_t>(n));
    }
    return s;
}

// Extreme offsets and times: minutes and seconds have no bound on their digits.
std::string huge_values(std::size_t bytes) {
    const std::string long_digits(400, '9');
    const std::string lines[] = {
        "[offset:+2147483647]",
        "[offset:-2147483648]",
        "[offset:99999999999]",
        "[offset:-99999999999.5]",
        "[99999999:59.99]huge minutes",
        "[2147483647:59.999]",
        "[35791:23.647]the last millisecond of int32",
        "[" + long_digits + ":00]minutes beyond a double",
        "[00:" + long_digits + "." + long_digits + "]seconds beyond a double",
        "[00:99999999999999999999.5]",
        "[0:0.000000000000000000000000000001]",
        "[00:.5][12:34.][0:0]short forms",
        "[00:75]seventy-five seconds",
    };
    Rng r(17);
    std::string s;
    s.reserve(bytes);
    for (;;) {
        const std::string &line = lines[r.below(std::size(lines))];
        const char *eol = r.below(2) ? "\r\n" : "\n";
        if (s.size() + line.size() + 2 > bytes) return s;
        s += line;
        s += eol;
    }
}

struct Family {
    const char *name;
    std::string (*make)(std::size_t bytes);
};

const Family kPathological[] = {
    {"brackets", [](std::size_t n) { return std::string(n, '['); }},
    {"tags_one_line", [](std::size_t n) { return tags_line((n - 1) / 7); }},
    {"backslashes", [](std::size_t n) { return std::string(n, '\\'); }},
    // The same after a time tag: the backslashes are escapes in a lyric text, not a skipped line.
    {"escaped_text", [](std::size_t n) { return std::string("[00:01]").append((n - 8) & ~std::size_t{1}, '\\'); }},
    {"empty_lines", [](std::size_t n) { return std::string(n, '\n'); }},
    {"plain_text", plain_text},
    {"headers", [](std::size_t n) { return headers(n, n); }},
    {"huge_values", huge_values},
    // Near tags of both shapes, in about half the 64-byte pieces and at a
    // random place in each: every "[" may begin a time tag or a key and none
    // does, and no branch can guess which pieces hold one. The slowest
    // windows known for lyrx_detect.
    {"almost_tags",
     [](std::size_t n) {
         static const std::string kNear = "[0:[ti:[offset:";
         Rng r(19);
         std::string s;
         s.reserve(n);
         while (s.size() + 64 <= n) {
             std::string piece(64, 'y');
             if (r.below(2) != 0) piece.replace(r.below(static_cast<unsigned>(64 - kNear.size())), kNear.size(), kNear);
             s += piece;
         }
         return s;
     }},
};

}  // namespace

std::string typical_song(std::uint64_t seed, bool crlf) {
    static const unsigned kCjkShare[] = {10, 50, 90};
    Rng r(seed);
    const char *eol = crlf ? "\r\n" : "\n";
    const unsigned cjk = kCjkShare[r.below(3)];
    std::string s;
    s.reserve(4096);
    add_headers(s, r, cjk, eol);
    const unsigned lines = 40 + r.below(41);
    // Tags, text and line end of every line together: each song lands near 3.5 KB.
    const std::size_t per_line = 3400 / lines;
    unsigned ms = 500 + r.below(20000);
    for (unsigned i = 0; i < lines; ++i) {
        // A chorus line carries the times of its repeats too.
        const unsigned tags = r.below(6) == 0 ? 2 + r.below(2) : 1;
        for (unsigned k = 0; k < tags; ++k) add_time(s, '[', ms + k * (45000 + r.below(30000)), ']');
        const std::size_t used = tags * 10 + std::strlen(eol);
        if (r.below(12) != 0) add_words(s, r, per_line > used + 4 ? per_line - used : 4, cjk);
        s += eol;
        ms += 1500 + r.below(4000);
    }
    return s;
}

const std::vector<Workload> &workloads() {
    static const std::vector<Workload> table = [] {
        std::vector<Workload> t = {
            {"typical_lf", [] { return typical_song(1, false); }, kSmall | kDetect | kWrite},
            // The same song with CR LF line ends, as the peer comparison's fallback writes it.
            {"typical_crlf",
             [] {
                 std::string s;
                 for (const char c : typical_song(1, false)) s += c == '\n' ? std::string("\r\n") : std::string(1, c);
                 return s;
             },
             kSmall | kDetect | kWrite},
            {"word_timed", [] { return word_timed_song(3); }, kSmall | kDetect | kWrite},
            {"songs_64mib", [] { return songs(64 * MiB); }, kWrite},
        };
        for (const Family &f : kPathological) {
            for (const std::size_t mib : {1, 4, 16}) {
                const unsigned flags = mib == 1 ? kDetect : mib == 16 ? kWrite : 0u;
                t.push_back({std::string(f.name) + "_" + std::to_string(mib) + "mib",
                             [f, mib] { return f.make(mib * MiB); }, flags});
            }
        }
        t.push_back({"tags_1m_one_line", [] { return tags_line(1000000); }, kWrite});
        t.push_back({"empty_lines_1m", [] { return std::string(1000000, '\n'); }, kWrite});
        t.push_back({"headers_100k", [] { return headers(100000 * 24, 100000); }, kWrite});
        return t;
    }();
    return table;
}

const Workload *find_workload(const std::string &name) {
    for (const Workload &w : workloads())
        if (w.name == name) return &w;
    return nullptr;
}

std::vector<std::filesystem::path> corpus_files() {
    namespace fs = std::filesystem;
    const char *env = std::getenv("LYRX_CORPUS");
    const fs::path dir = env && *env ? env : LYRX_CORPUS_DIR;
    std::vector<fs::path> files;
    std::error_code ec;
    if (dir.empty() || !fs::is_directory(dir, ec)) return files;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path ext = it->path().extension();
        if (it->is_regular_file(ec) && (ext == ".lrc" || ext == ".LRC")) files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace lyrx_bench
