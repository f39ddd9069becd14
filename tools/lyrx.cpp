// lyrx: the command-line host of the library. It lists, checks and converts
// LRC files through the public C interface only, and explains on standard
// error why a file gave no lines, from what it can see in the file's bytes.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <iconv.h>
#include <unistd.h>
#endif

#include "lyrx.h"

#ifndef LYRX_VERSION
#define LYRX_VERSION "unknown"
#endif

namespace fs = std::filesystem;

namespace {

constexpr size_t npos = std::string::npos;
constexpr std::string_view kBom = "\xEF\xBB\xBF";

// ---- Command line --------------------------------------------------------

enum class mode { none, list, json, check, subtitles, detect, artists, clean, help, version };

struct settings {
    mode m = mode::list;
    std::string format;    // --to: srt or vtt
    std::string encoding;  // --from-encoding
    std::string out_dir;   // -o
    std::vector<std::string> args;
};

struct option_spec {
    const char *name;
    const char *value;             // the name of its value, or null
    mode selects;                  // the mode it selects, or none
    std::string settings::*store;  // where its value goes
    const char *help;
};

const option_spec kOptions[] = {
    {"--json", nullptr, mode::json, nullptr, "print each file's result as one line of JSON"},
    {"--check", nullptr, mode::check, nullptr, "print one line per file: status, lines, warnings, path"},
    {"--to", "FORMAT", mode::subtitles, &settings::format, "write the timed lines as subtitles: srt or vtt"},
    {"--detect", nullptr, mode::detect, nullptr, "tell whether each file looks like LRC"},
    {"--artists", nullptr, mode::artists, nullptr, "print the artists credited in the TITLE argument, one per line"},
    {"--clean", nullptr, mode::clean, nullptr, "print the TITLE argument cleaned down to the song name"},
    {"--from-encoding", "CODEPAGE", mode::none, &settings::encoding,
     "read files that are not UTF-8 as CODEPAGE (GBK, SHIFT-JIS, CP1252...)"},
    {"-o", "DIR", mode::none, &settings::out_dir, "with --json or --to: write one file per input into DIR"},
    {"--help", nullptr, mode::help, nullptr, "show this text"},
    {"--version", nullptr, mode::version, nullptr, "show the version"},
};

void print_usage() {
    (void)std::fputs(
        "usage: lyrx [OPTION]... FILE|DIR...\n"
        "       lyrx --artists TITLE | --clean TITLE\n"
        "Lists the lines, tags and warnings of LRC files. A DIR is searched for *.lrc\n"
        "files, sorted by path; - reads standard input.\n",
        stdout);
    for (const option_spec &o : kOptions) {
        std::string name = std::string(o.name) + (o.value ? std::string(" ") + o.value : "");
        std::printf("  %-26s %s\n", name.c_str(), o.help);
    }
    (void)std::fputs(
        "Exit status: 0 every file gave lyric lines (--detect: looks like LRC), 1 some file\n"
        "did not (the reason is on standard error), 2 usage error. See lyrx(1).\n",
        stdout);
}

bool encoding_known(const std::string &name);

// Empty when the command line is good; otherwise what is wrong with it.
std::string parse_args(const std::vector<std::string> &argv, settings &s) {
    bool only_files = false;
    for (size_t i = 1; i < argv.size(); i++) {
        std::string arg = argv[i];
        if (only_files || arg.size() < 2 || arg[0] != '-') {
            s.args.push_back(arg);
            continue;
        }
        if (arg == "--") {
            only_files = true;
            continue;
        }
        std::string value;
        bool has_value = false;
        if (size_t eq = arg.find('='); arg.compare(0, 2, "--") == 0 && eq != npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
            has_value = true;
        }
        const option_spec *o = std::find_if(std::begin(kOptions), std::end(kOptions),
                                            [&](const option_spec &spec) { return arg == spec.name; });
        if (o == std::end(kOptions)) return "unknown option " + arg;
        if (o->value && !has_value) {
            if (++i == argv.size()) return arg + " needs " + o->value;
            value = argv[i];
        } else if (!o->value && has_value) {
            return arg + " takes no value";
        }
        if (o->store) s.*(o->store) = value;
        if (o->selects == mode::none) continue;
        if (s.m != mode::list && s.m != o->selects) return "choose one of --json, --check, --to, --detect, --artists, --clean";
        s.m = o->selects;
    }
    if (s.m == mode::help || s.m == mode::version) return "";
    if (s.m == mode::subtitles && s.format != "srt" && s.format != "vtt") return "--to takes srt or vtt";
    if (!s.out_dir.empty() && s.m != mode::json && s.m != mode::subtitles) return "-o goes with --json or --to";
    if (!s.encoding.empty() && !encoding_known(s.encoding)) return "unknown encoding " + s.encoding;
    if ((s.m == mode::artists || s.m == mode::clean) && s.args.size() != 1) return "give exactly one TITLE";
    if (s.args.empty()) return "no FILE given";
    return "";
}

// ---- Paths and files -----------------------------------------------------

// Every text of the tool is UTF-8; Windows paths are UTF-16 underneath.
fs::path to_path(const std::string &s) {
#ifdef _WIN32
    return fs::path(std::u8string(s.begin(), s.end()));
#else
    return fs::path(s);
#endif
}

std::string path_text(const fs::path &p) {
#ifdef _WIN32
    std::u8string u = p.u8string();
    return std::string(u.begin(), u.end());
#else
    return p.string();
#endif
}

struct input {
    std::string path;  // as shown, UTF-8; "-" is standard input
    std::string out;   // the name of its output with -o, relative, no extension
};

std::string shown(const input &in) { return in.path == "-" ? "(stdin)" : in.path; }

bool is_lrc_name(const fs::path &p) {
    std::string ext = path_text(p.extension());
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return ext == ".lrc";
}

void say(const std::string &where, const std::string &what);

// A named file comes as given; a directory gives every *.lrc file below it,
// in byte order of the paths, so that two runs list the same order.
bool add_inputs(const std::string &arg, std::vector<input> &out) {
    std::error_code ec;
    fs::path root = to_path(arg);
    if (arg == "-" || !fs::is_directory(root, ec)) {
        out.push_back({arg, arg == "-" ? "stdin" : path_text(root.filename().replace_extension())});
        return true;
    }
    std::vector<std::pair<std::string, input>> found;  // sort key, input
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file(ec) || !is_lrc_name(it->path())) continue;
        fs::path rel = it->path().lexically_relative(root);
        std::string key = path_text(rel);
        std::replace(key.begin(), key.end(), '\\', '/');
        fs::path p = it->path();
        found.push_back({key, {path_text(p.make_preferred()), path_text(rel.replace_extension())}});
    }
    std::sort(found.begin(), found.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    std::transform(found.begin(), found.end(), std::back_inserter(out), [](auto &f) { return std::move(f.second); });
    if (ec) say(arg, "cannot read the directory: " + ec.message());
    else if (found.empty()) say(arg, "no *.lrc file in this directory");
    return !ec && !found.empty();
}

bool read_bytes(const input &in, std::string &out, std::string &why) {
    if (in.path == "-") {
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, stdin)) > 0) out.append(buf, n);
        if (!std::ferror(stdin)) return true;
        why = "cannot read standard input";
        return false;
    }
    errno = 0;
    std::ifstream f(to_path(in.path), std::ios::binary);
    if (f) {
        out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
        return true;
    }
    why = std::string("cannot read") + (errno ? std::string(": ") + std::strerror(errno) : "");
    return false;
}

// The outputs written so far, so that two inputs never write the same file.
std::set<std::string> g_written;

// Writes to standard output, or to the file DIR/NAME.EXT with -o. Returns
// what went wrong, or an empty text.
std::string write_out(const input &in, const settings &s, const std::string &ext, const std::string &data) {
    if (s.out_dir.empty())
        return std::fwrite(data.data(), 1, data.size(), stdout) == data.size() ? "" : "cannot write standard output";
    fs::path to = to_path(s.out_dir) / to_path(in.out + ext);
    std::string name = path_text(to.make_preferred());
    if (!g_written.insert(name).second) return "not written: " + name + " was already written for another input";
    std::error_code ec;
    fs::create_directories(to.parent_path(), ec);
    std::ofstream f(to, std::ios::binary);
    if (f) f.write(data.data(), static_cast<std::streamsize>(data.size()));
    return f.flush() ? "" : "cannot write " + name;
}

// ---- Legacy encodings ------------------------------------------------------

#ifdef _WIN32

// Windows has no iconv: the usual names map to the system's code pages.
struct codepage_name {
    const char *name;  // upper case, without '-' and '_'
    unsigned page;
};
const codepage_name kCodepages[] = {
    {"GBK", 936},         {"GB2312", 936},     {"GB18030", 54936},   {"BIG5", 950},     {"SHIFTJIS", 932},
    {"SJIS", 932},        {"EUCJP", 20932},    {"EUCKR", 51949},     {"LATIN1", 28591}, {"ISO88591", 28591},
    {"ISO88592", 28592},  {"ISO88595", 28595}, {"ISO885915", 28605}, {"KOI8R", 20866}, {"KOI8U", 21866},
    {"UTF8", CP_UTF8},
};

// Also CPnnn and WINDOWSnnnn, as iconv takes them.
unsigned codepage_of(const std::string &name) {
    std::string key;
    for (char c : name)
        if (c != '-' && c != '_') key += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    const codepage_name *e = std::find_if(std::begin(kCodepages), std::end(kCodepages),
                                          [&](const codepage_name &c) { return key == c.name; });
    if (e != std::end(kCodepages)) return e->page;
    for (std::string_view prefix : {"CP", "WINDOWS"}) {
        std::string digits = key.compare(0, prefix.size(), prefix) == 0 ? key.substr(prefix.size()) : "";
        if (!digits.empty() && digits.size() <= 5 && digits.find_first_not_of("0123456789") == npos)
            return static_cast<unsigned>(std::stoul(digits));
    }
    return 0;
}

bool encoding_known(const std::string &name) {
    unsigned page = codepage_of(name);
    return page != 0 && IsValidCodePage(page);
}

// Windows does not say where a conversion failed: *bad stays npos.
bool to_utf8(const std::string &name, const std::string &in, std::string &out, size_t *bad) {
    *bad = npos;
    unsigned page = codepage_of(name);
    int n = static_cast<int>(in.size());
    int units = MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, in.data(), n, nullptr, 0);
    if (units <= 0) return false;
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, in.data(), n, wide.data(), units);
    int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
    out.assign(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, out.data(), bytes, nullptr, nullptr);
    return bytes > 0;
}

#else

// NOLINTNEXTLINE(performance-no-int-to-ptr): (iconv_t)-1 is how iconv_open reports failure
const iconv_t kNoIconv = reinterpret_cast<iconv_t>(-1);

bool encoding_known(const std::string &name) {
    iconv_t cd = iconv_open("UTF-8", name.c_str());
    if (cd == kNoIconv) return false;
    iconv_close(cd);
    return true;
}

// On failure *bad is the offset of the first byte that could not be converted.
bool to_utf8(const std::string &name, const std::string &in, std::string &out, size_t *bad) {
    iconv_t cd = iconv_open("UTF-8", name.c_str());
    *bad = npos;
    if (cd == kNoIconv) return false;
    out.assign(in.size() * 4 + 16, '\0');  // room for any character of any code page
    std::string src = in;                   // iconv takes a non-const input
    char *from = src.data();
    char *to = out.data();
    size_t left = src.size();
    size_t room = out.size();
    bool ok = iconv(cd, &from, &left, &to, &room) != static_cast<size_t>(-1) &&
              iconv(cd, nullptr, nullptr, &to, &room) != static_cast<size_t>(-1);
    iconv_close(cd);
    if (!ok) *bad = in.size() - left;
    out.resize(out.size() - room);
    return ok;
}

#endif

// ---- What the tool can see in the text ---------------------------------------

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Offset of the first byte that starts no valid UTF-8 sequence (overlong
// forms, surrogates and code points past U+10FFFF included), or npos.
size_t first_bad_utf8(std::string_view t) {
    for (size_t i = 0; i < t.size();) {
        auto b = [&](size_t k) { return i + k < t.size() ? static_cast<unsigned char>(t[i + k]) : 0u; };
        unsigned c = b(0);
        size_t len = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        unsigned lo = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;  // no overlong forms
        unsigned hi = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;  // no surrogates, nothing past U+10FFFF
        if (len == 0 || (len > 1 && (b(1) < lo || b(1) > hi))) return i;
        for (size_t k = 2; k < len; k++)
            if (b(k) < 0x80 || b(k) > 0xBF) return i;
        i += len;
    }
    return npos;
}

// Line (CR, LF or CR LF ends one) and column (in characters) of a byte, from 1.
std::string line_col(std::string_view t, size_t at, bool with_column) {
    size_t line = 1;
    size_t col = 1;
    for (size_t i = t.compare(0, 3, kBom) == 0 ? 3 : 0; i < at; i++) {
        bool crlf = t[i] == '\r' && i + 1 < t.size() && t[i + 1] == '\n';
        if ((t[i] == '\n' || t[i] == '\r') && !crlf) {
            line++;
            col = 1;
        } else if ((static_cast<unsigned char>(t[i]) & 0xC0) != 0x80 && !crlf) {
            col++;
        }
    }
    return ":" + std::to_string(line) + (with_column ? ":" + std::to_string(col) : "");
}

// A time tag as the library reads it: minutes ':' seconds, the seconds digits
// with at most one point.
bool lrc_time(std::string_view c) {
    size_t colon = c.find(':');
    if (colon == 0 || colon == npos || c.find(':', colon + 1) != npos) return false;
    if (!std::all_of(c.begin(), c.begin() + static_cast<std::ptrdiff_t>(colon), is_digit)) return false;
    std::string_view sec = c.substr(colon + 1);
    return std::any_of(sec.begin(), sec.end(), is_digit) && sec.find_first_not_of("0123456789.") == npos &&
           std::count(sec.begin(), sec.end(), '.') <= 1;
}

// Digits with a colon or a point (signs and spaces allowed) that the library
// does not read as a time: [mm:ss:xx], [hh:mm:ss], [ss.xx], [00:-03.00]...
bool refused_time(std::string_view c) {
    return std::any_of(c.begin(), c.end(), is_digit) && c.find_first_of(":.") != npos &&
           c.find_first_not_of("0123456789:.+- ") == npos && !lrc_time(c);
}

struct findings {
    size_t bad_utf8 = npos;  // the first byte that is not UTF-8
    size_t mid_bom = npos;   // the first UTF-8 byte-order mark after the start
    size_t odd_tag = npos;   // the first tag shaped like a time that is not one
    std::string odd_text;    // that tag, brackets included
    int odd_tags = 0;
    size_t unclosed = npos;  // the first line that starts with '[' and has no ']'
    int tag_lines = 0;       // lines that start with '['
};

findings look_at(std::string_view t) {
    findings f;
    f.bad_utf8 = first_bad_utf8(t);
    f.mid_bom = t.find(kBom, 1);
    for (size_t pos = t.compare(0, 3, kBom) == 0 ? 3 : 0; pos < t.size();) {
        size_t end = std::min(t.find_first_of("\r\n", pos), t.size());
        if (t[pos] == '[') f.tag_lines++;
        if (t[pos] == '[' && f.unclosed == npos && t.find(']', pos) >= end) f.unclosed = pos;
        // The library reads tags on lines that begin with one, in text too.
        for (size_t open = t[pos] == '[' ? pos : end; open < end; open = t.find('[', open + 1)) {
            size_t close = t.find(']', open);
            if (close >= end) break;
            if (!refused_time(t.substr(open + 1, close - open - 1))) continue;
            if (f.odd_tags++ == 0) {
                f.odd_tag = open;
                f.odd_text = t.substr(open, close - open + 1);
            }
        }
        pos = end + 1;
    }
    return f;
}

// ---- Parsing one input ---------------------------------------------------

enum class verdict { ok, no_lines, not_utf8, unreadable };
const char *const kVerdictNames[] = {"ok", "no-lines", "not-utf8", "unreadable"};

struct parsed {
    verdict v = verdict::ok;
    int32_t status = LYRX_OK;  // the library's
    std::string text;    // the UTF-8 text the library read (empty for a UTF-16 file)
    std::string reason;  // why it could not be read
};

// Reads one input into the library. A file that is not valid UTF-8 is
// converted from --from-encoding first; a named file otherwise goes to
// lyrx_parse_file, which also reads UTF-16 files.
parsed parse_input(const input &in, const settings &s) {
    lyrx_clear();
    parsed p;
    std::string bytes;
    if (!read_bytes(in, bytes, p.reason)) {
        p.v = verdict::unreadable;
        return p;
    }
    bool utf16 = bytes.compare(0, 2, "\xFF\xFE") == 0 || bytes.compare(0, 2, "\xFE\xFF") == 0;
    int32_t &status = p.status;
    if (!s.encoding.empty() && !utf16 && first_bad_utf8(bytes) != npos) {
        size_t bad;
        if (!to_utf8(s.encoding, bytes, p.text, &bad)) {
            p.v = verdict::unreadable;
            p.reason = "not valid " + s.encoding + (bad == npos ? "" : " (line" + line_col(bytes, bad, false) + ")");
            return p;
        }
        status = lyrx_parse(p.text.data(), p.text.size());
    } else {
        status = in.path == "-" ? lyrx_parse(bytes.data(), bytes.size()) : lyrx_parse_file(in.path.c_str());
        if (!utf16) p.text.swap(bytes);
    }
    if (status == LYRX_ERR_NO_LYRICS || status == LYRX_ERR_EMPTY) p.v = verdict::no_lines;
    else if (status != LYRX_OK) p.v = verdict::unreadable;
    else if (!lyrx_result_json()) p.v = verdict::not_utf8;
    if (p.v != verdict::ok && p.reason.empty()) p.reason = lyrx_last_error();
    return p;
}

// ---- Messages on standard error --------------------------------------------

size_t g_progress_width = 0;  // of the progress line on the terminal, 0 when none

void clear_progress() {
    if (g_progress_width) (void)std::fprintf(stderr, "\r%*s\r", static_cast<int>(g_progress_width), "");
    g_progress_width = 0;
}

void show_progress(size_t done, size_t total, const std::string &path) {
    clear_progress();
    std::string line = std::to_string(done) + "/" + std::to_string(total) + " " + path;
    if (line.size() > 72) line.replace(69, npos, "...");  // one terminal line, so \r reaches its start
    (void)std::fprintf(stderr, "%s", line.c_str());
    g_progress_width = line.size();
}

void say(const std::string &where, const std::string &what) {
    (void)std::fflush(stdout);  // keeps the order when both streams go to one place
    clear_progress();
    (void)std::fprintf(stderr, "lyrx: %s: %s\n", where.c_str(), what.c_str());
}

// Why a file gave no lines or no JSON text, and what costs lines even when it
// gave some (a byte-order mark inside the file, time tags LRC does not read).
void explain(const input &in, const parsed &p) {
    std::string name = shown(in);
    if (p.v == verdict::unreadable) return say(name, p.reason);
    if (p.v == verdict::no_lines) say(name, "no lyric lines: " + p.reason);
    if (p.v == verdict::not_utf8) say(name, "its text is not valid UTF-8, so no JSON text can be made");
    bool failed = p.v != verdict::ok;
    findings f = look_at(p.text);
    if (failed && f.bad_utf8 != npos) {
        char byte[8];
        (void)std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned char>(p.text[f.bad_utf8]));
        say(name + line_col(p.text, f.bad_utf8, true),
            std::string("byte ") + byte +
                " is not UTF-8: the file is likely in a legacy encoding; try --from-encoding GBK, SHIFT-JIS, CP1252...");
    }
    if (f.mid_bom != npos) {
        bool line_start = p.text[f.mid_bom - 1] == '\n' || p.text[f.mid_bom - 1] == '\r';
        say(name + line_col(p.text, f.mid_bom, false),
            "a UTF-8 byte-order mark (EF BB BF) in the middle of the file, as where two files were joined" +
                std::string(line_start ? ": LRC skips the line it starts" : ""));
    }
    if (f.odd_tags) {
        bool two_colons = std::count(f.odd_text.begin(), f.odd_text.end(), ':') >= 2;
        say(name + line_col(p.text, f.odd_tag, false),
            f.odd_text +
                (two_colons ? " is shaped like [mm:ss:xx] or [hh:mm:ss], which LRC does not read as a time"
                            : " looks like a time, but LRC does not read it as one") +
                " (it takes [mm:ss.xx])" +
                (f.odd_tags > 1 ? "; " + std::to_string(f.odd_tags) + " such tags, the first here" : ""));
    }
    if (failed && f.unclosed != npos)
        say(name + line_col(p.text, f.unclosed, false), "this line's tag is not closed with ']', so LRC drops the line");
    if (failed && f.tag_lines == 0 && !p.text.empty())
        say(name, "no line starts with a tag such as [00:12.34]: this is not LRC");
}

// ---- Modes -----------------------------------------------------------------

void print_time(int32_t ms) {
    const char *sign = ms < 0 ? "-" : "";
    int64_t v = ms < 0 ? -static_cast<int64_t>(ms) : ms;
    std::printf("%s%02lld:%02lld.%03lld", sign, static_cast<long long>(v / 60000),
                static_cast<long long>(v / 1000 % 60), static_cast<long long>(v % 1000));
}

void print_listing(const std::string &name, int32_t status) {
    std::printf("== %s\n", name.c_str());
    std::printf("status: %d%s%s\n", status, lyrx_last_error()[0] ? "  error: " : "", lyrx_last_error());
    for (const char *key : {"ti", "ar", "al", "by"}) {
        const char *v = lyrx_meta(key);
        if (v) std::printf("%s: %s\n", key, v);
    }
    std::printf("offset: %d ms\n", lyrx_offset_ms());
    int32_t count = lyrx_line_count();
    std::printf("lines: %d\n", count);
    for (int32_t i = 0; i < count; i++) {
        std::printf("  ");
        print_time(lyrx_line_start_ms(i));
        std::printf(" -> ");
        print_time(lyrx_line_end_ms(i));
        std::printf("  %s\n", lyrx_line_text(i));
    }
    int32_t warnings = lyrx_warning_count();
    if (warnings) std::printf("warnings: %d\n", warnings);
    for (int32_t i = 0; i < warnings; i++) std::printf("  %s\n", lyrx_warning(i));
}

int run_list(const std::vector<input> &files, const settings &s) {
    int failed = 0;
    for (const input &in : files) {
        parsed p = parse_input(in, s);
        if (p.v != verdict::unreadable) print_listing(shown(in), p.status);
        explain(in, p);
        failed += p.v != verdict::ok;
    }
    return failed ? 1 : 0;
}

// An output that could not be written fails its input.
void fail_unwritten(parsed &p, const std::string &why) {
    if (why.empty()) return;
    p.v = verdict::unreadable;
    p.reason = why;
}

// The library's JSON text, one line per file; none for a file that could not
// be read or whose text is not UTF-8.
int run_json(const std::vector<input> &files, const settings &s) {
    int failed = 0;
    for (const input &in : files) {
        parsed p = parse_input(in, s);
        const char *json = p.v == verdict::unreadable ? nullptr : lyrx_result_json();
        if (json) fail_unwritten(p, write_out(in, s, ".json", std::string(json) + "\n"));
        explain(in, p);
        failed += p.v != verdict::ok;
    }
    return failed ? 1 : 0;
}

bool stderr_is_terminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

int run_check(const std::vector<input> &files, const settings &s) {
    bool batch = files.size() > 1;
    bool progress = batch && stderr_is_terminal();
    long long lines = 0;
    long long warnings = 0;
    int failed = 0;
    for (size_t i = 0; i < files.size(); i++) {
        if (progress) show_progress(i + 1, files.size(), files[i].path);
        parsed p = parse_input(files[i], s);
        clear_progress();
        std::printf("%-10s %6d %4d  %s\n", kVerdictNames[static_cast<int>(p.v)], lyrx_line_count(),
                    lyrx_warning_count(), shown(files[i]).c_str());
        explain(files[i], p);
        lines += lyrx_line_count();
        warnings += lyrx_warning_count();
        failed += p.v != verdict::ok;
    }
    (void)std::fflush(stdout);
    if (batch)
        (void)std::fprintf(stderr, "lyrx: %zu files, %lld lines, %lld warnings, %d failed\n", files.size(), lines,
                           warnings, failed);
    return failed ? 1 : 0;
}

// "HH:MM:SS,mmm" (SubRip) or "HH:MM:SS.mmm" (WebVTT).
std::string cue_time(int32_t ms, char point) {
    char buf[40];
    (void)std::snprintf(buf, sizeof buf, "%02d:%02d:%02d%c%03d", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, point,
                        ms % 1000);
    return buf;
}

// The text of a cue: word times of enhanced LRC (<mm:ss.xx>) dropped, each
// run of line ends one line break (a blank line would end the cue), spaces
// and tabs trimmed, and for WebVTT & < > escaped.
std::string cue_text(std::string_view t, bool vtt) {
    std::string out;
    for (size_t i = 0; i < t.size(); i++) {
        char c = t[i];
        size_t close = c == '<' ? t.find('>', i) : npos;
        if (close != npos && lrc_time(t.substr(i + 1, close - i - 1))) {
            i = close;
        } else if (c == '\r' || c == '\n') {
            if (!out.empty() && out.back() != '\n') out += '\n';
        } else if (vtt && c == '&') {
            out += "&amp;";
        } else if (vtt && c == '<') {
            out += "&lt;";
        } else if (vtt && c == '>') {
            out += "&gt;";
        } else {
            out += c;
        }
    }
    size_t first = out.find_first_not_of(" \t\n");
    if (first == npos) return "";
    return out.substr(first, out.find_last_not_of(" \t\n") - first + 1);
}

// Lines whose text is blank are left out: their start still ends the line
// before, as a pause. Negative times become 0.
std::string subtitles(bool vtt) {
    std::string out = vtt ? "WEBVTT\n\n" : "";
    int cue = 0;
    for (int32_t i = 0; i < lyrx_line_count(); i++) {
        std::string text = cue_text(lyrx_line_text(i), vtt);
        if (text.empty()) continue;
        int32_t start = std::max(lyrx_line_start_ms(i), 0);
        int32_t end = std::max(lyrx_line_end_ms(i), start);
        if (!vtt) out += std::to_string(++cue) + "\n";
        out += cue_time(start, vtt ? '.' : ',') + " --> " + cue_time(end, vtt ? '.' : ',') + "\n" + text + "\n\n";
    }
    return out;
}

int run_subtitles(const std::vector<input> &files, const settings &s) {
    int failed = 0;
    for (const input &in : files) {
        parsed p = parse_input(in, s);
        if (p.v == verdict::ok) fail_unwritten(p, write_out(in, s, "." + s.format, subtitles(s.format == "vtt")));
        explain(in, p);
        failed += p.v != verdict::ok;
    }
    return failed ? 1 : 0;
}

int run_detect(const std::vector<input> &files, const settings &) {
    int not_lrc = 0;
    for (const input &in : files) {
        std::string data;
        std::string why;
        if (!read_bytes(in, data, why)) {
            say(shown(in), why);
            not_lrc++;
            continue;
        }
        bool lrc = lyrx_detect(data.data(), data.size()) == 1;
        std::printf("%s: %s\n", shown(in).c_str(), lrc ? "LRC" : "not LRC");
        not_lrc += !lrc;
    }
    return not_lrc ? 1 : 0;
}

int run_artists(const std::string &title) {
    int32_t status = lyrx_tag_parse_title(title.c_str());
    for (int32_t i = 0; i < lyrx_tag_artist_count(); i++) std::printf("%s\n", lyrx_tag_artist(i));
    return status == LYRX_OK ? 0 : 1;
}

int run_clean(const std::string &title) {
    const char *clean = lyrx_tag_clean_title(title.c_str());
    if (clean) std::printf("%s\n", clean);
    return clean ? 0 : 1;
}

int run(const std::vector<std::string> &argv) {
    settings s;
    std::string bad = parse_args(argv, s);
    if (!bad.empty()) {
        (void)std::fprintf(stderr, "lyrx: %s (lyrx --help lists the options)\n", bad.c_str());
        return 2;
    }
    if (s.m == mode::help) {
        print_usage();
        return 0;
    }
    if (s.m == mode::version) {
        std::printf("lyrx %s\n", LYRX_VERSION);
        return 0;
    }
    if (s.m == mode::artists) return run_artists(s.args[0]);
    if (s.m == mode::clean) return run_clean(s.args[0]);
    std::vector<input> files;
    bool all_found = true;
    for (const std::string &arg : s.args) all_found = add_inputs(arg, files) && all_found;
    if (s.m == mode::subtitles && s.out_dir.empty() && files.size() > 1) {
        (void)std::fprintf(stderr, "lyrx: --to with %zu files writes them into a folder: add -o DIR\n", files.size());
        return 2;
    }
    int status = s.m == mode::json        ? run_json(files, s)
                 : s.m == mode::check     ? run_check(files, s)
                 : s.m == mode::subtitles ? run_subtitles(files, s)
                 : s.m == mode::detect    ? run_detect(files, s)
                                          : run_list(files, s);
    if (std::fflush(stdout) != 0) {
        (void)std::fprintf(stderr, "lyrx: cannot write standard output\n");
        return 1;
    }
    return all_found ? status : 1;
}

int run_guarded(const std::vector<std::string> &argv) {
    try {
        return run(argv);
    } catch (const std::exception &e) {  // out of memory, most likely
        (void)std::fprintf(stderr, "lyrx: %s\n", e.what());
        return 1;
    }
}

}  // namespace

#ifdef _WIN32

namespace {
UINT g_console_page = 0;
void restore_console() { SetConsoleOutputCP(g_console_page); }
}  // namespace

// The arguments come as UTF-16 here (the ANSI ones cannot hold every file
// name); they go on as UTF-8, as every text of the tool. Output bytes stay as
// written: no CR before LF, and UTF-8 on the console.
int wmain(int argc, wchar_t **argv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; i++) {
        int n = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string a(n > 0 ? static_cast<size_t>(n) : 1, '\0');
        WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, a.data(), n, nullptr, nullptr);
        a.resize(a.size() - 1);
        args.push_back(a);
    }
    (void)_setmode(_fileno(stdin), _O_BINARY);
    (void)_setmode(_fileno(stdout), _O_BINARY);
    g_console_page = GetConsoleOutputCP();
    if (g_console_page != 0 && SetConsoleOutputCP(CP_UTF8)) (void)std::atexit(restore_console);
    return run_guarded(args);
}

#else

int main(int argc, char **argv) { return run_guarded(std::vector<std::string>(argv, argv + argc)); }

#endif
