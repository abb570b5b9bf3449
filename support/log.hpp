// The logging front end ("logging": the C library owns the global name
// "log"): four levels, named scopes, one sink owned by the
// test runner (test_runner::log).
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

// The sink: counts error-level messages, prints those that pass
// testing::log_level as "[scope] (level): message\n" under the
// standard-error lock, in one write when the line fits in 4096 bytes.
void log(logging::Level level, std::string_view scope, std::string_view format, std::span<const fmt::Arg> args);

}  // namespace test_runner

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
        test_runner::log(level, scope, format, std::span<const fmt::Arg>(packed, sizeof...(Args)));
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
