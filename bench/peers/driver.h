/* The time-boxed loop and the one-line JSON report shared by the C drivers of
 * the peer comparison; run.py reads the report. */
#ifndef LYRX_PEERS_DRIVER_H
#define LYRX_PEERS_DRIVER_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

/* Inputs this large get no warm-up: one pass is long enough to be its own. */
#define DRIVER_WARMUP_LIMIT (16u << 20)

typedef int64_t (*driver_pass)(void *ctx);

static double driver_now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static long driver_maxrss_kb(void) {
    struct rusage ru;
    return getrusage(RUSAGE_SELF, &ru) == 0 ? ru.ru_maxrss : -1;
}

/* The whole file in one malloc'd buffer (one spare byte, never read by the
 * parsers, so an empty file still gets a pointer). */
static char *driver_read(const char *path, size_t *size) {
    FILE *f = fopen(path, "rb");
    if (!f) return NULL;
    char *buf = NULL;
    long n = -1;
    if (fseek(f, 0, SEEK_END) == 0 && (n = ftell(f)) >= 0 && fseek(f, 0, SEEK_SET) == 0) {
        buf = malloc((size_t)n + 1);
        if (buf && fread(buf, 1, (size_t)n, f) != (size_t)n) {
            free(buf);
            buf = NULL;
        }
    }
    fclose(f);
    if (buf) *size = (size_t)n;
    return buf;
}

/* Runs `pass` untimed for a short warm-up, then timed until `budget` seconds
 * have gone by (at least once), and prints the report, with `extra` (a JSON
 * member list or "") at its end. A pass returns the number of lines it found,
 * or -1 on failure. */
static int driver_run(driver_pass pass, void *ctx, size_t bytes, double budget, const char *(*extra)(void)) {
    long base_kb = driver_maxrss_kb();
    int64_t lines = 0;
    if (bytes < DRIVER_WARMUP_LIMIT) {
        double end = driver_now() + budget / 4;
        do {
            lines = pass(ctx);
        } while (lines >= 0 && driver_now() < end);
    }
    long iterations = 0;
    double start = driver_now(), elapsed = 0;
    while (lines >= 0 && (iterations == 0 || elapsed < budget)) {
        lines = pass(ctx);
        iterations++;
        elapsed = driver_now() - start;
    }
    if (lines < 0) {
        fprintf(stderr, "driver: the parse failed\n");
        return 1;
    }
    printf("{\"iterations\": %ld, \"seconds\": %.6f, \"bytes\": %zu, \"lines\": %lld, "
           "\"base_rss_kb\": %ld, \"maxrss_kb\": %ld%s}\n",
           iterations, elapsed, bytes, (long long)lines, base_kb, driver_maxrss_kb(), extra ? extra() : "");
    return 0;
}

static double driver_budget(const char *arg) {
    double b = arg ? atof(arg) : 1.0;
    return b > 0 ? b : 1.0;
}

#endif
