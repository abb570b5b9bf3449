// Stack-trace capture and printing.
// FIXME: entries are printed in the unknown-source form until the
// debug-information reader resolves them.
#include "failure/stack_trace.hpp"

#include "support/sys.hpp"

namespace io::tty {

Config detectConfig(int fd) {
    if (sys::getenv("NO_COLOR") != nullptr) return Config::no_color;
    if (sys::isTerminal(fd)) {
        const char* term = sys::getenv("TERM");
        const bool dumb = (fd == 1 || fd == 2) && term != nullptr && std::string_view(term) == "dumb";
        if (!dumb) return Config::escape_codes;
    }
    if (sys::getenv("CLICOLOR_FORCE") != nullptr) return Config::escape_codes;
    return Config::no_color;
}

Result<void> setColor(Config config, Writer& writer, Color color) {
    if (config != Config::escape_codes) return {};
    const auto value = static_cast<unsigned>(color);
    switch (color) {
        case Color::dim: return writer.writeAll("\x1b[2m");
        case Color::bold: return writer.writeAll("\x1b[1m");
        case Color::reset: return writer.writeAll("\x1b[0m");
        default: return fmt::format(writer, "\x1b[{d}m", value < 8 ? 30 + value : 82 + value);
    }
}

}  // namespace io::tty

namespace debug {

void captureStackTrace(usize first_address, StackTrace* trace) {
    if (first_address == 0) first_address = reinterpret_cast<usize>(__builtin_return_address(0));
    usize fp = reinterpret_cast<usize>(__builtin_frame_address(0));
    usize n = 0;
    bool started = false;
    while (fp != 0 && fp % 8 == 0 && n < trace->instruction_addresses.size()) {
        if (!sys::msyncAsync(reinterpret_cast<void*>(fp & ~usize{4095}), 4096)) break;
        const usize saved_fp = *reinterpret_cast<const usize*>(fp);
        const usize ret = *reinterpret_cast<const usize*>(fp + 8);
        if (saved_fp != 0 && saved_fp < fp) break;
        fp = saved_fp;
        if (!started && ret == first_address) started = true;
        if (started) trace->instruction_addresses[n++] = ret;
    }
    trace->index = n;
}

static Result<void> printEntry(Writer& writer, usize address, io::tty::Config config) {
    using io::tty::Color;
    TRY(io::tty::setColor(config, writer, Color::bold));
    TRY(writer.writeAll("???:?:?"));
    TRY(io::tty::setColor(config, writer, Color::reset));
    TRY(writer.writeAll(": "));
    TRY(io::tty::setColor(config, writer, Color::dim));
    TRY(fmt::format(writer, "0x{x} in {s} ({s})", address, "???", "???"));
    TRY(io::tty::setColor(config, writer, Color::reset));
    return writer.writeAll("\n");
}

Result<void> writeStackTrace(const StackTrace& trace, Writer& writer, io::tty::Config config) {
    const usize capacity = trace.instruction_addresses.size();
    const usize n = trace.index < capacity ? trace.index : capacity;
    for (usize i = 0; i < n; ++i) TRY(printEntry(writer, trace.instruction_addresses[i] - 1, config));
    if (trace.index > capacity) {
        (void)io::tty::setColor(config, writer, io::tty::Color::bold);
        TRY(fmt::format(writer, "({d} additional stack frames skipped...)\n", trace.index - capacity));
        (void)io::tty::setColor(config, writer, io::tty::Color::reset);
    }
    return {};
}

void dumpStackTrace(const StackTrace& trace) {
    FdWriter out(2);
    if (auto r = writeStackTrace(trace, out, io::tty::detectConfig(2)); !r)
        (void)fmt::format(out, "Unable to dump stack trace: {s}\n", r.error());
}

void dumpCurrentStackTrace(usize start_addr) {
    if (start_addr == 0) start_addr = reinterpret_cast<usize>(__builtin_return_address(0));
    usize addrs[64];
    StackTrace trace{0, addrs};
    captureStackTrace(start_addr, &trace);
    dumpStackTrace(trace);
}

}  // namespace debug

Result<void> StackTrace::format(Writer& writer) const {
    TRY(writer.writeAll("\n"));
    if (auto r = debug::writeStackTrace(*this, writer, io::tty::detectConfig(2)); !r)
        TRY(fmt::format(writer, "Unable to print stack trace: {s}\n", r.error()));
    return {};
}
