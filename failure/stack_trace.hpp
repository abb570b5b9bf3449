// Stack traces: capturing return addresses by walking frame pointers, and
// printing stored or current traces resolved from debug information.
#pragma once
#include <span>
#include <string_view>

#include "support/error.hpp"
#include "support/format.hpp"
#include "support/types.hpp"

namespace io::tty {

enum class Config : u8 { no_color = 0, escape_codes = 1, windows_api = 2 };

enum class Color : u8 {
    black, red, green, yellow, blue, magenta, cyan, white,
    bright_black, bright_red, bright_green, bright_yellow, bright_blue, bright_magenta, bright_cyan, bright_white,
    dim, bold, reset,
};

// Colour for a descriptor: NO_COLOR, then terminal (TERM=dumb disables it
// for descriptors 1 and 2), then CLICOLOR_FORCE.
Config detectConfig(int fd);
[[nodiscard]] Result<void> setColor(Config config, Writer& writer, Color color);

}  // namespace io::tty

namespace debug {

// Walks the current stack by frame pointers from first_address (0: from
// the caller) and fills trace->instruction_addresses; index = number stored.
[[gnu::noinline]] void captureStackTrace(usize first_address, StackTrace* trace);

// Print to standard error; never fail (problems are written as text).
void dumpStackTrace(const StackTrace& trace);
[[gnu::noinline]] void dumpCurrentStackTrace(usize start_addr);

// The printing work behind the above, on any writer.
[[nodiscard]] Result<void> writeStackTrace(const StackTrace& trace, Writer& writer, io::tty::Config config);

}  // namespace debug
