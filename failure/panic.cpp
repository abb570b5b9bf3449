// Panic reports: one report at a time under panic_mutex, a second panic on
// the same thread prints one notice, and the last reporter ends the process.
#include "failure/panic.hpp"

#include <atomic>
#include <csignal>

#include "failure/stack_trace.hpp"
#include "support/sys.hpp"

namespace debug {

thread_local usize panic_stage = 0;
std::atomic<u8> panicking{0};
Mutex panic_mutex;

}  // namespace debug

namespace {

// Writes straight to the descriptor, without the standard-error lock: the
// panic mutex alone orders reports. A failed write ends the process.
struct PanicWriter final : Writer {
    Result<void> writeAll(std::string_view bytes) override {
        FdWriter fd(2);
        if (!fd.writeAll(bytes)) posix::abort();
        return {};
    }
};

// Sends sig to the calling thread with the application's signals blocked,
// then restores the mask.
void raiseSignal(int sig) {
    sigset_t all;
    sigfillset(&all);
    sigset_t old;
    const bool masked = sys::sigprocmask(SIG_BLOCK, &all, &old).has_value();
    (void)sys::tkill(sys::gettid(), sig);
    if (masked) (void)sys::sigprocmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace

namespace posix {

void abort() {
    raiseSignal(SIGABRT);

    // Still alive: SIGABRT was caught or ignored. One thread at a time
    // restores its default action and tries again.
    static std::atomic<u8> abort_entered{0};
    sigset_t all;
    sigfillset(&all);
    (void)sys::sigprocmask(SIG_BLOCK, &all, nullptr);
    for (;;) {
        u8 expected = 0;
        if (abort_entered.compare_exchange_weak(expected, 1, std::memory_order_seq_cst)) break;
        sys::sleepNs(1'000'000);
    }
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    (void)sys::sigaction(SIGABRT, &dfl, nullptr);
    (void)sys::tkill(sys::gettid(), SIGABRT);
    sigset_t abrt;
    sigemptyset(&abrt);
    sigaddset(&abrt, SIGABRT);
    (void)sys::sigprocmask(SIG_UNBLOCK, &abrt, nullptr);

    raiseSignal(SIGKILL);
    sys::exitGroup(127);
}

}  // namespace posix

namespace debug {

void waitForOtherThreadToFinishPanicking() {
    if (panicking.fetch_sub(1, std::memory_order_seq_cst) == 1) return;
    // Another thread is still reporting and will end the process; nobody
    // ever changes this word, so every wake-up is spurious.
    static std::atomic<u32> never_changes{0};
    for (;;) (void)sys::futexWait(reinterpret_cast<const u32*>(&never_changes), 0);
}

void panicImpl(const StackTrace* trace, usize first_trace_addr, std::string_view msg) {
    // A fault from here on ends the process by the default action instead
    // of re-entering the fault handler.
    resetSegfaultHandler();
    // Errors handled while printing (a terminal query, a missing source
    // file) would otherwise be recorded into the very trace being printed.
    builtin::setErrorReturnTrace(nullptr);
    PanicWriter out;
    switch (panic_stage) {
        case 0: {
            panic_stage = 1;
            panicking.fetch_add(1, std::memory_order_seq_cst);
            panic_mutex.lock();
            (void)fmt::format(out, "thread {d} panic: ", sys::gettid());
            (void)fmt::format(out, "{s}\n", msg);
            if (trace != nullptr) dumpStackTrace(*trace);
            dumpCurrentStackTrace(first_trace_addr);
            panic_mutex.unlock();
            waitForOtherThreadToFinishPanicking();
            break;
        }
        case 1:
            // The report itself panicked; the mutex is still ours.
            panic_stage = 2;
            (void)out.writeAll("Panicked during a panic. Aborting.\n");
            break;
        default:
            break;
    }
    posix::abort();
}

void panicExtraArgs(const StackTrace* trace, usize ret_addr, std::string_view format, std::span<const fmt::Arg> args) {
    constexpr std::string_view truncated = "(msg truncated)";
    char buf[panic_message_capacity + truncated.size()];
    FixedBufferWriter w(std::span<char>(buf, panic_message_capacity));
    std::string_view msg;
    const auto formatted = fmt::formatArgs(w, format, args);
    if (formatted || formatted.error() != Error::NoSpaceLeft) {
        msg = w.written();
    } else {
        // The writer kept what fitted: exactly the first 4096 bytes.
        __builtin_memcpy(buf + panic_message_capacity, truncated.data(), truncated.size());
        msg = std::string_view(buf, sizeof buf);
    }
    builtin::default_panic(msg, trace, ret_addr);
}

}  // namespace debug

namespace builtin {

void default_panic(std::string_view msg, const StackTrace* trace, usize ret_addr) {
    const usize first = ret_addr != 0 ? ret_addr : reinterpret_cast<usize>(__builtin_return_address(0));
    debug::panicImpl(trace, first, msg);
}

void unreachable() {
    default_panic(panic_messages::unreach, nullptr, reinterpret_cast<usize>(__builtin_return_address(0)));
}

void panicOutOfBounds(usize index, usize len) {
    debug::panicExtra(nullptr, reinterpret_cast<usize>(__builtin_return_address(0)),
                      "index out of bounds: index {d}, len {d}", index, len);
}

void panicStartGreaterThanEnd(usize start, usize end) {
    debug::panicExtra(nullptr, reinterpret_cast<usize>(__builtin_return_address(0)),
                      "start index {d} is larger than end index {d}", start, end);
}

void panicSentinelMismatch(u64 expected, u64 found) {
    debug::panicExtra(nullptr, reinterpret_cast<usize>(__builtin_return_address(0)),
                      "sentinel mismatch: expected {any}, found {any}", expected, found);
}

void panicUnwrapError(const StackTrace* trace, Error error) {
    debug::panicExtra(trace, reinterpret_cast<usize>(__builtin_return_address(0)), "attempt to unwrap error: {s}",
                      errorName(error));
}

void panicInactiveUnionField(std::string_view active, std::string_view accessed) {
    debug::panicExtra(nullptr, reinterpret_cast<usize>(__builtin_return_address(0)),
                      "access of union field '{s}' while field '{s}' is active", accessed, active);
}

}  // namespace builtin
