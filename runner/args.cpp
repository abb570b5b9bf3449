// The command line: the argument list in the runner's fixed region and the
// choice of mode.
#include <cstring>

#include "runner/test_runner.hpp"
#include "support/panic.hpp"

namespace process {

ArgIteratorPosix ArgIteratorPosix::init() { return {0, os::argv.size()}; }

bool ArgIteratorPosix::next(std::string_view* out) {
    if (index == count) return false;
    *out = std::string_view(os::argv[index]);
    index += 1;
    return true;
}

namespace {

// The block, in a frame of its own so that a trace of the allocation starts
// in argsAlloc, as through the allocator's typed calls, whose template
// instantiation would lie far from the rest of a run's code.
[[gnu::noinline]] Result<std::span<u8>> allocBlock(mem::Allocator allocator, usize total) {
    return allocator.allocBytes(total, 1, 8, reinterpret_cast<usize>(__builtin_return_address(0)));
}

}  // namespace

// Two passes over the arguments, one to size the block and one to fill it:
// working lists grown inside the same bump region would strand their old
// copies there, and a command line well under 4096 bytes would not fit.
Result<std::span<Arg>> argsAlloc(mem::Allocator allocator) {
    usize count = 0;
    usize text_bytes = 0;
    {
        auto it = ArgIterator::init();
        std::string_view arg;
        while (it.next(&arg)) {
            count += 1;
            // The text and its zero byte.
            if (__builtin_add_overflow(text_bytes, arg.size(), &text_bytes) ||
                __builtin_add_overflow(text_bytes, 1, &text_bytes)) {
                it.deinit();
                return XOV_FAIL(Error::Overflow);
            }
        }
        it.deinit();
    }
    usize table_bytes = 0;
    usize total = 0;
    if (__builtin_mul_overflow(count, sizeof(Arg), &table_bytes) ||
        __builtin_add_overflow(table_bytes, text_bytes, &total))
        return XOV_FAIL(Error::Overflow);
    auto block = TRY(allocBlock(allocator, total));

    // The table, then the texts, each followed by its zero byte.
    auto* entries = reinterpret_cast<Arg*>(block.data());
    char* text = reinterpret_cast<char*>(block.data() + table_bytes);
    auto it = ArgIterator::init();
    std::string_view arg;
    usize i = 0;
    usize offset = 0;
    while (it.next(&arg)) {
        // The vector is recorded once at start-up and never changes.
        XOV_ASSERT(i < count && offset + arg.size() < text_bytes);
        if (!arg.empty()) std::memcpy(text + offset, arg.data(), arg.size());
        text[offset + arg.size()] = 0;
        entries[i] = Arg{text + offset, arg.size()};
        offset += arg.size() + 1;
        i += 1;
    }
    it.deinit();
    XOV_ASSERT(i == count && offset == text_bytes);
    return std::span<Arg>(entries, count);
}

void argsFree(mem::Allocator allocator, std::span<Arg> args) {
    usize total = args.size() * sizeof(Arg);
    for (const Arg& a : args) total += a.len + 1;
    allocator.free<u8, 8>(std::span<u8>(reinterpret_cast<u8*>(args.data()), total));
}

}  // namespace process

namespace test_runner {

// Aligned for the table of entries at its start, so the whole 4096 bytes
// are usable.
alignas(8) u8 cmdline_buffer[4096];
heap::FixedBufferAllocator fba{std::span<u8>(cmdline_buffer)};

bool parseListenFlag(std::span<const process::Arg> args) {
    bool listen = false;
    for (usize i = 1; i < args.size(); ++i) {
        if (args[i].view() == "--listen=-") {
            listen = true;
        } else {
            debug::panic("unrecognized command line argument");
        }
    }
    return listen;
}

void main() {
    logging::setSink(log);
    usize addresses[32];
    StackTrace trace{0, addresses};
    // Errors propagated by the entry's own calls record into its trace.
    builtin::setErrorReturnTrace(&trace);
    auto args = process::argsAlloc(fba.allocator());
    builtin::setErrorReturnTrace(nullptr);
    if (!args) builtin::default_panic("unable to parse command line args", &trace, 0);
    if (parseListenFlag(*args)) {
        if (auto r = mainServer(&trace); !r) builtin::default_panic("internal test runner failure", &trace, 0);
    } else {
        mainTerminal();
    }
}

}  // namespace test_runner
