// The test runner: start-up, the choice of mode, the terminal runner and
// the server runner.
#pragma once
#include <span>
#include <string_view>

#include "memory/allocator.hpp"
#include "runner/testing.hpp"
#include "support/log.hpp"

namespace os {
// Written once at start-up, read-only afterwards.
extern std::span<char*> argv;
extern std::span<char*> environ;
}  // namespace os

namespace process {

struct Arg {
    const char* ptr;  // zero-terminated
    usize len;
    [[nodiscard]] std::string_view view() const { return {ptr, len}; }
};

// The whole argument list as one block of {pointer, length} entries
// followed by the texts, each with a zero byte after it; the block is the
// only allocation, so a command line fits whenever the block does.
[[nodiscard]] Result<std::span<Arg>> argsAlloc(mem::Allocator allocator);
void argsFree(mem::Allocator allocator, std::span<Arg> args);

struct ArgIteratorPosix {
    u64 index = 0;
    u64 count = 0;
    static ArgIteratorPosix init();
    // The next argument without its terminating zero, or false at the end.
    bool next(std::string_view* out);
    void deinit() {}
};
using ArgIterator = ArgIteratorPosix;

}  // namespace process

namespace start {

struct ProgramHeaders {
    const void* phdr;  // Elf64_Phdr array
    usize phnum;
};

// Raises the soft stack limit to the stack size the PT_GNU_STACK header
// declares (capped at the hard limit); never lowers it. Returns the soft
// limit in effect afterwards (0 when it could not be read).
u64 expandStackSize(ProgramHeaders headers);
// Unblocks SIGSEGV, SIGILL, SIGBUS, SIGFPE and SIGABRT on the calling
// (main) thread, whatever mask the parent left.
void unblockFaultSignals();
void maybeIgnoreSigpipe();
void noopSigHandler(int sig);

}  // namespace start

namespace test_runner {

// The runner's static region and the bump allocator over it: the parsed
// command line, then the server's receive buffer.
extern u8 cmdline_buffer[4096];
extern heap::FixedBufferAllocator fba;

// The toolchain version string sent first in server mode.
extern const std::string_view xov_version;

// Whether the arguments (program name first) ask for server mode; panics
// "unrecognized command line argument" on anything but "--listen=-".
bool parseListenFlag(std::span<const process::Arg> args);

// The runner's log sink, installed first thing by main(): counts
// error-level messages and prints those that pass testing::log_level, as
// logging::defaultSink does for code that runs without the runner.
void log(logging::Level level, std::string_view scope, std::string_view format, std::span<const fmt::Arg> args);

void main();
void mainTerminal();
[[nodiscard]] Result<void> mainServer(StackTrace* trace);

}  // namespace test_runner
