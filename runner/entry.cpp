// The process entry: start-up in order, then the runner, then exit 0.
#include <sys/auxv.h>

#include "failure/panic.hpp"
#include "failure/stack_trace.hpp"
#include "runner/test_runner.hpp"
#include "support/sys.hpp"

// The per-test time limit in seconds, fixed when the program is built.
#ifndef XOV_TEST_TIMEOUT_S
#define XOV_TEST_TIMEOUT_S 0
#endif

int main(int argc, char** argv, char** envp) {
    // The C library's start-up code has prepared thread-local storage; the
    // program headers come from the auxiliary vector it recorded.
    const u64 stack_limit =
        start::expandStackSize({reinterpret_cast<const void*>(getauxval(AT_PHDR)), getauxval(AT_PHNUM)});
    if (stack_limit != 0) debug::noteStartUpStack(stack_limit);
    os::argv = std::span<char*>(argv, static_cast<usize>(argc));
    usize env_count = 0;
    while (envp[env_count] != nullptr) ++env_count;
    os::environ = std::span<char*>(envp, env_count);
    start::unblockFaultSignals();
    debug::maybeEnableSegfaultHandler();
    start::maybeIgnoreSigpipe();
    debug::maybeEnableInterruptHandler();
    debug::enableTestTimeLimit(XOV_TEST_TIMEOUT_S);
    test_runner::main();
    sys::exitGroup(0);
}
