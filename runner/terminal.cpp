// The terminal runner: every test once, in table order, with a progress
// tree, per-test lines, the summary and the exit decision.
#include "failure/panic.hpp"
#include "failure/stack_trace.hpp"
#include "memory/general_purpose_allocator.hpp"
#include "progress/progress.hpp"
#include "runner/test_runner.hpp"
#include "support/log.hpp"
#include "support/panic.hpp"
#include "support/running_test.hpp"
#include "support/sys.hpp"

namespace test_runner {

void mainTerminal() {
    const auto tests = builtin::test_functions;
    usize addresses[32];
    StackTrace trace{0, addresses};

    u64 ok_count = 0;
    u64 skip_count = 0;
    u64 fail_count = 0;
    u64 leaks = 0;

    const Progress::Node root_node = Progress::start({
        .draw_buffer = Progress::default_draw_buffer,
        .refresh_rate_ns = 80'000'000,
        .initial_delay_ns = 200'000'000,
        .estimated_total_items = tests.size(),
        .root_name = "Test",
        .disable_printing = false,
    });
    const bool have_tty = sys::isTerminal(2);
    const usize total = tests.size();
    // A report names the running test: an interrupt's in every case, a
    // panic's on a terminal, where no line of the runner's does until the
    // test ends. Two records in turn: one a report on another thread may
    // still be reading is not rewritten by the next test.
    debug::RunningTest running[2] = {};
    debug::runner_activity.store("between tests", std::memory_order_release);

    for (usize i = 0; i < total; ++i) {
        const builtin::TestFn& test = tests[i];
        testing::resetAllocatorInstance();
        testing::log_level.store(logging::Level::warn, std::memory_order_relaxed);
        const Progress::Node test_node = root_node.start(test.name, 0);
        if (!have_tty) debug::print("{d}/{d} {s}...", i + 1, total, test.name);

        // Errors the test propagates record into the run's trace; errors the
        // runner itself meets and handles must not.
        StackTrace* const saved_trace = builtin::errorReturnTrace();
        builtin::setErrorReturnTrace(&trace);
        running[i % 2] = debug::RunningTest{
            .number = i + 1, .total = total, .name = test.name, .start_ns = sys::monotonicNs(), .announce = have_tty};
        debug::running_test.store(&running[i % 2], std::memory_order_release);
        if (debug::test_time_limit_ns != 0) debug::armTestTimeLimit();
        const Result<void> result = test.func(&trace);
        if (debug::test_time_limit_ns != 0) debug::disarmTestTimeLimit();
        debug::running_test.store(nullptr, std::memory_order_release);
        builtin::setErrorReturnTrace(saved_trace);
        if (result) {
            ok_count += 1;
            test_node.end();
            if (!have_tty) debug::print("OK\n");
        } else if (result.error() == Error::SkipXovTest) {
            skip_count += 1;
            if (have_tty)
                debug::print("{d}/{d} {s}...SKIP\n", i + 1, total, test.name);
            else
                debug::print("SKIP\n");
            test_node.end();
            trace.index = 0;
        } else {
            fail_count += 1;
            if (have_tty)
                debug::print("{d}/{d} {s}...FAIL ({s})\n", i + 1, total, test.name, result.error());
            else
                debug::print("FAIL ({s})\n", result.error());
            debug::dumpStackTrace(trace);
            test_node.end();
            trace.index = 0;
        }
        if (testing::allocator_instance.deinit() == heap::general_purpose_allocator::Check::leak) leaks += 1;
    }

    debug::runner_activity.store("printing the summary", std::memory_order_release);
    root_node.end();
    if (ok_count == total)
        debug::print("All {d} tests passed.\n", ok_count);
    else
        debug::print("{d} passed; {d} skipped; {d} failed.\n", ok_count, skip_count, fail_count);
    const u64 log_errors = log_err_count.load(std::memory_order_relaxed);
    if (log_errors != 0) debug::print("{d} errors were logged.\n", log_errors);
    if (leaks != 0) debug::print("{d} tests leaked memory.\n", leaks);
    if (leaks != 0 || log_errors != 0 || fail_count != 0) sys::exitGroup(1);
}

}  // namespace test_runner
