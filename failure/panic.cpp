// Panic reports: one report at a time under panic_mutex, a second panic on
// the same thread prints one notice, and the last reporter ends the process.
#include "failure/panic.hpp"

#include <atomic>
#include <csignal>

#include "failure/stack_trace.hpp"
#include "support/running_test.hpp"
#include "support/sys.hpp"

namespace debug {

thread_local usize panic_stage = 0;
std::atomic<u8> panicking{0};
Mutex panic_mutex;

namespace {
std::atomic<void (*)()> report_start_hook{nullptr};
}  // namespace

void setReportStartHook(void (*hook)()) { report_start_hook.store(hook, std::memory_order_release); }

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

namespace debug {

void haltDisplayForReport() {
    if (void (*const hook)() = report_start_hook.load(std::memory_order_acquire)) hook();
}

void runReportStartHook() {
    haltDisplayForReport();
    // The line a pipe would already show before the report, where the
    // erased progress tree was the only thing naming the test. Taken once:
    // on a pipe a second report (another thread's) follows the first with
    // no line of its own. Pairs with the runner's release store.
    const RunningTest* const test = running_test.exchange(nullptr, std::memory_order_acquire);
    if (test != nullptr && test->announce) {
        PanicWriter out;
        (void)fmt::format(out, "{d}/{d} {s}...", test->number, test->total, test->name);
    }
}

}  // namespace debug

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
    // The fault handler stays installed: a fault on another thread waits
    // for this report like a second panic, and one in this report (the
    // handler sees panic_stage) ends the process by its default action.
    // Errors handled while printing (a terminal query, a missing source
    // file) would otherwise be recorded into the very trace being printed.
    builtin::setErrorReturnTrace(nullptr);
    PanicWriter out;
    switch (panic_stage) {
        case 0: {
            panic_stage = 1;
            panicking.fetch_add(1, std::memory_order_seq_cst);
            panic_mutex.lock();
            runReportStartHook();
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
    panicOutOfBoundsAt(index, len, reinterpret_cast<usize>(__builtin_return_address(0)));
}

void panicOutOfBoundsAt(usize index, usize len, usize ret_addr) {
    debug::panicExtra(nullptr, ret_addr, "index out of bounds: index {d}, len {d}", index, len);
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

#if defined(XOV_SAFETY_CHECKS)
// Entry points of the compiler's safety checks. Each receives a record
// that starts with the source location, then the checked type's
// descriptor; values of integer types up to 64 bits come inline in the
// pointer-sized arguments. The starting frame of the report is the
// function whose check failed. Under link-time optimisation GCC emits the
// calls only after it has dropped every function nothing referred to, so
// the entry points are kept as used.
namespace {

struct SourceLocation {
    const char* file;
    u32 line;
    u32 column;
};

struct TypeDescriptor {
    u16 kind;  // 0: integer
    u16 info;  // integers: log2(bit width) << 1 | signed
    char name[1];
};

struct CheckData {
    SourceLocation location;
    const TypeDescriptor* type;
};

struct OutOfBoundsData {
    SourceLocation location;
    const TypeDescriptor* array_type;
    const TypeDescriptor* index_type;
};

[[noreturn, gnu::always_inline]] inline void checkFailed(std::string_view message, void* ret_addr) {
    builtin::default_panic(message, nullptr, reinterpret_cast<usize>(ret_addr));
}

// The length of the dimension an index checks, from the array type's name:
// "int [3][4]" (GCC) or "'int[3][4]'" (clang) is an array of 3 arrays of 4,
// so the outermost dimension, the first of the trailing "[n]" groups, is
// the one; an element type's own brackets ("S<int[2]> [5]") come before
// that run. 0 when there is none.
usize arrayLength(const TypeDescriptor* type) {
    std::string_view name(type->name);
    if (!name.empty() && name.back() == '\'') name.remove_suffix(1);
    usize len = 0;
    while (!name.empty() && name.back() == ']') {
        const usize open = name.rfind('[');
        if (open == std::string_view::npos) break;
        usize n = 0;
        bool digits = open + 2 <= name.size() - 1;
        for (usize i = open + 1; i + 1 < name.size(); ++i) {
            if (name[i] < '0' || name[i] > '9') digits = false;
            else n = n * 10 + static_cast<usize>(name[i] - '0');
        }
        if (!digits) return 0;  // "[*]": a length not known when built
        len = n;
        name = name.substr(0, open);
        while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    }
    return len;
}

// An inline integer value of the described type, sign-extended when signed.
i64 inlineValue(const TypeDescriptor* type, void* value) {
    const u64 raw = reinterpret_cast<u64>(value);
    const unsigned width = 1u << (type->info >> 1);
    if (width >= 64 || !(type->info & 1)) return static_cast<i64>(raw);
    const u64 sign = u64{1} << (width - 1);
    return static_cast<i64>((raw ^ sign) - sign);
}

}  // namespace

extern "C" {

[[noreturn, gnu::noinline, gnu::cold, gnu::used]] void __ubsan_handle_add_overflow_abort(void*, void*, void*) {
    checkFailed(builtin::panic_messages::integer_overflow, __builtin_return_address(0));
}
[[noreturn, gnu::noinline, gnu::cold, gnu::used]] void __ubsan_handle_sub_overflow_abort(void*, void*, void*) {
    checkFailed(builtin::panic_messages::integer_overflow, __builtin_return_address(0));
}
[[noreturn, gnu::noinline, gnu::cold, gnu::used]] void __ubsan_handle_mul_overflow_abort(void*, void*, void*) {
    checkFailed(builtin::panic_messages::integer_overflow, __builtin_return_address(0));
}
[[noreturn, gnu::noinline, gnu::cold, gnu::used]] void __ubsan_handle_negate_overflow_abort(void*, void*) {
    checkFailed(builtin::panic_messages::integer_overflow, __builtin_return_address(0));
}
[[noreturn, gnu::noinline, gnu::cold, gnu::used]] void __ubsan_handle_divrem_overflow_abort(void* data, void*, void* rhs) {
    const auto* d = static_cast<const CheckData*>(data);
    const bool by_zero = d->type->kind == 0 && (1u << (d->type->info >> 1)) <= 64 && inlineValue(d->type, rhs) == 0;
    checkFailed(by_zero ? builtin::panic_messages::divide_by_zero : builtin::panic_messages::integer_overflow,
                __builtin_return_address(0));
}
[[noreturn, gnu::noinline, gnu::cold, gnu::used]] void __ubsan_handle_shift_out_of_bounds_abort(void*, void*, void*) {
    checkFailed(builtin::panic_messages::shift_rhs_too_big, __builtin_return_address(0));
}
[[noreturn, gnu::noinline, gnu::cold, gnu::used]] void __ubsan_handle_out_of_bounds_abort(void* data, void* index) {
    const auto* d = static_cast<const OutOfBoundsData*>(data);
    const i64 i = inlineValue(d->index_type, index);
    builtin::panicOutOfBoundsAt(static_cast<usize>(i), arrayLength(d->array_type),
                                reinterpret_cast<usize>(__builtin_return_address(0)));
}
[[noreturn, gnu::noinline, gnu::cold, gnu::used]] void __ubsan_handle_builtin_unreachable(void*) {
    checkFailed(builtin::panic_messages::unreach, __builtin_return_address(0));
}
[[noreturn, gnu::noinline, gnu::cold, gnu::used]] void __ubsan_handle_missing_return(void*) {
    checkFailed(builtin::panic_messages::unreach, __builtin_return_address(0));
}

}  // extern "C"
#endif
