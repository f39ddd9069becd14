// Test-only control of the allocation seam: fail the Nth allocation from now.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace lyrx_test {

// Arms the seam: allocation number n (1-based, counted from this call) fails.
// With persistent set, every allocation from the nth on fails too.
void fail_allocation(long n, bool persistent = false);
// Disarms the seam; returns true when an armed failure was delivered.
bool disarm_allocation_failure();
// Allocations seen since the last arming.
long allocations_seen();

// One run of a failure loop.
struct failed_run {
    long n;           // the allocation made to fail
    bool persistent;  // every later allocation failed too
    bool fired;       // false: the call completed without meeting the failure
};

// The countdown loop of every out-of-memory test: for n = 1, 2, ..., first
// failing only the nth allocation, then the nth and every later one, runs
// prepare() (unarmed), then call() with the failure armed, then check(run),
// until a call completes without meeting the failure. Returns the injection
// points reached: the allocations the completed call made.
template <class Prepare, class Call, class Check>
long for_each_failed_allocation(Prepare prepare, Call call, Check check, long limit = 100000) {
    long points = 0;
    for (bool persistent : {false, true}) {
        bool completed = false;
        for (long n = 1; n <= limit && !completed; n++) {
            SCOPED_TRACE((persistent ? "failing every allocation from the " : "failing allocation ") + std::to_string(n));
            prepare();
            fail_allocation(n, persistent);
            call();
            const bool fired = disarm_allocation_failure();
            completed = !fired;
            if (completed && n - 1 > points) points = n - 1;
            check(failed_run{n, persistent, fired});
            if (::testing::Test::HasFatalFailure()) return points;
        }
        EXPECT_TRUE(completed) << "the call never completed without a failure";
    }
    return points;
}

// Shows how many allocations of an entry point the failure loop reached.
inline void report_injection_points(const std::string &entry_point, long points) {
    ::testing::Test::RecordProperty("injection_points", static_cast<int>(points));
    std::printf("injection points reached by %s: %ld\n", entry_point.c_str(), points);
    EXPECT_GT(points, 0) << entry_point << " allocated nothing the loop could fail";
}

}  // namespace lyrx_test
