// Test-only control of the allocation seam: fail the Nth allocation from now.
#pragma once

namespace lyrx_test {

// Arms the seam: allocation number n (1-based, counted from this call) fails.
// With persistent set, every allocation from the nth on fails too.
void fail_allocation(long n, bool persistent = false);
// Disarms the seam; returns true when an armed failure was delivered.
bool disarm_allocation_failure();
// Allocations seen since the last arming.
long allocations_seen();

}  // namespace lyrx_test
