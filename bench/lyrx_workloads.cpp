// Writes the benchmark inputs as NAME.lrc files, so that other parsers can be
// timed on the same bytes: lyrx_workloads OUTDIR
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "workloads.hpp"

int main(int argc, char **argv) {
    // "--help" and the like are no directory to fill.
    if (argc != 2 || argv[1][0] == '-') {
        std::fprintf(stderr, "usage: lyrx_workloads OUTDIR\n");
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    for (const lyrx_bench::Workload &w : lyrx_bench::workloads()) {
        if (!(w.flags & lyrx_bench::kWrite)) continue;
        const std::string text = w.make();
        const std::filesystem::path path = dir / (w.name + ".lrc");
        std::ofstream out(path, std::ios::binary);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        if (!out.flush()) {
            std::fprintf(stderr, "lyrx_workloads: cannot write %s\n", path.string().c_str());
            return 1;
        }
        std::printf("%-26s %10zu bytes\n", (w.name + ".lrc").c_str(), text.size());
    }
    return 0;
}
