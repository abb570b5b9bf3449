// The panic report behind support/panic.hpp's entry points, its state, and
// the fault-signal handler.
#pragma once
#include <signal.h>
#include <ucontext.h>

#include <atomic>
#include <string_view>

#include "support/mutex.hpp"
#include "support/panic.hpp"
#include "support/types.hpp"

namespace debug {

// The panic report itself: prints and ends the process (see panic.cpp for
// the stages). first_trace_addr is where the current stack is shown from.
XOV_NOMERGE [[noreturn, gnu::noinline, gnu::cold]] void panicImpl(const StackTrace* trace, usize first_trace_addr,
                                                     std::string_view msg);

// 0: not panicking; 1: printing a panic or fault report; 2: panicked again
// while printing it.
extern thread_local usize panic_stage;
// Reports started and not finished, across threads.
extern std::atomic<u8> panicking;
// Held while a report is printed: orders concurrent reports.
extern Mutex panic_mutex;

// A report's first step once it holds panic_mutex: whatever draws on
// standard error gives the terminal up. The progress display, a layer up,
// installs its haltForReport here when it starts; until then there is
// nothing to give up. Runs in the fault handler: a hook takes no lock.
// Then, while a runner publishes the running test (debug::running_test),
// that test's "i/N name..." line, as a pipe shows it before the report.
void setReportStartHook(void (*hook)());
void runReportStartHook();
// The hook alone, for a report that names the running test its own way.
void haltDisplayForReport();

// Called by a reporter when done: returns when it was the last report in
// progress (the caller then ends the process), blocks forever otherwise.
void waitForOtherThreadToFinishPanicking();

inline constexpr bool have_segfault_handling_support = true;
inline constexpr bool default_enable_segfault_handler = true;
inline constexpr bool enable_segfault_handler = default_enable_segfault_handler;

// Installs the fault-signal handler (SIGSEGV, SIGILL, SIGBUS, SIGFPE).
void maybeEnableSegfaultHandler();
void attachSegfaultHandler();
// Installs act for SIGSEGV, SIGILL, SIGBUS and SIGFPE in that order; the
// first error (OperationNotSupported when the kernel refuses) is returned.
[[nodiscard]] Result<void> updateSegfaultHandler(const struct sigaction* act);
// Default actions for the four fault signals; errors are ignored.
void resetSegfaultHandler();
// The installed handler (SA_SIGINFO form).
void handleSegfaultPosix(int sig, siginfo_t* info, void* context);

// Installs the handler of SIGINT, SIGTERM and SIGQUIT on the calling
// (main) thread, except for a signal the parent left ignored: a report
// naming the running test, the main thread's stack where the signal
// arrived (every listed thread's for SIGQUIT), then the process ends by
// that signal's default action. Another thread that receives one hands it
// to the main thread. Also the handler by which every other thread answers
// a request for its stack.
void maybeEnableInterruptHandler();
void handleInterruptPosix(int sig, siginfo_t* info, void* context);

// The per-test time limit (0: none). enableTestTimeLimit, on the main
// thread at start-up, installs its handler and a timer that signals that
// thread; the runner arms it around each test. When it expires the report
// names the test and shows every listed thread's stack, the main thread's
// first, then the process ends by SIGABRT as a panic does.
extern u64 test_time_limit_ns;
void enableTestTimeLimit(u64 seconds);
void armTestTimeLimit();
void disarmTestTimeLimit();
void handleTimeLimitPosix(int sig, siginfo_t* info, void* context);
// The fault line for the signal, then the stack from the machine context.
void dumpSegfaultInfoPosix(int sig, int code, usize addr, const ucontext_t* context);

}  // namespace debug
