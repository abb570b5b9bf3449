// The logging front end ("logging": the C library owns the global name
// "log"): four levels, named scopes, one sink, which the test runner
// installs at start-up.
#pragma once
#include <atomic>
#include <string_view>

#include "support/format.hpp"

namespace logging {

enum class Level : u8 { err = 0, warn = 1, info = 2, debug = 3 };

std::string_view levelName(Level level);

// Every level reaches the sink in this build.
inline constexpr Level default_level = Level::debug;

}  // namespace logging

namespace testing {
// Run-time threshold: messages at or above this severity are printed.
extern std::atomic<logging::Level> log_level;
}  // namespace testing

namespace test_runner {

// Error-level messages since the last reset, saturating at 2^64 - 1.
// Written by whichever thread logs; the runners read and reset it.
extern std::atomic<u64> log_err_count;

}  // namespace test_runner

namespace logging {

// Where every message goes.
using Sink = void (*)(Level level, std::string_view scope, std::string_view format, std::span<const fmt::Arg> args);

// The test runner installs its sink at start-up. Until then (a unit test
// under its own main, code that logs before the runner starts) messages
// go to defaultSink, which keeps the runner's counting and format.
void setSink(Sink sink);
// Hands the message to the installed sink.
void send(Level level, std::string_view scope, std::string_view format, std::span<const fmt::Arg> args);

// Counts error-level messages in test_runner::log_err_count, then prints
// those that pass testing::log_level (printLine).
void defaultSink(Level level, std::string_view scope, std::string_view format, std::span<const fmt::Arg> args);

// One more error-level message in test_runner::log_err_count (other levels
// are not counted), saturating.
void countError(Level level);
// Whether testing::log_level lets a message of this level through.
[[nodiscard]] bool passesThreshold(Level level);
// "[scope] (level): message\n" under the standard-error lock, in one write
// when the line fits in 4096 bytes.
void printLine(Level level, std::string_view scope, std::string_view format, std::span<const fmt::Arg> args);

}  // namespace logging

namespace logging {

struct Scoped {
    std::string_view scope;

    template <class... Args>
    void err(std::string_view format, const Args&... args) const { emit(Level::err, format, args...); }
    template <class... Args>
    void warn(std::string_view format, const Args&... args) const { emit(Level::warn, format, args...); }
    template <class... Args>
    void info(std::string_view format, const Args&... args) const { emit(Level::info, format, args...); }
    template <class... Args>
    void debug(std::string_view format, const Args&... args) const { emit(Level::debug, format, args...); }

  private:
    template <class... Args>
    void emit(Level level, std::string_view format, const Args&... args) const {
        if (static_cast<u8>(level) > static_cast<u8>(default_level)) return;
        const fmt::Arg packed[] = {fmt::Arg(args)..., fmt::Arg(false)};
        send(level, scope, format, std::span<const fmt::Arg>(packed, sizeof...(Args)));
    }
};

inline constexpr Scoped scoped(std::string_view scope) { return Scoped{scope}; }

// The unscoped forms log under "default".
inline constexpr Scoped default_log{"default"};

template <class... Args>
void err(std::string_view format, const Args&... args) { default_log.err(format, args...); }
template <class... Args>
void warn(std::string_view format, const Args&... args) { default_log.warn(format, args...); }
template <class... Args>
void info(std::string_view format, const Args&... args) { default_log.info(format, args...); }
template <class... Args>
void debug(std::string_view format, const Args&... args) { default_log.debug(format, args...); }

}  // namespace logging
