// One fuzz target for every entry point: the first byte picks the entry point,
// the rest is its input. Built with libFuzzer (clang), or with the replay main
// below for gcc and valgrind.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "lyrx.h"

namespace {

// Reads the whole result back so that every stored string is touched.
void read_result() {
    for (int32_t i = 0; i < lyrx_line_count(); i++) {
        (void)lyrx_line_end_ms(i);
        (void)std::string(lyrx_line_text(i));
    }
    for (int32_t i = 0; i < lyrx_warning_count(); i++) (void)std::string(lyrx_warning(i));
    (void)lyrx_meta("ti");
    (void)lyrx_result_json();
}

// One file per process for the file entry point, named after the process so
// that parallel fuzzing jobs do not share it.
std::string temp_file_path() {
    auto id = std::chrono::steady_clock::now().time_since_epoch().count();
    return (std::filesystem::temp_directory_path() / ("lyrx-fuzz-" + std::to_string(id) + ".lrc")).string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const char *text = reinterpret_cast<const char *>(data + 1);
    size_t n = size - 1;
    std::string z(text, n);  // the title functions take NUL-terminated text
    switch (data[0] % 5) {
    case 0:
        lyrx_parse(text, n);
        read_result();
        break;
    case 1: {
        static const std::string path = temp_file_path();
        FILE *f = std::fopen(path.c_str(), "wb");
        if (!f) return 0;
        bool written = std::fwrite(text, 1, n, f) == n;
        written = std::fclose(f) == 0 && written;
        if (written) lyrx_parse_file(path.c_str());
        std::remove(path.c_str());
        read_result();
        break;
    }
    case 2:
        (void)lyrx_detect(text, n);
        break;
    case 3:
        lyrx_tag_parse_title(z.c_str());
        for (int32_t i = 0; i < lyrx_tag_artist_count(); i++) (void)std::string(lyrx_tag_artist(i));
        break;
    default:
        if (const char *c = lyrx_tag_clean_title(z.c_str())) (void)std::string(c);
        break;
    }
    return 0;
}

#ifdef LYRX_FUZZ_REPLAY
// Replays the files named on the command line through the target.
int main(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        FILE *f = std::fopen(argv[i], "rb");
        if (!f) continue;
        std::string data;
        char buf[65536];
        size_t got;
        while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, got);
        std::fclose(f);
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(data.data()), data.size());
    }
    return 0;
}
#endif
