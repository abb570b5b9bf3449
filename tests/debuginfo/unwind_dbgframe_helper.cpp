// Call chains whose rules exist only in .debug_frame (this file is compiled
// without unwind tables and frame pointers): the loaded .eh_frame knows
// nothing of them.
#include "tests/debuginfo/unwind_dbgframe_helper.hpp"

#include <cstring>

namespace dbgframe {

usize recorded_returns[3];

namespace {

// Stack use that moves the CFA away from a fixed offset of rsp.
[[gnu::noinline]] usize churn(volatile char* buf, usize n) {
    usize sum = 0;
    for (usize i = 0; i < n; ++i) sum += static_cast<usize>(buf[i]);
    return sum;
}

}  // namespace

[[gnu::noinline]] usize levelC(usize (*at_bottom)(usize)) {
    recorded_returns[2] = reinterpret_cast<usize>(__builtin_return_address(0));
    volatile char buf[40] = {};
    const usize r = at_bottom(churn(buf, sizeof buf));
    __asm__ volatile("" ::: "memory");
    return r + 1;
}

[[gnu::noinline]] usize levelB(usize (*at_bottom)(usize)) {
    recorded_returns[1] = reinterpret_cast<usize>(__builtin_return_address(0));
    volatile char buf[200] = {};
    const usize r = levelC(at_bottom) + churn(buf, sizeof buf);
    __asm__ volatile("" ::: "memory");
    return r + 2;
}

[[gnu::noinline]] usize levelA(usize (*at_bottom)(usize)) {
    recorded_returns[0] = reinterpret_cast<usize>(__builtin_return_address(0));
    volatile char buf[24] = {};
    const usize r = levelB(at_bottom) + churn(buf, sizeof buf);
    __asm__ volatile("" ::: "memory");
    return r + 3;
}

}  // namespace dbgframe
