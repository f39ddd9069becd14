// Parse throughput on generated LRC of a typical shape, on pathological
// inputs (which must stay linear) and on the shared corpus when present.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "lyrx.h"

namespace {

std::string typical_lrc(int lines) {
    std::string s = "[ti:Benchmark Song]\n[ar:Some Band]\n[al:Album]\n[by:lyrx]\n[offset:+120]\n";
    char tag[32];
    for (int i = 0; i < lines; i++) {
        int ms = i * 3170;
        std::snprintf(tag, sizeof tag, "[%02d:%02d.%02d]", ms / 60000, ms / 1000 % 60, ms / 10 % 100);
        s += tag;
        s += (i % 7 == 0) ? "" : "Some words of a lyric line, number ";
        s += std::to_string(i);
        s += (i % 3 == 0) ? "\r\n" : "\n";
    }
    return s;
}

void run_parse(benchmark::State &state, const std::string &text) {
    for (auto _ : state) {
        int32_t status = lyrx_parse(text.data(), text.size());
        benchmark::DoNotOptimize(status);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

void BM_ParseTypical(benchmark::State &state) { run_parse(state, typical_lrc(static_cast<int>(state.range(0)))); }
BENCHMARK(BM_ParseTypical)->Arg(60)->Arg(5000);

void BM_ParseUnsorted(benchmark::State &state) {
    std::string s;
    for (int i = 5000; i > 0; i--) s += "[" + std::to_string(i / 60) + ":" + std::to_string(i % 60) + ".5]x\n";
    run_parse(state, s);
}
BENCHMARK(BM_ParseUnsorted);

void BM_PathologicalOpenBrackets(benchmark::State &state) { run_parse(state, std::string(1 << 20, '[')); }
BENCHMARK(BM_PathologicalOpenBrackets);

void BM_PathologicalManyTags(benchmark::State &state) {
    std::string s;
    for (int i = 0; i < 100000; i++) s += "[00:01]";
    s += "x";
    run_parse(state, s);
}
BENCHMARK(BM_PathologicalManyTags);

void BM_PathologicalBackslashes(benchmark::State &state) { run_parse(state, "[00:01]" + std::string(1 << 20, '\\')); }
BENCHMARK(BM_PathologicalBackslashes);

void BM_DetectLarge(benchmark::State &state) {
    std::string s(1 << 22, 'x');
    for (auto _ : state) benchmark::DoNotOptimize(lyrx_detect(s.data(), s.size()));
}
BENCHMARK(BM_DetectLarge);

void BM_Corpus(benchmark::State &state) {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(LYRX_CORPUS_DIR, ec)) {
        std::ifstream in(e.path(), std::ios::binary);
        std::ostringstream o;
        o << in.rdbuf();
        files.push_back(o.str());
    }
    if (files.empty()) {
        state.SkipWithError("corpus not present");
        return;
    }
    int64_t bytes = 0;
    for (auto _ : state) {
        for (const auto &f : files) {
            benchmark::DoNotOptimize(lyrx_parse(f.data(), f.size()));
            bytes += static_cast<int64_t>(f.size());
        }
    }
    state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_Corpus);

}  // namespace

BENCHMARK_MAIN();
