// debug::print and the standard-error lock it takes.
#include "support/print.hpp"

#include <atomic>

namespace debug {

constinit Mutex stderr_mutex;

namespace {
// The error-return trace of the thread that holds the lock, set aside while
// it writes: the errors that output paths meet and swallow (a full pipe, a
// closed descriptor) are not the running test's and must not show up in its
// trace. The lock is not re-entrant, so one slot per thread is enough.
thread_local StackTrace* set_aside_trace = nullptr;

std::atomic<void (*)()> stderr_locked_hook{nullptr};
}  // namespace

void setStdErrLockedHook(void (*hook)()) { stderr_locked_hook.store(hook, std::memory_order_release); }

void lockStdErr() {
    set_aside_trace = builtin::errorReturnTrace();
    builtin::setErrorReturnTrace(nullptr);
    stderr_mutex.lock();
    if (void (*const hook)() = stderr_locked_hook.load(std::memory_order_acquire)) hook();
}
void unlockStdErr() {
    stderr_mutex.unlock();
    builtin::setErrorReturnTrace(set_aside_trace);
    set_aside_trace = nullptr;
}

void printArgs(std::string_view format, std::span<const fmt::Arg> args) {
    lockStdErr();
    BufferedFdWriter out(2);
    (void)fmt::formatArgs(out, format, args);
    (void)out.flush();
    unlockStdErr();
}

}  // namespace debug
