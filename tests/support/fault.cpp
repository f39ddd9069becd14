// The allocation countdown behind the library's seam in test builds.
#include "fault.hpp"

namespace {
long g_fail_at = 0;  // 0: disarmed
long g_seen = 0;
bool g_persistent = false;
bool g_fired = false;
}  // namespace

namespace lyrx {
bool fault_injected() {
    if (g_fail_at == 0) return false;
    ++g_seen;
    if (g_seen == g_fail_at || (g_persistent && g_seen > g_fail_at)) {
        g_fired = true;
        return true;
    }
    return false;
}
}  // namespace lyrx

namespace lyrx_test {
void fail_allocation(long n, bool persistent) {
    g_fail_at = n;
    g_seen = 0;
    g_persistent = persistent;
    g_fired = false;
}
bool disarm_allocation_failure() {
    g_fail_at = 0;
    return g_fired;
}
long allocations_seen() { return g_seen; }
}  // namespace lyrx_test
