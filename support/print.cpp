// debug::print over the progress display's standard-error lock.
#include "support/print.hpp"

#include "progress/progress.hpp"

namespace debug {

void lockStdErr() { Progress::lockStdErr(); }
void unlockStdErr() { Progress::unlockStdErr(); }

void printArgs(std::string_view format, std::span<const fmt::Arg> args) {
    lockStdErr();
    BufferedFdWriter out(2);
    (void)fmt::formatArgs(out, format, args);
    (void)out.flush();
    unlockStdErr();
}

}  // namespace debug
