// Start-up pieces that main() runs in order: the stack limit, the fault
// signals' mask, the SIGPIPE disposition, and the process-wide argument and
// environment records.
#include <cerrno>
#include <csignal>
#include <elf.h>
#include <sys/resource.h>

#include "runner/test_runner.hpp"
#include "support/panic.hpp"
#include "support/sys.hpp"

namespace os {
std::span<char*> argv;
std::span<char*> environ;
}  // namespace os

namespace start {

u64 expandStackSize(ProgramHeaders headers) {
    rlimit limits{};
    if (prlimit(0, RLIMIT_STACK, nullptr, &limits) != 0) return 0;
    const auto* phdrs = static_cast<const Elf64_Phdr*>(headers.phdr);
    for (usize i = 0; i < headers.phnum; ++i) {
        if (phdrs[i].p_type != PT_GNU_STACK) continue;
        const u64 wanted_size = phdrs[i].p_memsz;
        XOV_ASSERT(wanted_size % 4096 == 0);
        const u64 wanted = wanted_size < limits.rlim_max ? wanted_size : limits.rlim_max;
        if (limits.rlim_cur >= wanted) break;
        const u64 before = limits.rlim_cur;
        limits.rlim_cur = wanted;
        if (prlimit(0, RLIMIT_STACK, &limits, nullptr) != 0) limits.rlim_cur = before;
        break;
    }
    return limits.rlim_cur;
}

// A signal mask survives execve, so a parent (a Python harness, a CI
// runner) may start the program with fault signals blocked. A blocked
// SIGSEGV raised by the faulting instruction itself is not held back: the
// kernel kills the process by its default action, and the handler never
// gets to report.
void unblockFaultSignals() {
    sigset_t faults;
    sigemptyset(&faults);
    for (const int sig : {SIGSEGV, SIGILL, SIGBUS, SIGFPE, SIGABRT}) sigaddset(&faults, sig);
    if (sigprocmask(SIG_UNBLOCK, &faults, nullptr) != 0)
        debug::panic("failed to unblock the fault signals: {s}", sys::errorFromErrno(errno));
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

