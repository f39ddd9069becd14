// lyrx: a command-line host of the library. It prints what the library reads
// from LRC files, through the public C interface only.
#include <cstdio>
#include <cstring>
#include <string>

#include "lyrx.h"

namespace {

const char kUsage[] =
    "usage: lyrx FILE...      parse each LRC file and print its lines, tags and warnings\n"
    "       lyrx --help       show this text\n"
    "A FILE of '-' reads standard input.\n"
    "Exit status: 0 when every file parsed with status 0, 1 otherwise, 2 for usage errors.\n";

bool read_all(FILE *f, std::string &out) {
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    return !std::ferror(f);
}

void print_time(int32_t ms) {
    const char *sign = ms < 0 ? "-" : "";
    int64_t v = ms < 0 ? -static_cast<int64_t>(ms) : ms;
    std::printf("%s%02lld:%02lld.%03lld", sign, static_cast<long long>(v / 60000),
                static_cast<long long>(v / 1000 % 60), static_cast<long long>(v % 1000));
}

void print_result(const char *name, int32_t status) {
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

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    int first = 1;
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (std::strcmp(argv[1], "--") == 0) first = 2;
    else if (argv[1][0] == '-' && argv[1][1] != '\0') {
        std::fprintf(stderr, "lyrx: unknown option '%s'\n%s", argv[1], kUsage);
        return 2;
    }
    if (first >= argc) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    bool all_ok = true;
    for (int i = first; i < argc; i++) {
        std::string data;
        bool is_stdin = std::strcmp(argv[i], "-") == 0;
        FILE *f = is_stdin ? stdin : std::fopen(argv[i], "rb");
        if (!f || !read_all(f, data)) {
            std::fprintf(stderr, "lyrx: cannot read %s\n", argv[i]);
            if (f && !is_stdin) std::fclose(f);
            all_ok = false;
            continue;
        }
        if (!is_stdin) std::fclose(f);
        int32_t status = lyrx_parse(data.data(), data.size());
        print_result(is_stdin ? "(stdin)" : argv[i], status);
        if (status != LYRX_OK) all_ok = false;
    }
    return all_ok ? 0 : 1;
}
