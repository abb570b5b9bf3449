// The test a runner is running, for a crash or interrupt report to name: on
// a terminal the progress tree is the only other place that names it, and a
// report erases the tree before it starts.
#pragma once
#include <atomic>
#include <string_view>

#include "support/types.hpp"

namespace debug {

struct RunningTest {
    // Terminal mode: "{number}/{total}", number from 1. Server mode: the
    // index in the test table the driver asked for (from 0).
    usize number;
    usize total;
    std::string_view name;
    // On the monotonic clock, when the test was called.
    u64 start_ns = 0;
    bool server = false;
    // Whether a report starts with "{number}/{total} {name}...", as a pipe
    // shows it before a test's outcome: only where standard error does not
    // already carry that line (a terminal).
    bool announce = false;
};

// Set by a runner around each test; null otherwise. The first report takes
// it (exchanging null), from any thread or a signal handler, so the record
// it points to stays unchanged while it is set (release store by the
// runner, acquire exchange by the report).
inline std::atomic<const RunningTest*> running_test{nullptr};

// What the runner is doing when no test runs, for an interrupt's report
// ("starting up", "waiting for a request", ...): a string with static
// storage duration.
inline std::atomic<const char*> runner_activity{"starting up"};

}  // namespace debug
