// The command line: the argument list in the runner's fixed region and the
// choice of mode.
#include <cstring>

#include "failure/panic.hpp"
#include "runner/test_runner.hpp"

namespace process {

ArgIteratorPosix ArgIteratorPosix::init() { return {0, os::argv.size()}; }

bool ArgIteratorPosix::next(std::string_view* out) {
    if (index == count) return false;
    *out = std::string_view(os::argv[index]);
    index += 1;
    return true;
}

namespace {

// A growable list over an allocator; only what argsAlloc needs.
template <class T>
struct List {
    mem::Allocator allocator;
    std::span<T> storage{};
    usize len = 0;

    Result<void> appendSlice(std::span<const T> items) {
        if (len + items.size() > storage.size()) {
            usize new_capacity = storage.size() == 0 ? 8 : storage.size();
            while (new_capacity < len + items.size()) new_capacity += new_capacity / 2 + 8;
            storage = TRY(allocator.realloc(storage, new_capacity));
        }
        std::memcpy(storage.data() + len, items.data(), items.size() * sizeof(T));
        len += items.size();
        return {};
    }
    void deinit() { allocator.free(storage); }
};

}  // namespace

Result<std::span<Arg>> argsAlloc(mem::Allocator allocator) {
    auto it = ArgIterator::init();
    List<char> contents{allocator};
    List<usize> slice_list{allocator};
    struct Cleanup {
        List<char>& c;
        List<usize>& s;
        ArgIterator& i;
        ~Cleanup() {
            c.deinit();
            s.deinit();
            i.deinit();
        }
    } cleanup{contents, slice_list, it};

    std::string_view arg;
    while (it.next(&arg)) {
        TRY(contents.appendSlice(std::span<const char>(arg.data(), arg.size())));
        const char zero = 0;
        TRY(contents.appendSlice(std::span<const char>(&zero, 1)));
        const usize len = arg.size();
        TRY(slice_list.appendSlice(std::span<const usize>(&len, 1)));
    }

    const usize count = slice_list.len;
    usize table_bytes = 0;
    usize total = 0;
    if (__builtin_mul_overflow(count, sizeof(Arg), &table_bytes) ||
        __builtin_add_overflow(table_bytes, contents.len, &total))
        return XOV_FAIL(Error::Overflow);
    auto block = TRY(allocator.alignedAlloc<u8, 8>(total));
    auto* entries = reinterpret_cast<Arg*>(block.data());
    char* text = reinterpret_cast<char*>(block.data() + table_bytes);
    if (contents.len != 0) std::memcpy(text, contents.storage.data(), contents.len);
    usize offset = 0;
    for (usize i = 0; i < count; ++i) {
        entries[i] = Arg{text + offset, slice_list.storage[i]};
        offset += slice_list.storage[i] + 1;
    }
    return std::span<Arg>(entries, count);
}

void argsFree(mem::Allocator allocator, std::span<Arg> args) {
    usize total = args.size() * sizeof(Arg);
    for (const Arg& a : args) total += a.len + 1;
    allocator.free<u8, 8>(std::span<u8>(reinterpret_cast<u8*>(args.data()), total));
}

}  // namespace process

namespace test_runner {

u8 cmdline_buffer[4096];
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
