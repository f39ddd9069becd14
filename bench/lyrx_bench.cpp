// Throughput of every entry point on the workloads, each beside a memchr pass
// over the same bytes: x_memchr (our MB/s over memchr's) carries across
// machines where the absolute figures do not.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "lyrx.h"
#include "workloads.hpp"

namespace {

namespace fs = std::filesystem;
using benchmark::Counter;

constexpr std::uint64_t kDetectWindow = 8192;  // all that lyrx_detect reads

// One workload in memory: a single text, or one per corpus file.
struct Input {
    std::vector<std::string> texts;
    std::vector<fs::path> files;   // the same bytes as files, for lyrx_parse_file
    bool temp_files = false;       // written by us, removed with the input
    std::uint64_t bytes = 0, window = 0;
    unsigned char absent = 1;        // a byte that no text holds, for memchr to look for
    double memchr_rate[2] = {0, 0};  // bytes/s over all bytes, over the detect windows
    mutable std::size_t detect_at = 0;  // where the next lyrx_detect call begins (see once)
};

struct Source {
    std::string name;
    std::function<Input()> load;
};

enum Op { kMemchr, kParse, kParseJson, kParseFile, kDetect };
const char *const kOpNames[] = {"memchr", "parse", "parse_json", "parse_file", "detect"};

fs::path g_tmp;
std::map<std::string, Input> g_inputs;

Input with_texts(std::vector<std::string> texts, std::vector<fs::path> files) {
    Input in;
    in.texts = std::move(texts);
    in.files = std::move(files);
    bool seen[256] = {};
    for (const std::string &t : in.texts) {
        in.bytes += t.size();
        in.window += std::min<std::uint64_t>(t.size(), kDetectWindow);
        for (const char c : t) seen[static_cast<unsigned char>(c)] = true;
    }
    while (in.absent < 255 && seen[in.absent]) ++in.absent;
    return in;
}

void drop(Input &in) {
    std::error_code ec;
    if (in.temp_files)
        for (const fs::path &f : in.files) fs::remove(f, ec);
}

// Every input stays in memory until the end (about 350 MB with the 64 MiB one):
// with the repetitions interleaved, an input dropped would be built again for
// each of them.
Input &input(const Source &src) {
    if (auto it = g_inputs.find(src.name); it != g_inputs.end()) return it->second;
    return g_inputs.emplace(src.name, src.load()).first->second;
}

bool write_files(Input &in, const std::string &name) {
    if (!in.files.empty()) return true;
    std::error_code ec;
    if (g_tmp.empty()) {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        g_tmp = fs::temp_directory_path(ec) / ("lyrx-bench-" + std::to_string(stamp));
        fs::create_directories(g_tmp, ec);
    }
    const fs::path file = g_tmp / (name + ".lrc");
    std::ofstream out(file, std::ios::binary);
    out.write(in.texts[0].data(), static_cast<std::streamsize>(in.texts[0].size()));
    in.temp_files = true;
    in.files.push_back(file);
    if (out.flush()) return true;
    drop(in);
    in.files.clear();
    return false;
}

std::string utf8(const fs::path &p) {
    const std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}

void memchr_pass(const Input &in, bool window) {
    for (const std::string &t : in.texts) {
        const char *p = t.data();
        const char *end = p + (window ? std::min<std::uint64_t>(t.size(), kDetectWindow) : t.size());
        // The asm barrier says the bytes may have changed, so every pass really runs.
        benchmark::DoNotOptimize(p);
        while (const void *hit = std::memchr(p, in.absent, static_cast<std::size_t>(end - p)))
            p = static_cast<const char *>(hit) + 1;
        benchmark::DoNotOptimize(p);
    }
}

// CPU seconds of this thread, the clock behind Google Benchmark's rates
// (Windows: the wall clock, good enough on an idle machine).
double cpu_seconds() {
#ifdef _WIN32
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
#else
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
#endif
}

// memchr's rate on the same bytes, the best of five batches of 20 ms or more,
// taken once per input: every row of the input compares with the same figure,
// whichever of its repetitions runs first.
double memchr_rate(Input &in, bool window) {
    double &rate = in.memchr_rate[window];
    if (rate > 0) return rate;
    const double bytes = static_cast<double>(window ? in.window : in.bytes);
    double passes = 1;
    for (int batch = 0; batch < 5;) {
        const double start = cpu_seconds();
        for (double i = 0; i < passes; ++i) memchr_pass(in, window);
        const double spent = cpu_seconds() - start;
        if (spent < 0.02) {
            passes *= 2;
            continue;
        }
        rate = std::max(rate, passes * bytes / spent);
        ++batch;
    }
    return rate;
}

// One pass of `op` over every text; the lines of the results.
std::int64_t once(Op op, const Input &in) {
    if (op == kMemchr) {
        memchr_pass(in, false);
        return 0;
    }
    std::int64_t lines = 0;
    for (std::size_t i = 0; i < in.texts.size(); ++i) {
        const std::string &t = in.texts[i];
        switch (op) {
        case kMemchr: break;  // over every text at once, above
        case kParse: benchmark::DoNotOptimize(lyrx_parse(t.data(), t.size())); break;
        case kParseJson:
            lyrx_parse(t.data(), t.size());
            benchmark::DoNotOptimize(lyrx_result_json());
            break;
        case kParseFile: benchmark::DoNotOptimize(lyrx_parse_file(utf8(in.files[i]).c_str())); break;
        case kDetect: {
            // A text of many windows is read one window further on at each
            // call: no branch predictor then learns one window by heart, as
            // none can on a host that checks file after file.
            std::size_t at = 0;
            if (in.texts.size() == 1 && t.size() >= 2 * kDetectWindow) {
                at = in.detect_at;
                in.detect_at = at + 2 * kDetectWindow > t.size() ? 0 : at + kDetectWindow;
            }
            benchmark::DoNotOptimize(lyrx_detect(t.data() + at, t.size() - at));
            continue;
        }
        }
        lines += lyrx_line_count();
    }
    return lines;
}

void run(benchmark::State &st, const Source &src, Op op) {
    Input &in = input(src);
    if (op == kParseFile && !write_files(in, src.name)) {
        st.SkipWithError("cannot write the input file");
        return;
    }
    const bool window = op == kDetect;
    const double memchr = op == kMemchr ? 0 : memchr_rate(in, window);
    // One untimed pass first: the figures are those of a host parsing file
    // after file, whose memory from the last result is already in place (a
    // first parse of a large input also pays the kernel for fresh pages).
    once(op, in);
    std::int64_t lines = 0;
    for (auto _ : st) lines += once(op, in);
    const double bytes = static_cast<double>(st.iterations()) * static_cast<double>(window ? in.window : in.bytes);
    st.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    // Rate counters are divided by the run's time: this one gives our MB/s over memchr's.
    if (op != kMemchr) st.counters["x_memchr"] = Counter(bytes / memchr, Counter::kIsRate);
    if (op == kDetect)
        st.SetItemsProcessed(st.iterations() * static_cast<std::int64_t>(in.texts.size()));
    else if (op != kMemchr)
        st.counters["lines"] = Counter(static_cast<double>(lines), Counter::kIsRate);
    lyrx_clear();
}

const char *const kTitles[] = {
    "Song (feat. A & B)",
    "Artist ft. X - Title [Remix]",
    "01. Track Name (Live at the Budokan)",
    "Title featuring Someone, Another & Third",
    "Song Title (Official Video) [HD]",
    "夜に駆ける (feat. ikura)",
    "青花瓷 ft. 周杰伦 & 方文山",
    "사랑해 (Feat. 아이유) [Remastered 2011]",
    "Plain Title",
    "Another Song - Radio Edit",
};

void titles(benchmark::State &st, bool clean) {
    std::size_t i = 0;
    for (auto _ : st) {
        const char *title = kTitles[i++ % std::size(kTitles)];
        if (clean) {
            benchmark::DoNotOptimize(lyrx_tag_clean_title(title));
        } else {
            benchmark::DoNotOptimize(lyrx_tag_parse_title(title));
            benchmark::DoNotOptimize(lyrx_tag_artist_count());
        }
    }
    st.SetItemsProcessed(st.iterations());
}

void add(const std::string &name, std::function<Input()> load, unsigned flags) {
    const auto src = std::make_shared<const Source>(Source{name, std::move(load)});
    for (const Op op : {kMemchr, kParse, kParseJson, kParseFile, kDetect}) {
        if (op == kDetect && !(flags & lyrx_bench::kDetect)) continue;
        const bool small = (flags & lyrx_bench::kSmall) || op == kDetect;
        benchmark::RegisterBenchmark((std::string(kOpNames[op]) + "/" + name).c_str(),
                                     [src, op](benchmark::State &st) { run(st, *src, op); })
            ->Unit(small ? benchmark::kMicrosecond : benchmark::kMillisecond);
    }
}

void add_all() {
    for (const lyrx_bench::Workload &w : lyrx_bench::workloads())
        add(w.name, [&w] { return with_texts({w.make()}, {}); }, w.flags);
    const std::vector<fs::path> corpus = lyrx_bench::corpus_files();
    if (corpus.empty()) {
        std::fprintf(stderr, "lyrx_bench: no corpus found (LYRX_CORPUS), its benchmarks are left out\n");
    } else {
        add("corpus", [corpus] {
            std::vector<std::string> texts;
            for (const fs::path &f : corpus) {
                std::ifstream in(f, std::ios::binary);
                std::ostringstream bytes;
                bytes << in.rdbuf();
                texts.push_back(bytes.str());
            }
            return with_texts(std::move(texts), corpus);
        }, lyrx_bench::kSmall | lyrx_bench::kDetect);
    }
    benchmark::RegisterBenchmark("artists/titles", titles, false);
    benchmark::RegisterBenchmark("clean_title/titles", titles, true);
}

std::string si(double v) {
    static const char *const units[] = {"", "k", "M", "G"};
    int u = 0;
    for (; v >= 1000 && u < 3; ++u) v /= 1000;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3g%s", v, units[u]);
    return buf;
}

// Google Benchmark's own lines, then one table of every figure in plain units.
class Summary : public benchmark::ConsoleReporter {
public:
    Summary() : ConsoleReporter(OO_None) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        // x_memchr is a ratio once divided by the time, not a rate per second.
        std::vector<Run> shown = runs;
        for (Run &r : shown)
            if (const auto it = r.counters.find("x_memchr"); it != r.counters.end())
                it->second.flags = Counter::kDefaults;
        ConsoleReporter::ReportRuns(shown);
        // With repetitions, the summary gives each benchmark's median.
        for (const Run &r : runs) {
            if (r.error_occurred) continue;
            if (r.run_type == Run::RT_Iteration && r.repetitions <= 1) runs_.push_back(r);
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") runs_.push_back(r);
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        // Interleaved repetitions finish in any order; the table keeps the registered one.
        std::stable_sort(runs_.begin(), runs_.end(), [](const Run &a, const Run &b) {
            return a.family_index < b.family_index;
        });
        std::ostream &out = GetOutputStream();
        out << "\nSummary (medians of the repetitions): CPU time per call; MB = 10^6 bytes;\n"
               "x_memchr = MB/s over memchr's on the same bytes;\n"
               "detect counts the 8 KiB it may read, though it stops at the first tag\n";
        row(out, "benchmark", "time", "MB/s", "lines/s", "calls/s", "x_memchr");
        for (const Run &r : runs_) {
            char time[32], mb[32] = "", ratio[32] = "";
            std::snprintf(time, sizeof time, "%.4g %s", r.GetAdjustedCPUTime(), benchmark::GetTimeUnitString(r.time_unit));
            if (const double v = get(r, "bytes_per_second"); v > 0) std::snprintf(mb, sizeof mb, "%.1f", v / 1e6);
            if (const double v = get(r, "x_memchr"); v > 0) std::snprintf(ratio, sizeof ratio, "%.3g", v);
            const double lines = get(r, "lines"), calls = get(r, "items_per_second");
            row(out, r.benchmark_name(), time, mb, lines > 0 ? si(lines) : "", calls > 0 ? si(calls) : "", ratio);
        }
    }

private:
    static double get(const Run &r, const char *name) {
        const auto it = r.counters.find(name);
        return it == r.counters.end() ? 0 : static_cast<double>(it->second);
    }
    static void row(std::ostream &out, const std::string &name, const std::string &time, const std::string &mb,
                    const std::string &lines, const std::string &calls, const std::string &ratio) {
        char buf[256];
        std::snprintf(buf, sizeof buf, "%-32s %12s %10s %9s %9s %9s\n", name.c_str(), time.c_str(), mb.c_str(),
                      lines.c_str(), calls.c_str(), ratio.c_str());
        out << buf;
    }

    std::vector<Run> runs_;
};

}  // namespace

int main(int argc, char **argv) {
    // A shorter default minimum time than the library's, so the whole run stays
    // within a few minutes, and three repetitions, whose median a noisy shared
    // machine moves less than a single figure. The repetitions of all
    // benchmarks run in a random order: the 1, 4 and 16 MiB rows of a workload
    // then each sample the whole run, not three moments of a machine whose
    // speed drifts. The flags given still win.
    std::vector<char *> args(argv, argv + argc);
    char min_time[] = "--benchmark_min_time=0.2", repetitions[] = "--benchmark_repetitions=3",
         aggregates[] = "--benchmark_display_aggregates_only=true",
         interleave[] = "--benchmark_enable_random_interleaving=true";
    bool console = true, has_min_time = false, has_repetitions = false, has_interleave = false;
    for (const std::string_view a : args) {
        has_min_time = has_min_time || a.starts_with("--benchmark_min_time");
        has_repetitions = has_repetitions || a.starts_with("--benchmark_repetitions");
        has_interleave = has_interleave || a.starts_with("--benchmark_enable_random_interleaving");
        console = console && !(a.starts_with("--benchmark_format=") && a != "--benchmark_format=console");
    }
    if (!has_min_time) args.insert(args.begin() + 1, min_time);
    if (!has_repetitions) {
        args.insert(args.begin() + 1, repetitions);
        args.insert(args.begin() + 1, aggregates);
    }
    if (!has_interleave) args.insert(args.begin() + 1, interleave);
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    add_all();
    Summary summary;
    benchmark::RunSpecifiedBenchmarks(console ? &summary : nullptr);
    benchmark::Shutdown();
    for (auto &entry : g_inputs) drop(entry.second);
    std::error_code ec;
    if (!g_tmp.empty()) fs::remove_all(g_tmp, ec);
    return 0;
}
