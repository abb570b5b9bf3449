// The test runner's log sink.
#include "support/log.hpp"

#include "support/print.hpp"

namespace logging {

std::string_view levelName(Level level) {
    switch (level) {
        case Level::err: return "err";
        case Level::warn: return "warn";
        case Level::info: return "info";
        case Level::debug: return "debug";
    }
    return "?";
}

}  // namespace logging

namespace testing {
std::atomic<logging::Level> log_level{logging::Level::warn};
}

namespace test_runner {

std::atomic<u64> log_err_count{0};

void log(logging::Level level, std::string_view scope, std::string_view format, std::span<const fmt::Arg> args) {
    if (level == logging::Level::err) {
        // Saturating; error-level messages come from one thread at a time in
        // practice, so a plain load and store is enough.
        const u64 count = log_err_count.load(std::memory_order_relaxed);
        if (count != ~u64{0}) log_err_count.store(count + 1, std::memory_order_relaxed);
    }
    if (static_cast<u8>(level) > static_cast<u8>(testing::log_level.load(std::memory_order_relaxed))) return;
    debug::lockStdErr();
    // The whole line, traces included, in one write where it fits.
    BufferedFdWriter out(2);
    (void)fmt::format(out, "[{s}] ({s}): ", scope, logging::levelName(level));
    (void)fmt::formatArgs(out, format, args);
    (void)out.writeAll("\n");
    (void)out.flush();
    debug::unlockStdErr();
}

}  // namespace test_runner
