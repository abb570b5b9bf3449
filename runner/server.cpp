// Server mode: the build driver asks for the test list and for single
// tests by index over standard input, and reads the answers on standard
// output.
#include <cstring>

#include "failure/panic.hpp"
#include "failure/stack_trace.hpp"
#include "memory/general_purpose_allocator.hpp"
#include "runner/test_runner.hpp"
#include "runner/xov_server.hpp"
#include "support/checked.hpp"
#include "support/log.hpp"
#include "support/panic.hpp"
#include "support/running_test.hpp"
#include "support/sys.hpp"

namespace test_runner {

const std::string_view xov_version = XOV_VERSION;

namespace {

using xov::Client;
using xov::Server;

// Points this thread's error-return trace at `trace` for one scope, so that
// errors the runner meets and handles elsewhere stay out of it.
class TraceScope {
  public:
    explicit TraceScope(StackTrace* trace) : saved_(builtin::errorReturnTrace()) {
        builtin::setErrorReturnTrace(trace);
    }
    ~TraceScope() { builtin::setErrorReturnTrace(saved_); }
    TraceScope(const TraceScope&) = delete;
    TraceScope& operator=(const TraceScope&) = delete;

  private:
    StackTrace* saved_;
};

// The string table under construction.
struct ByteList {
    mem::Allocator allocator;
    std::span<u8> storage{};
    usize len = 0;

    Result<void> ensureUnusedCapacity(usize additional) {
        usize needed = 0;
        if (__builtin_add_overflow(len, additional, &needed)) return XOV_FAIL(Error::OutOfMemory);
        if (needed <= storage.size()) return {};
        usize capacity = storage.size();
        while (capacity < needed) {
            if (__builtin_add_overflow(capacity, capacity / 2 + 8, &capacity)) return XOV_FAIL(Error::OutOfMemory);
        }
        storage = TRY(allocator.realloc(storage, capacity));
        return {};
    }
    void appendAssumeCapacity(std::string_view bytes) {
        XOV_ASSERT(storage.size() - len >= bytes.size());
        if (!bytes.empty()) std::memcpy(storage.data() + len, bytes.data(), bytes.size());
        len += bytes.size();
    }
    void deinit() { allocator.free(storage); }
};

Result<void> buildAndServeMetadata(Server& server, std::span<const builtin::TestFn> tests, ByteList& string_bytes,
                                   std::span<u32>& names, std::span<u32>& expected_panic_msgs) {
    // Room for the whole table at once: each growth would be another trip
    // through the leak-checking allocator. The per-name reservations below
    // then find the room already there.
    usize table_len = 1;
    for (const builtin::TestFn& test : tests) table_len += test.name.size() + 1;
    TRY(string_bytes.ensureUnusedCapacity(table_len));
    // Offset 0 is the empty string.
    string_bytes.appendAssumeCapacity(std::string_view("\0", 1));
    const mem::Allocator allocator = testing::allocator();
    names = TRY(allocator.alloc<u32>(tests.size()));
    expected_panic_msgs = TRY(allocator.alloc<u32>(tests.size()));
    for (usize i = 0; i < tests.size(); ++i) {
        names[i] = checked::intCast<u32>(string_bytes.len);
        TRY(string_bytes.ensureUnusedCapacity(tests[i].name.size() + 1));
        string_bytes.appendAssumeCapacity(tests[i].name);
        string_bytes.appendAssumeCapacity(std::string_view("\0", 1));
        expected_panic_msgs[i] = 0;
    }
    TRY(server.serveTestMetadata({names, expected_panic_msgs, std::span<const u8>(string_bytes.storage.data(),
                                                                                  string_bytes.len)}));
    return {};
}

// The test list, built on the leak-checking allocator so that the
// runner's own bookkeeping is checked like a test's.
Result<void> serveMetadata(Server& server, std::span<const builtin::TestFn> tests) {
    testing::resetAllocatorInstance();
    ByteList string_bytes{testing::allocator()};
    std::span<u32> names{};
    std::span<u32> expected_panic_msgs{};
    const Result<void> result = buildAndServeMetadata(server, tests, string_bytes, names, expected_panic_msgs);
    const mem::Allocator allocator = testing::allocator();
    allocator.free(expected_panic_msgs);
    allocator.free(names);
    string_bytes.deinit();
    if (testing::allocator_instance.deinit() == heap::general_purpose_allocator::Check::leak)
        debug::panic("internal test runner memory leak");
    if (!result) {
        builtin::noteErrorReturn();
        return std::unexpected(result.error());
    }
    return {};
}

// The next request's header, received under the runner's trace; none when
// the driver closed standard input between messages.
Result<std::optional<Client::Message::Header>> receiveRequest(Server& server, StackTrace* trace) {
    debug::runner_activity.store("waiting for a request", std::memory_order_release);
    TraceScope scope(trace);
    Result<std::optional<Client::Message::Header>> received = server.receiveMessage();
    if (!received) builtin::noteErrorReturn();
    return received;
}

// The test list, served under the runner's trace.
Result<void> serveMetadataTraced(Server& server, std::span<const builtin::TestFn> tests, StackTrace* trace) {
    debug::runner_activity.store("sending the test list", std::memory_order_release);
    TraceScope scope(trace);
    Result<void> served = serveMetadata(server, tests);
    if (!served) builtin::noteErrorReturn();
    return served;
}

// Sends a test's outcome: its failure's trace printed, the runner's trace
// rewound to start_index (also after a pass: errors a passing test handled
// itself must not show up in a later failure's trace), its allocations
// checked for leaks, and the flags sent under the runner's trace.
Result<void> reportTestResult(Server& server, u32 index, const Result<void>& result, StackTrace* trace,
                              usize start_index) {
    bool fail_flag = false;
    bool skip_flag = false;
    if (!result) {
        if (result.error() == Error::SkipXovTest) {
            skip_flag = true;
        } else {
            fail_flag = true;
            debug::dumpStackTrace(*trace);
        }
    }
    trace->index = start_index;
    const bool leak = testing::allocator_instance.deinit() == heap::general_purpose_allocator::Check::leak;
    const auto flags = Server::Message::TestResults::Flags::make(fail_flag, skip_flag, leak,
                                                                 log_err_count.load(std::memory_order_relaxed));
    TraceScope scope(trace);
    Result<void> sent = server.serveTestResults({index, flags});
    if (!sent) builtin::noteErrorReturn();
    return sent;
}

// Out-of-protocol requests end the session: a guessed answer would leave
// the driver's bookkeeping wrong.
[[noreturn]] void exitProtocolError(const xov::Dispatch& decision, usize tests_len) {
    switch (decision.action) {
        case xov::Dispatch::Action::short_run_test_body:
            debug::print("run_test body has {d} bytes; a test index needs 4\n", decision.value);
            break;
        case xov::Dispatch::Action::index_out_of_range:
            debug::print("run_test index {d} is out of range: there are {d} tests\n", decision.value, tests_len);
            break;
        case xov::Dispatch::Action::unsupported_message:
            debug::print("unsupported message: {x}", decision.value);
            break;
        default:
            builtin::unreachable();
    }
    sys::exitGroup(1);
}

}  // namespace

Result<void> mainServer(StackTrace* trace) {
    const std::span<const builtin::TestFn> tests = builtin::test_functions;

    std::optional<Server> opened;
    {
        TraceScope scope(trace);
        opened = TRY(Server::init({
            .gpa = fba.allocator(),
            .xov_version = xov_version,
            .in = {0},
            .out = {1},
        }));
    }
    Server& server = *opened;
    const usize start_index = trace->index;
    // The running test for an interrupt's report; two records in turn, as
    // the terminal runner keeps them.
    debug::RunningTest running[2] = {};
    usize runs = 0;

    // The endpoint is released on the error returns only; the orderly ends
    // are process exits.
    const auto fail = [&](Error error) -> Result<void> {
        server.deinit();
        return std::unexpected(error);
    };

    for (;;) {
        const Result<std::optional<Client::Message::Header>> received = receiveRequest(server, trace);
        if (!received) return fail(received.error());
        const std::optional<Client::Message::Header> message = *received;
        // The driver closed standard input between messages: the same as exit.
        if (!message) sys::exitGroup(0);
        const Client::Message::Header header = *message;

        const std::span<const u8> body = server.receive_fifo.readableSlice().first(header.bytes_len);
        const xov::Dispatch decision = xov::dispatch(header, body, tests.size());
        server.discardBody(header.bytes_len);

        switch (decision.action) {
            case xov::Dispatch::Action::exit:
                sys::exitGroup(0);

            case xov::Dispatch::Action::serve_metadata:
                if (const Result<void> served = serveMetadataTraced(server, tests, trace); !served)
                    return fail(served.error());
                break;

            case xov::Dispatch::Action::run_test: {
                // The test runs in this frame: a report from inside it names
                // mainServer right below the test.
                testing::resetAllocatorInstance();
                log_err_count.store(0, std::memory_order_relaxed);
                const u32 index = decision.value;
                Result<void> result;
                {
                    TraceScope scope(trace);
                    debug::RunningTest& record = running[runs++ % 2];
                    record = debug::RunningTest{.number = index,
                                                .total = tests.size(),
                                                .name = tests[index].name,
                                                .start_ns = sys::monotonicNs(),
                                                .server = true};
                    debug::running_test.store(&record, std::memory_order_release);
                    if (debug::test_time_limit_ns != 0) debug::armTestTimeLimit();
                    result = tests[index].func(trace);
                    if (debug::test_time_limit_ns != 0) debug::disarmTestTimeLimit();
                    debug::running_test.store(nullptr, std::memory_order_release);
                }
                debug::runner_activity.store("sending a test's result", std::memory_order_release);
                if (const Result<void> sent = reportTestResult(server, index, result, trace, start_index); !sent)
                    return fail(sent.error());
                break;
            }

            case xov::Dispatch::Action::short_run_test_body:
            case xov::Dispatch::Action::index_out_of_range:
            case xov::Dispatch::Action::unsupported_message:
                exitProtocolError(decision, tests.size());
        }
    }
}

}  // namespace test_runner
