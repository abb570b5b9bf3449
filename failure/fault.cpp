// Fault-signal handling (SIGSEGV, SIGILL, SIGBUS, SIGFPE).
// FIXME: the handler itself is not installed yet; faults take the default
// action.
#include <csignal>

#include "failure/panic.hpp"

namespace debug {

void resetSegfaultHandler() {
    struct sigaction act {};
    act.sa_handler = SIG_DFL;
    for (int sig : {SIGSEGV, SIGILL, SIGBUS, SIGFPE}) sigaction(sig, &act, nullptr);
}

void maybeEnableSegfaultHandler() {}

}  // namespace debug
