// Process start-up: stack limit, fault handler, SIGPIPE, then the runner.
#include <csignal>
#include <elf.h>
#include <sys/auxv.h>
#include <sys/resource.h>

#include "failure/panic.hpp"
#include "runner/test_runner.hpp"
#include "support/sys.hpp"

namespace os {
std::span<char*> argv;
std::span<char*> environ;
}  // namespace os

namespace start {

void expandStackSize(ProgramHeaders headers) {
    const auto* phdrs = static_cast<const Elf64_Phdr*>(headers.phdr);
    for (usize i = 0; i < headers.phnum; ++i) {
        if (phdrs[i].p_type != PT_GNU_STACK) continue;
        const u64 wanted_size = phdrs[i].p_memsz;
        XOV_ASSERT(wanted_size % 4096 == 0);
        rlimit limits{};
        if (prlimit(0, RLIMIT_STACK, nullptr, &limits) != 0) return;
        const u64 wanted = wanted_size < limits.rlim_max ? wanted_size : limits.rlim_max;
        if (limits.rlim_cur >= wanted) return;
        limits.rlim_cur = wanted;
        (void)prlimit(0, RLIMIT_STACK, &limits, nullptr);
        return;
    }
}

void noopSigHandler(int) {}

void maybeIgnoreSigpipe() {
    struct sigaction act {};
    act.sa_handler = noopSigHandler;
    sigemptyset(&act.sa_mask);
    act.sa_flags = 0;
    if (sigaction(SIGPIPE, &act, nullptr) != 0)
        debug::panic("failed to set noop SIGPIPE handler: {s}", sys::errorFromErrno(errno));
}

}  // namespace start

int main(int argc, char** argv, char** envp) {
    // The C library's start-up code has prepared thread-local storage; the
    // program headers come from the auxiliary vector it recorded.
    start::expandStackSize({reinterpret_cast<const void*>(getauxval(AT_PHDR)), getauxval(AT_PHNUM)});
    os::argv = std::span<char*>(argv, static_cast<usize>(argc));
    usize env_count = 0;
    while (envp[env_count] != nullptr) ++env_count;
    os::environ = std::span<char*>(envp, env_count);
    debug::maybeEnableSegfaultHandler();
    start::maybeIgnoreSigpipe();
    test_runner::main();
    sys::exitGroup(0);
}
