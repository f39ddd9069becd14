// lyrx: a command-line host of the library. It prints what the library reads
// from LRC files and titles, through the public C interface only.
#include <cstdio>
#include <cstring>
#include <string>

#include "lyrx.h"

namespace {

const char kUsage[] =
    "usage: lyrx FILE...              list each file's lines, tags and warnings\n"
    "       lyrx --json FILE...       print each file's result as one JSON line\n"
    "       lyrx --detect FILE...     tell whether each file looks like LRC\n"
    "       lyrx --artists TITLE      print the artists credited in a title, one per line\n"
    "       lyrx --clean TITLE        print the title cleaned down to the song name\n"
    "       lyrx --help               show this text\n"
    "A FILE of '-' reads standard input. Files with a UTF-16 byte-order mark are converted.\n"
    "Exit status: 0 when every file parsed with status 0 (for --detect: looks like LRC),\n"
    "1 otherwise, 2 for usage errors.\n";

bool read_all(FILE *f, std::string &out) {
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    return !std::ferror(f);
}

bool read_path(const char *path, std::string &out) {
    if (std::strcmp(path, "-") == 0) return read_all(stdin, out);
    FILE *f = std::fopen(path, "rb");
    if (!f) return false;
    bool ok = read_all(f, out);
    (void)std::fclose(f);  // only read from: nothing is lost if closing fails
    return ok;
}

// Standard input is read here; files go through the library's own file input.
int32_t parse_path(const char *path) {
    if (std::strcmp(path, "-") != 0) return lyrx_parse_file(path);
    std::string data;
    if (!read_all(stdin, data)) {
        (void)std::fprintf(stderr, "lyrx: cannot read standard input\n");
        return LYRX_ERR_IO;
    }
    return lyrx_parse(data.data(), data.size());
}

const char *display_name(const char *path) { return std::strcmp(path, "-") == 0 ? "(stdin)" : path; }

void print_time(int32_t ms) {
    const char *sign = ms < 0 ? "-" : "";
    int64_t v = ms < 0 ? -static_cast<int64_t>(ms) : ms;
    std::printf("%s%02lld:%02lld.%03lld", sign, static_cast<long long>(v / 60000),
                static_cast<long long>(v / 1000 % 60), static_cast<long long>(v % 1000));
}

void print_listing(const char *name, int32_t status) {
    std::printf("== %s\n", name);
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

int run_files(int argc, char **argv, int first, bool json) {
    bool all_ok = true;
    for (int i = first; i < argc; i++) {
        // A file that cannot be read keeps the previous result in the library;
        // clear it so nothing of the file before is shown for this one.
        lyrx_clear();
        int32_t status = parse_path(argv[i]);
        if (status != LYRX_OK) all_ok = false;
        if (!json) {
            print_listing(display_name(argv[i]), status);
            continue;
        }
        const char *text = lyrx_result_json();
        if (text) {
            std::printf("%s\n", text);
        } else {
            (void)std::fprintf(stderr, "lyrx: %s: no JSON (a text is not valid UTF-8, or out of memory)\n",
                               display_name(argv[i]));
            all_ok = false;
        }
    }
    return all_ok ? 0 : 1;
}

int run_detect(int argc, char **argv, int first) {
    bool all_lrc = true;
    for (int i = first; i < argc; i++) {
        std::string data;
        if (!read_path(argv[i], data)) {
            (void)std::fprintf(stderr, "lyrx: cannot read %s\n", display_name(argv[i]));
            all_lrc = false;
            continue;
        }
        bool lrc = lyrx_detect(data.data(), data.size()) == 1;
        std::printf("%s: %s\n", display_name(argv[i]), lrc ? "LRC" : "not LRC");
        if (!lrc) all_lrc = false;
    }
    return all_lrc ? 0 : 1;
}

int usage_error(const char *msg, const char *arg) {
    (void)std::fprintf(stderr, "lyrx: %s%s%s\n%s", msg, arg ? " " : "", arg ? arg : "", kUsage);
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return usage_error("nothing to do", nullptr);
    const char *opt = argv[1];
    if (std::strcmp(opt, "--help") == 0 || std::strcmp(opt, "-h") == 0) {
        (void)std::fputs(kUsage, stdout);
        return 0;
    }
    if (std::strcmp(opt, "--artists") == 0 || std::strcmp(opt, "--clean") == 0) {
        if (argc != 3) return usage_error(opt, "takes exactly one TITLE");
        if (opt[2] == 'a') {
            int32_t status = lyrx_tag_parse_title(argv[2]);
            for (int32_t i = 0; i < lyrx_tag_artist_count(); i++) std::printf("%s\n", lyrx_tag_artist(i));
            return status == LYRX_OK ? 0 : 1;
        }
        const char *clean = lyrx_tag_clean_title(argv[2]);
        if (!clean) return 1;
        std::printf("%s\n", clean);
        return 0;
    }
    bool json = std::strcmp(opt, "--json") == 0;
    bool detect = std::strcmp(opt, "--detect") == 0;
    int first = 1;
    if (json || detect || std::strcmp(opt, "--") == 0) first = 2;
    else if (opt[0] == '-' && opt[1] != '\0') return usage_error("unknown option", opt);
    if (first >= argc) return usage_error("no FILE given", nullptr);
    return detect ? run_detect(argc, argv, first) : run_files(argc, argv, first, json);
}
