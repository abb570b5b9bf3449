// Fault signals (SIGSEGV, SIGILL, SIGBUS, SIGFPE) reported like panics: a
// fault line, the stack from the interrupted instruction, then SIGABRT.
// Interrupts (SIGINT, SIGTERM) reported the same way, then ended by their
// own default action; SIGQUIT and the time limit show every thread's stack.
#include <csignal>

#include "failure/panic.hpp"
#include "failure/stack_trace.hpp"
#include "support/running_test.hpp"
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

namespace {

constexpr int interrupt_signals[] = {SIGINT, SIGTERM, SIGQUIT};

// The thread whose stack an interrupt's report shows: the one that runs
// the tests.
std::atomic<i32> interrupt_tid{0};
// Set by the main thread once its report has started.
std::atomic<bool> interrupt_reporting{false};

std::string_view interruptName(int sig) {
    switch (sig) {
        case SIGINT: return "SIGINT";
        case SIGTERM: return "SIGTERM";
        case SIGQUIT: return "SIGQUIT";
        default: return "a signal";
    }
}

// Ends the process by sig's default action, delivered as the mask lets it
// through; exit status 128 + sig if the kernel refuses the action.
[[noreturn]] void endBySignal(int sig) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    (void)sys::sigaction(sig, &dfl, nullptr);
    (void)sys::tkill(sys::gettid(), sig);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    (void)sys::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    sys::exitGroup(128 + sig);
}

// "interrupted by SIGINT in test 3/10 "name", after 1.25 s", or what the
// runner was doing when no test runs.
void writeInterruptLine(Writer& out, int sig, const RunningTest* test) {
    (void)fmt::format(out, "interrupted by {s} ", interruptName(sig));
    if (test == nullptr) {
        (void)fmt::format(out, "while {s}\n", std::string_view(runner_activity.load(std::memory_order_acquire)));
        return;
    }
    if (test->server)
        (void)fmt::format(out, "in test index {d} \"{s}\"", test->number, test->name);
    else
        (void)fmt::format(out, "in test {d}/{d} \"{s}\"", test->number, test->total, test->name);
    const u64 now = sys::monotonicNs();
    const u64 centis = now > test->start_ns ? (now - test->start_ns) / 10'000'000 : 0;
    (void)fmt::format(out, ", after {d}.{s}{d} s\n", centis / 100, centis % 100 < 10 ? "0" : "", centis % 100);
}

// Asks another thread for its register context: realtime, as the time
// limit's.
int traceRequestSignal() { return SIGRTMIN + 4; }

// Set once a report has asked the other threads for their stacks.
std::atomic<bool> traces_requested{false};

// How long a report waits for the other threads' answers, all together.
constexpr u64 answer_bound_ns = 200'000'000;

void handleTraceRequestPosix(int, siginfo_t*, void* context) {
    if (!traces_requested.load(std::memory_order_acquire)) return;
    sys::ThreadRecord* const record = sys::thisThreadRecord();
    if (record == nullptr) return;
    record->answer.store(context, std::memory_order_release);
    // The context and the stack it describes stay as they are while the
    // report reads them; the report ends the process.
    for (;;) sys::sleepNs(1'000'000'000);
}

const char* threadRole(const sys::ThreadRecord& record) {
    const char* const role = record.role.load(std::memory_order_acquire);
    return role != nullptr ? role : "started by a test";
}

// The main thread's stack from context, then every listed thread's from
// the context it answers with; one that has not answered within the bound
// (its signals blocked, say) is listed as such.
void dumpEveryThread(Writer& out, const ucontext_t* context) {
    (void)fmt::format(out, "thread {d}, the main thread:\n", sys::gettid());
    dumpStackTraceFromBase(context);
    const std::span<sys::ThreadRecord, sys::thread_table_size> table = sys::threadTable();
    i32 asked[sys::thread_table_size] = {};
    traces_requested.store(true, std::memory_order_release);
    for (usize i = 0; i < table.size(); ++i) {
        const i32 tid = table[i].tid.load(std::memory_order_acquire);
        if (tid != 0 && tid != sys::gettid() && sys::signalThread(tid, traceRequestSignal())) asked[i] = tid;
    }
    const u64 deadline = sys::monotonicNs() + answer_bound_ns;
    for (;;) {
        bool waiting = false;
        for (usize i = 0; i < table.size(); ++i)
            waiting = waiting || (asked[i] != 0 && table[i].answer.load(std::memory_order_acquire) == nullptr);
        if (!waiting || sys::monotonicNs() >= deadline) break;
        sys::sleepNs(1'000'000);
    }
    for (usize i = 0; i < table.size(); ++i) {
        if (asked[i] == 0) continue;
        const void* const answer = table[i].answer.load(std::memory_order_acquire);
        const char* const role = threadRole(table[i]);
        if (answer == nullptr) {
            (void)fmt::format(out, "thread {d}, {s}, did not answer within {d} ms\n", asked[i],
                              std::string_view(role), answer_bound_ns / 1'000'000);
            continue;
        }
        (void)fmt::format(out, "thread {d}, {s}:\n", asked[i], std::string_view(role));
        dumpStackTraceFromBase(static_cast<const ucontext_t*>(answer));
    }
    if (const usize unlisted = sys::unlistedThreads(); unlisted != 0)
        (void)fmt::format(out, "{d} more threads not listed\n", unlisted);
}

}  // namespace

void maybeEnableInterruptHandler() {
    interrupt_tid.store(sys::gettid(), std::memory_order_relaxed);
    struct sigaction request {};
    request.sa_sigaction = handleTraceRequestPosix;
    sigemptyset(&request.sa_mask);
    request.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
    if (!sys::sigaction(traceRequestSignal(), &request, nullptr))
        panic("unable to install the handler of a thread's trace request");
    struct sigaction act {};
    act.sa_sigaction = handleInterruptPosix;
    sigemptyset(&act.sa_mask);
    for (int sig : interrupt_signals) sigaddset(&act.sa_mask, sig);
    // On the alternate stack, as the fault reports: the signal may arrive
    // deep in a recursion.
    act.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
    for (int sig : interrupt_signals) {
        // A shell starts a background job with SIGINT ignored; the job
        // keeps ignoring it.
        struct sigaction old {};
        if (!sys::sigaction(sig, &act, &old)) panic("unable to install the handler of {s}", interruptName(sig));
        if (old.sa_handler == SIG_IGN) (void)sys::sigaction(sig, &old, nullptr);
    }
}

namespace {

// Takes the report over for an interrupt or the time limit on the main
// thread: the display stops, a second interrupt from now on ends the
// process at once, and a fault in the report reaches the fault handler.
void beginSignalReport() {
    interrupt_reporting.store(true, std::memory_order_relaxed);
    builtin::setErrorReturnTrace(nullptr);
    panic_stage = 1;
    panicking.fetch_add(1, std::memory_order_seq_cst);
    // A panic that started since waits for this report.
    panic_mutex.lock();
    haltDisplayForReport();
    sigset_t set;
    sigemptyset(&set);
    for (int fault : fault_signals) sigaddset(&set, fault);
    for (int interrupt : interrupt_signals) sigaddset(&set, interrupt);
    (void)sys::sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

// Whether another report is under way (or this thread's own), which ends
// the process itself.
bool reportUnderWay() { return panic_stage != 0 || panicking.load(std::memory_order_seq_cst) != 0; }

i32 time_limit_timer = -1;
// Realtime: no program or library has a meaning of its own for it.
int timeLimitSignal() { return SIGRTMIN + 3; }

}  // namespace

void handleInterruptPosix(int sig, siginfo_t*, void* context) {
    const i32 main = interrupt_tid.load(std::memory_order_relaxed);
    if (sys::gettid() != main) {
        // The kernel picks any thread for a signal sent to the process.
        (void)sys::tkill(main, sig);
        return;
    }
    // A second interrupt while the first is reported.
    if (interrupt_reporting.load(std::memory_order_relaxed)) endBySignal(sig);
    if (reportUnderWay()) return;
    beginSignalReport();
    FaultWriter out;
    const RunningTest* const test = running_test.exchange(nullptr, std::memory_order_acquire);
    writeInterruptLine(out, sig, test);
    if (sig == SIGQUIT) dumpEveryThread(out, static_cast<const ucontext_t*>(context));
    else if (test != nullptr) dumpStackTraceFromBase(static_cast<const ucontext_t*>(context));
    endBySignal(sig);
}

u64 test_time_limit_ns = 0;

void enableTestTimeLimit(u64 seconds) {
    if (seconds == 0) return;
    struct sigaction act {};
    act.sa_sigaction = handleTimeLimitPosix;
    sigemptyset(&act.sa_mask);
    for (int sig : interrupt_signals) sigaddset(&act.sa_mask, sig);
    act.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
    if (!sys::sigaction(timeLimitSignal(), &act, nullptr)) panic("unable to install the time limit's handler");
    const Result<i32> timer = sys::threadTimerCreate(sys::gettid(), timeLimitSignal());
    if (!timer) panic("unable to create the time limit's timer: {s}", timer.error());
    time_limit_timer = *timer;
    test_time_limit_ns = seconds * 1'000'000'000;
}

void armTestTimeLimit() {
    if (!sys::threadTimerArm(time_limit_timer, test_time_limit_ns)) panic("unable to start the time limit's timer");
}

void disarmTestTimeLimit() { (void)sys::threadTimerArm(time_limit_timer, 0); }

void handleTimeLimitPosix(int, siginfo_t* info, void* context) {
    // Only the timer's expiry, and only while a test runs: one that ended
    // just as the timer expired has not run over.
    if (info->si_code != SI_TIMER || running_test.load(std::memory_order_acquire) == nullptr) return;
    if (interrupt_reporting.load(std::memory_order_relaxed) || reportUnderWay()) return;
    beginSignalReport();
    FaultWriter out;
    const RunningTest* const test = running_test.exchange(nullptr, std::memory_order_acquire);
    if (test != nullptr) {
        if (test->server)
            (void)fmt::format(out, "timed out in test index {d} \"{s}\"", test->number, test->name);
        else
            (void)fmt::format(out, "timed out in test {d}/{d} \"{s}\"", test->number, test->total, test->name);
        (void)fmt::format(out, ", after the time limit of {d} s\n", test_time_limit_ns / 1'000'000'000);
        dumpEveryThread(out, static_cast<const ucontext_t*>(context));
    }
    panic_mutex.unlock();
    waitForOtherThreadToFinishPanicking();
    posix::abort();
}

}  // namespace debug
