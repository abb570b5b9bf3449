// The test a runner is running, for a crash report to name: on a terminal
// the progress tree is the only other place that names it, and a report
// erases the tree before it starts.
#pragma once
#include <atomic>
#include <string_view>

#include "support/types.hpp"

namespace debug {

// What a pipe shows before a test's outcome: "{number}/{total} {name}...".
struct RunningTest {
    usize number;  // from 1
    usize total;
    std::string_view name;
};

// Set by the terminal runner around a test, only where standard error does
// not already carry the test's line (a terminal); null otherwise. The
// first report takes it (exchanging null), from any thread or a signal
// handler, so the record it points to stays unchanged while it is set
// (release store by the runner, acquire exchange by the report).
inline std::atomic<const RunningTest*> running_test{nullptr};

}  // namespace debug
