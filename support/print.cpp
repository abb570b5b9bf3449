// debug::print over the progress display's standard-error lock.
#include "support/print.hpp"

#include "progress/progress.hpp"

namespace debug {

namespace {
// The error-return trace of the thread that holds the lock, set aside while
// it writes: the errors that output paths meet and swallow (a full pipe, a
// closed descriptor) are not the running test's and must not show up in its
// trace. The lock is not re-entrant, so one slot per thread is enough.
thread_local StackTrace* set_aside_trace = nullptr;
}  // namespace

void lockStdErr() {
    set_aside_trace = builtin::errorReturnTrace();
    builtin::setErrorReturnTrace(nullptr);
    Progress::lockStdErr();
}
void unlockStdErr() {
    Progress::unlockStdErr();
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
