// The logging front end's sink slot, its default sink and the pieces a
// sink is made of.
#include "support/log.hpp"

#include "support/print.hpp"

namespace testing {
std::atomic<logging::Level> log_level{logging::Level::warn};
}

namespace test_runner {
std::atomic<u64> log_err_count{0};
}

namespace logging {

namespace {
std::atomic<Sink> installed_sink{defaultSink};
}  // namespace

std::string_view levelName(Level level) {
    switch (level) {
        case Level::err: return "err";
        case Level::warn: return "warn";
        case Level::info: return "info";
        case Level::debug: return "debug";
    }
    return "?";
}

void setSink(Sink sink) { installed_sink.store(sink, std::memory_order_release); }

void send(Level level, std::string_view scope, std::string_view format, std::span<const fmt::Arg> args) {
    installed_sink.load(std::memory_order_acquire)(level, scope, format, args);
}

void defaultSink(Level level, std::string_view scope, std::string_view format, std::span<const fmt::Arg> args) {
    countError(level);
    if (passesThreshold(level)) printLine(level, scope, format, args);
}

void countError(Level level) {
    if (level != Level::err) return;
    // Error-level messages come from one thread at a time in practice, so
    // a plain load and store is enough.
    const u64 count = test_runner::log_err_count.load(std::memory_order_relaxed);
    if (count != ~u64{0}) test_runner::log_err_count.store(count + 1, std::memory_order_relaxed);
}

bool passesThreshold(Level level) {
    return static_cast<u8>(level) <= static_cast<u8>(testing::log_level.load(std::memory_order_relaxed));
}

void printLine(Level level, std::string_view scope, std::string_view format, std::span<const fmt::Arg> args) {
    debug::lockStdErr();
    // The whole line, traces included, in one write where it fits.
    BufferedFdWriter out(2);
    (void)fmt::format(out, "[{s}] ({s}): ", scope, levelName(level));
    (void)fmt::formatArgs(out, format, args);
    (void)out.writeAll("\n");
    (void)out.flush();
    debug::unlockStdErr();
}

}  // namespace logging
