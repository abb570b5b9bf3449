// The call chain of unwind_chain_helper.hpp, in the namespace its build
// names (XOV_UNWIND_CHAIN): the code is the same, the flags differ.
#include "tests/debuginfo/unwind_chain_helper.hpp"

#include <cstring>

namespace XOV_UNWIND_CHAIN {

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

}  // namespace XOV_UNWIND_CHAIN
