// The benchmark inputs: generated LRC of a fixed seed (the same bytes on every
// machine and every run) and the shared corpus when it is there.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace lyrx_bench {

enum WorkloadFlags : unsigned {
    kSmall = 1,   // a song or so: timed per call in microseconds
    kDetect = 2,  // lyrx_detect reads 8 KiB at most, so one size per family is enough
    kWrite = 4,   // lyrx_workloads writes it as NAME.lrc for the peer comparison
};

struct Workload {
    std::string name;
    std::function<std::string()> make;
    unsigned flags;
};

// Every generated workload, in the order the benchmarks run them.
const std::vector<Workload>& workloads();
const Workload* find_workload(const std::string& name);

// A typical song of 40 to 80 lines, about 3.5 KB; one seed, one song.
std::string typical_song(std::uint64_t seed, bool crlf);

// The .lrc files under LYRX_CORPUS, else under the folder the build was given,
// sorted; empty when there is no such folder.
std::vector<std::filesystem::path> corpus_files();

}  // namespace lyrx_bench
