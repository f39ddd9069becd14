// Peak memory of a parse, and of a parse and its JSON text, as a multiple of the
// input size. Each runs in a fresh child process, so no high-water mark of one
// run hides the next.
#include <cstdio>
#include <string>

#include "lyrx.h"
#include "workloads.hpp"

#ifdef _WIN32

int main() {
    std::puts("lyrx_bench_memory: needs fork(), not measured on Windows");
    return 0;
}

#else

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

long peak_kib() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

void measure_in_child(const lyrx_bench::Workload &w, bool json) {
    const std::string text = w.make();
    // Every page of the input is resident before the baseline is read.
    for (std::size_t i = 0; i < text.size(); i += 4096) static_cast<void>(*static_cast<const volatile char *>(&text[i]));
    const long before = peak_kib();
    const int status = lyrx_parse(text.data(), text.size());
    const bool json_ok = !json || lyrx_result_json() != nullptr;
    const double grown = static_cast<double>(peak_kib() - before) * 1024.0;
    std::printf("%-18s %-11s %10zu %9d %9d %11.1f %8.2f%s\n", w.name.c_str(), json ? "parse+json" : "parse",
                text.size(), status, lyrx_line_count(), grown / (1 << 20), grown / static_cast<double>(text.size()),
                json_ok ? "" : "  (no JSON text)");
}

bool measure(const lyrx_bench::Workload &w, bool json) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        measure_in_child(w, json);
        std::fflush(stdout);
        _exit(0);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main() {
    std::printf("Peak RSS growth (getrusage ru_maxrss, one fresh process each)\n");
    std::printf("%-18s %-11s %10s %9s %9s %11s %8s\n", "input", "call", "bytes", "status", "lines", "growth MiB",
                "x input");
    bool ok = true;
    for (const char *name : {"songs_64mib", "tags_1m_one_line"})
        for (const bool json : {false, true}) ok = measure(*lyrx_bench::find_workload(name), json) && ok;
    if (!ok) std::fprintf(stderr, "lyrx_bench_memory: a measuring process failed\n");
    return ok ? 0 : 1;
}

#endif
