// Fault signals (SIGSEGV, SIGILL, SIGBUS, SIGFPE) reported like panics: a
// fault line, the stack from the interrupted instruction, then SIGABRT.
#include <csignal>

#include "failure/panic.hpp"
#include "failure/stack_trace.hpp"
#include "support/sys.hpp"
#include "support/thread.hpp"

namespace debug {

namespace {

constexpr int fault_signals[] = {SIGSEGV, SIGILL, SIGBUS, SIGFPE};

// The kernel's code for a fault it could not attribute to an address
// (general protection: a non-canonical address, for instance).
constexpr int si_kernel = 0x80;

struct FaultWriter final : Writer {
    Result<void> writeAll(std::string_view bytes) override {
        FdWriter fd(2);
        if (!fd.writeAll(bytes)) posix::abort();
        return {};
    }
};

}  // namespace

void resetSegfaultHandler() {
    struct sigaction act {};
    act.sa_handler = SIG_DFL;
    sigemptyset(&act.sa_mask);
    act.sa_flags = 0;
    (void)updateSegfaultHandler(&act);
}

Result<void> updateSegfaultHandler(const struct sigaction* act) {
    for (int sig : fault_signals) TRY(sys::sigaction(sig, act, nullptr));
    return {};
}

void attachSegfaultHandler() {
    struct sigaction act {};
    act.sa_sigaction = handleSegfaultPosix;
    sigemptyset(&act.sa_mask);
    // On the alternate stack: a stack overflow leaves none on the thread's
    // own. The handler stays installed for the process's life: a fault on
    // another thread while one report is written waits for it and is
    // reported in turn; the handler itself decides when a fault ends the
    // process by its default action.
    act.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
    if (!updateSegfaultHandler(&act))
        panic("unable to install segfault handler, maybe adjust have_segfault_handling_support in std/debug");
}

void maybeEnableSegfaultHandler() {
    if constexpr (enable_segfault_handler) {
        // Start-up runs on the main thread; every other thread gets its
        // alternate stack from Thread::spawn. Without one (no memory for
        // it) only a stack overflow goes unreported.
        (void)sys::installAltSignalStack();
        attachSegfaultHandler();
    }
}

void dumpSegfaultInfoPosix(int sig, int code, usize addr, const ucontext_t* context) {
    FaultWriter out;
    switch (sig) {
        case SIGSEGV:
            if (code == si_kernel) (void)out.writeAll("General protection exception (no address available)\n");
            else (void)fmt::format(out, "Segmentation fault at address 0x{x}\n", addr);
            break;
        case SIGILL: (void)fmt::format(out, "Illegal instruction at address 0x{x}\n", addr); break;
        case SIGBUS: (void)fmt::format(out, "Bus error at address 0x{x}\n", addr); break;
        case SIGFPE: (void)fmt::format(out, "Arithmetic exception at address 0x{x}\n", addr); break;
        default: break;
    }
    // The trace starts at the interrupted instruction itself.
    dumpStackTraceFromBase(context);
}

void handleSegfaultPosix(int sig, siginfo_t* info, void* context) {
    // A read the walk or the reader was prepared to see fail.
    if ((sig == SIGSEGV || sig == SIGBUS) && recoverFromFault(static_cast<ucontext_t*>(context))) return;
    if (panic_stage != 0) {
        // This thread's own panic or fault report faulted: it cannot report
        // that in turn. The default action ends the process by this very
        // signal, delivered as soon as the handler returns (it stays
        // blocked until then).
        resetSegfaultHandler();
        (void)sys::tkill(sys::gettid(), sig);
        return;
    }
    builtin::setErrorReturnTrace(nullptr);
    const usize addr = reinterpret_cast<usize>(info->si_addr);
    const int code = info->si_code;
    const auto* uc = static_cast<const ucontext_t*>(context);
    panic_stage = 1;
    panicking.fetch_add(1, std::memory_order_seq_cst);
    // Behind any report another thread is writing, as a panic would be.
    panic_mutex.lock();
    runReportStartHook();
    // A fault the report meets must reach this handler too, to be
    // recovered from or to end the process by its own signal; left
    // blocked, the kernel would end the process at once.
    sigset_t faults;
    sigemptyset(&faults);
    for (int fault : fault_signals) sigaddset(&faults, fault);
    (void)sys::sigprocmask(SIG_UNBLOCK, &faults, nullptr);
    dumpSegfaultInfoPosix(sig, code, addr, uc);
    panic_mutex.unlock();
    waitForOtherThreadToFinishPanicking();
    posix::abort();
}

}  // namespace debug
