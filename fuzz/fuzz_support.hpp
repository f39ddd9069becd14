// What the fuzz targets share: failing loudly, the temp file for the file
// entry point, and the replay main used by the gcc builds (ctest, valgrind).
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "lyrx.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace lyrx_fuzz {

// abort, not assert: the checks must hold in release builds too, and
// libFuzzer saves the input on abort.
[[noreturn]] inline void fail(const char *what, long long index = -1) {
    if (index >= 0)
        std::fprintf(stderr, "lyrx fuzz invariant failed: %s (index %lld)\n", what, index);
    else
        std::fprintf(stderr, "lyrx fuzz invariant failed: %s\n", what);
    std::abort();
}

inline void check(bool ok, const char *what, long long index = -1) {
    if (!ok) fail(what, index);
}

// One file per process, named after the process start, so that parallel
// fuzzing jobs do not share it.
inline const std::string &temp_file_path() {
    static const std::string path = [] {
        auto id = std::chrono::steady_clock::now().time_since_epoch().count();
        return (std::filesystem::temp_directory_path() / ("lyrx-fuzz-" + std::to_string(id) + ".lrc")).string();
    }();
    return path;
}

inline bool write_temp_file(std::string_view bytes) {
    FILE *f = std::fopen(temp_file_path().c_str(), "wb");
    if (!f) return false;
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && written;
}

inline void remove_temp_file() { std::remove(temp_file_path().c_str()); }

}  // namespace lyrx_fuzz

#ifdef LYRX_FUZZ_REPLAY
// Replays the files named on the command line through the target. A file that
// cannot be read fails the run: a ctest listing a missing case must not pass.
int main(int argc, char **argv) {
    int replayed = 0;
    for (int i = 1; i < argc; i++) {
        FILE *f = std::fopen(argv[i], "rb");
        if (!f) {
            std::fprintf(stderr, "replay: cannot open %s\n", argv[i]);
            return 1;
        }
        std::string data;
        char buf[65536];
        size_t got;
        while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, got);
        bool read_error = std::ferror(f) != 0;
        std::fclose(f);
        if (read_error) {
            std::fprintf(stderr, "replay: cannot read %s\n", argv[i]);
            return 1;
        }
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(data.data()), data.size());
        replayed++;
    }
    // The last result lives in the library until cleared; release it so a
    // leak checker sees only what a call really lost.
    lyrx_clear();
    std::printf("replay: %d inputs, all invariants held\n", replayed);
    return 0;
}
#endif
