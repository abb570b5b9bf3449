// Stack walks and the text of trace entries.
#include "failure/stack_trace.hpp"

#include <fcntl.h>
#include <link.h>

#include <cstring>

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

std::optional<usize> StackIterator::next() {
    auto address = nextInternal();
    if (first_address) {
        while (address && *address != *first_address) address = nextInternal();
        // One damaged byte in a shared rule (a data alignment factor) makes
        // every step plausible and wrong; the frame-pointer chain is a
        // record of its own.
        if (!address && restartByFramePointers()) {
            address = nextInternal();
            while (address && *address != *first_address) address = nextInternal();
        }
        if (!address) return std::nullopt;
        first_address.reset();
    }
    return address;
}

bool StackIterator::restartByFramePointers() {
    if (!unwind_state || !first_address || restarted || start_fp == 0) return false;
    restarted = true;
    UnwindState& state = *unwind_state;
    // Said once, naming the address the rules never reached: wherever
    // their walk ended (or failed) is an address they got wrong.
    state.last_error = Error::InvalidDebugInfo;
    state.error_address = *first_address;
    state.failed = true;
    fp = start_fp;
    return true;
}

namespace {

struct ExecutableSearch {
    usize address;
    bool found = false;
};

int findExecutableSegment(dl_phdr_info* info, size_t, void* data) {
    auto* search = static_cast<ExecutableSearch*>(data);
    for (usize i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD || (ph.p_flags & PF_X) == 0) continue;
        const usize start = info->dlpi_addr + ph.p_vaddr;
        if (search->address - start < ph.p_memsz) search->found = true;
    }
    return search->found ? 1 : 0;
}

bool isInExecutableSegment(usize address) {
    ExecutableSearch search{address};
    dl_iterate_phdr(findExecutableSegment, &search);
    return search.found;
}

// A call through a null or non-code pointer faults before the callee runs
// an instruction: the return address the call pushed is at the stack
// pointer, and the caller's frame is untouched. Steps ctx to the caller.
std::optional<usize> stepOutOfFailedCall(dwarf::UnwindContext& ctx) {
    if (!ctx.exact_pc || ctx.cfa != 0 || !ctx.reg_valid[dwarf::UnwindContext::rsp]) return std::nullopt;
    if (isInExecutableSegment(ctx.pc)) return std::nullopt;
    const usize sp = static_cast<usize>(ctx.regs[dwarf::UnwindContext::rsp]);
    if (sp % 8 != 0 || ctx.is_valid_memory == nullptr || !ctx.is_valid_memory(sp)) return std::nullopt;
    usize return_address;
    std::memcpy(&return_address, reinterpret_cast<const void*>(sp), sizeof return_address);
    if (return_address == 0) return std::nullopt;
    ctx.pc = return_address;
    ctx.exact_pc = false;
    ctx.regs[dwarf::UnwindContext::return_address] = return_address;
    ctx.regs[dwarf::UnwindContext::rsp] = sp + 8;
    ctx.cfa = sp + 8;
    return return_address;
}

struct GuardedUnwind {
    dwarf::UnwindContext* ctx;
    Result<usize> result = std::unexpected(Error::InvalidDebugInfo);
};

}  // namespace

std::optional<usize> StackIterator::nextByRules(UnwindState& state) {
    dwarf::UnwindContext& ctx = state.dwarf_context;
    if (const auto caller = stepOutOfFailedCall(ctx)) return caller;
    if (ctx.pc == 0) return std::nullopt;
    // Where this frame sits: the CFA it was unwound to, or for the
    // first frame its stack pointer.
    const usize here = ctx.cfa != 0 ? ctx.cfa : (ctx.reg_valid[7] ? static_cast<usize>(ctx.regs[7]) : 0);
    const dwarf::UnwindContext before = ctx;
    // Rules the module lacks in memory come from its debug file, which
    // may have been cut short under its mapping: a fault there fails the
    // step like damaged rules would.
    GuardedUnwind step{&ctx};
    if (!runGuarded([](void* p) {
            auto* s = static_cast<GuardedUnwind*>(p);
            s->result = dwarf::unwindFrame(*s->ctx);
        }, &step)) {
        ctx = before;
        step.result = std::unexpected(Error::InvalidDebugInfo);
    }
    Result<usize> unwound = step.result;
    // A caller's frame lies above its callee's. A step that stays put
    // or goes down (corrupted saved registers, damaged tables) would
    // repeat or wander: it is a failed step, taken from the frame it
    // started at.
    if (unwound && ctx.cfa <= here) {
        ctx = before;
        unwound = std::unexpected(Error::InvalidCFA);
    }
    fp = ctx.getFp();
    if (unwound) return *unwound;
    state.last_error = unwound.error();
    state.failed = true;
    return std::nullopt;
}

std::optional<usize> StackIterator::nextInternal() {
    // Every step below moves strictly up the stack: the stack's own size
    // bounds a walk.
    steps += 1;

    if (unwind_state && !unwind_state->failed) {
        if (const auto address = nextByRules(*unwind_state)) return address;
        if (!unwind_state->failed) return std::nullopt;
    }

    usize return_address;
    const auto readable = [this](usize frame) { return frame != 0 && frame % 8 == 0 && is_valid_memory(frame); };
    if (stepFrame(fp, return_address, readable) != FrameStep::taken) return std::nullopt;
    return return_address;
}

std::optional<StackIterator::UnwindError> StackIterator::getLastError() {
    if (!unwind_state || !unwind_state->last_error) return std::nullopt;
    const usize address = unwind_state->error_address ? *unwind_state->error_address : unwind_state->dwarf_context.pc;
    const UnwindError error{*unwind_state->last_error, address};
    unwind_state->last_error.reset();
    unwind_state->error_address.reset();
    return error;
}

// ---------------------------------------------------------------------------
// Entries

namespace {

using io::tty::Color;

bool isMissingInfo(Error e) { return e == Error::MissingDebugInfo || e == Error::InvalidDebugInfo; }

// Standard error for traces: an entry is written in many small pieces, so
// they are gathered and written a line at a time. Whole lines still reach
// the descriptor as soon as they are complete, so a report cut short by a
// second fault keeps everything up to its last full line.
struct LineBufferedFdWriter final : Writer {
    int fd;
    char buf[1024];
    usize len = 0;

    explicit LineBufferedFdWriter(int fd_) : fd(fd_) {}
    ~LineBufferedFdWriter() { (void)flush(); }

    Result<void> writeAll(std::string_view bytes) override {
        if (bytes.size() > sizeof buf - len) {
            TRY(flush());
            if (bytes.size() > sizeof buf) return FdWriter(fd).writeAll(bytes);
        }
        std::memcpy(buf + len, bytes.data(), bytes.size());
        len += bytes.size();
        if (!bytes.empty() && bytes.back() == '\n') TRY(flush());
        return {};
    }

    Result<void> flush() {
        if (len == 0) return {};
        const usize n = len;
        len = 0;
        return FdWriter(fd).writeAll(std::string_view(buf, n));
    }
};

}  // namespace

Result<void> printLineInfo(Writer& writer, const std::optional<LineInfo>& line_info, usize address,
                           std::string_view symbol_name, std::string_view compile_unit_name, io::tty::Config config) {
    SourceFiles files;
    return printLineInfo(writer, line_info, address, symbol_name, compile_unit_name, config, files);
}

Result<void> printLineInfo(Writer& writer, const std::optional<LineInfo>& line_info, usize address,
                           std::string_view symbol_name, std::string_view compile_unit_name, io::tty::Config config,
                           SourceFiles& files) {
    TRY(io::tty::setColor(config, writer, Color::bold));
    if (line_info)
        TRY(fmt::format(writer, "{s}:{d}:{d}", line_info->file_name, line_info->line, line_info->column));
    else
        TRY(writer.writeAll("???:?:?"));
    TRY(io::tty::setColor(config, writer, Color::reset));
    TRY(writer.writeAll(": "));
    TRY(io::tty::setColor(config, writer, Color::dim));
    TRY(fmt::format(writer, "0x{x} in {s} ({s})", address, symbol_name, compile_unit_name));
    TRY(io::tty::setColor(config, writer, Color::reset));
    TRY(writer.writeAll("\n"));

    // Line 0 marks code no source line produced (compiler-generated):
    // there is no line to show.
    if (!line_info || line_info->line == 0) return {};
    // A file that will not give the line (gone, unreadable, a directory, a
    // socket, no descriptor left) leaves this entry without it; the rest
    // of the trace still matters.
    char text_buf[source_text_capacity];
    const Result<SourceText> text = files.readLine(*line_info, text_buf);
    if (!text) return {};
    const u64 caret = TRY(writeSourceLine(writer, *text, line_info->column));
    if (line_info->column > 0) {
        static constexpr char spaces[64] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                            ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                            ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                            ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                            ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
        // A column past the end of the line (only damaged debug data says
        // so) puts the caret just after the line rather than writing up to
        // four billion spaces.
        u64 remaining = caret;
        while (remaining > 0) {
            const usize n = remaining < sizeof spaces ? static_cast<usize>(remaining) : sizeof spaces;
            TRY(writer.writeAll(std::string_view(spaces, n)));
            remaining -= n;
        }
        TRY(io::tty::setColor(config, writer, Color::green));
        TRY(writer.writeAll("^"));
        TRY(io::tty::setColor(config, writer, Color::reset));
    }
    return writer.writeAll("\n");
}

Result<void> printUnknownSource(SelfInfo& debug_info, Writer& writer, usize address, io::tty::Config config) {
    const auto module_name = debug_info.getModuleNameForAddress(address);
    return printLineInfo(writer, std::nullopt, address, "???", module_name ? *module_name : "???", config);
}

namespace {

// The functions at one address, looked up where a fault in the debug
// information's mapping ends the lookup instead of the process.
struct SymbolLookup {
    SymbolLookup(SelfInfo& info, usize at) : debug_info(info), address(at) {}

    SelfInfo& debug_info;
    usize address;
    // One entry per function the address is in: for inlined code the
    // inlined functions innermost first, then the out-of-line function.
    SymbolInfo symbols[Module::max_inline_entries];
    Result<usize> count = std::unexpected(Error::MissingDebugInfo);
};

// Reads every byte of text, so that a text the lookup points into a
// mapped file with faults now, inside the guard, rather than while its
// entry is half written.
void touch(std::string_view text) {
    volatile char sink = 0;
    for (const char c : text) sink = static_cast<char>(sink ^ c);
}

void lookUpSymbols(void* context) {
    auto& lookup = *static_cast<SymbolLookup*>(context);
    auto module = lookup.debug_info.getModuleForAddress(lookup.address);
    if (!module) {
        lookup.count = std::unexpected(module.error());
        return;
    }
    lookup.count = (*module)->getSymbolsAtAddress(lookup.address, lookup.symbols);
    if (!lookup.count) return;
    for (usize i = 0; i < *lookup.count; ++i) {
        const SymbolInfo& symbol = lookup.symbols[i];
        touch(symbol.symbol_name);
        touch(symbol.compile_unit_name);
        if (const std::optional<LineInfo>& line = symbol.line_info) touch(line->file_name);
    }
}

}  // namespace

Result<void> printSourceAtAddress(SelfInfo& debug_info, Writer& writer, usize address, io::tty::Config config) {
    SourceFiles files;
    return printSourceAtAddress(debug_info, writer, address, config, files);
}

Result<void> printSourceAtAddress(SelfInfo& debug_info, Writer& writer, usize address, io::tty::Config config,
                                  SourceFiles& files) {
    SymbolLookup lookup{debug_info, address};
    // A debug file cut short while mapped (copied over in place) faults
    // past its new end: its entries are then of unknown source.
    if (!runGuarded(lookUpSymbols, &lookup)) return printUnknownSource(debug_info, writer, address, config);
    SymbolInfo (&symbols)[Module::max_inline_entries] = lookup.symbols;
    const Result<usize>& count = lookup.count;
    if (!count) {
        if (isMissingInfo(count.error())) return printUnknownSource(debug_info, writer, address, config);
        return std::unexpected(count.error());
    }
    for (usize i = 0; i < *count; ++i) {
        const Result<void> printed = printLineInfo(writer, symbols[i].line_info, address, symbols[i].symbol_name,
                                                   symbols[i].compile_unit_name, config, files);
        symbols[i].deinit();
        TRY(printed);
    }
    return {};
}

void printUnwindError(SelfInfo& debug_info, Writer& writer, usize address, Error err, io::tty::Config config) {
    const auto module_name = debug_info.getModuleNameForAddress(address);
    const std::string_view name = module_name ? *module_name : "???";
    (void)io::tty::setColor(config, writer, Color::dim);
    if (err == Error::MissingDebugInfo)
        (void)fmt::format(writer, "Unwind information for `{s}:0x{x}` was not available, trace may be incomplete\n\n",
                          name, address);
    else
        (void)fmt::format(writer, "Unwind error at address `{s}:0x{x}` ({}), trace may be incomplete\n\n", name,
                          address, err);
    (void)io::tty::setColor(config, writer, Color::reset);
}

void printLastUnwindError(StackIterator& it, SelfInfo& debug_info, Writer& writer, io::tty::Config config) {
    if (const auto error = it.getLastError()) printUnwindError(debug_info, writer, error->address, error->err, config);
}

// ---------------------------------------------------------------------------
// Whole traces

Result<void> writeStackTrace(const StackTrace& trace, Writer& writer, SelfInfo& debug_info, io::tty::Config config) {
    const usize capacity = trace.instruction_addresses.size();
    const usize n = trace.index < capacity ? trace.index : capacity;
    SourceFiles files;
    for (usize i = 0; i < n; ++i)
        TRY(printSourceAtAddress(debug_info, writer, trace.instruction_addresses[i] - 1, config, files));
    if (trace.index > capacity) {
        (void)io::tty::setColor(config, writer, Color::bold);
        TRY(fmt::format(writer, "({d} additional stack frames skipped...)\n", trace.index - capacity));
        (void)io::tty::setColor(config, writer, Color::reset);
    }
    return {};
}

namespace {

using UnwindError = StackIterator::UnwindError;

// An entry for a return address: the call instruction's last byte (0
// stays 0).
usize entryAddress(usize return_address) { return return_address == 0 ? 0 : return_address - 1; }

// The outermost entries of a walk, kept while the rest of it goes by, each
// with the unwind error met just before it.
struct TailEntries {
    struct Kept {
        usize address;
        std::optional<UnwindError> error;
    };
    Kept ring[trace_tail_entries];
    usize walked = 0;
    // The error of the last entry that fell out of the ring.
    std::optional<UnwindError> dropped_error;

    void push(usize address, std::optional<UnwindError> error) {
        Kept& slot = ring[walked % trace_tail_entries];
        if (walked >= trace_tail_entries && slot.error) dropped_error = slot.error;
        slot = Kept{address, error};
        walked += 1;
    }
    // Counts entries that are never shown: at least trace_tail_entries
    // real ones must follow, overwriting every slot these fill.
    void pass(usize count) {
        const usize filled = count < trace_tail_entries ? count : trace_tail_entries;
        for (usize i = 0; i < filled; ++i) push(0, std::nullopt);
        walked += count - filled;
    }
};

// A frame that a walk by frame pointers passed: where it lay, and the
// return address and frame pointer of its caller saved in it.
struct PassedFrame {
    usize fp;
    usize return_address;
    usize saved_fp;
};

// The frame the iterator's rules will step out of next, as its frame
// pointer records it: compared with what the step finds.
std::optional<PassedFrame> frameByPointer(const StackIterator::UnwindState& state, bool (*check)(usize)) {
    const dwarf::UnwindContext& ctx = state.dwarf_context;
    usize fp = ctx.getFp();
    // A frame pointer lies above the frame its function called.
    if (fp == 0 || fp % 8 != 0 || fp < ctx.cfa) return std::nullopt;
    const usize from = fp;
    usize return_address = 0;
    if (stepFrame(fp, return_address, check) != FrameStep::taken) return std::nullopt;
    return PassedFrame{from, return_address, fp};
}

bool rulesAgree(const StackIterator::UnwindState& state, const PassedFrame& frame, usize return_address) {
    return !state.failed && return_address == frame.return_address && state.dwarf_context.cfa == frame.fp + 16 &&
           state.dwarf_context.getFp() == frame.saved_fp;
}

// Pages a walk by frame pointers found mapped, as one range growing with
// the walk: each page is asked about once rather than each frame on it.
struct MappedPages {
    usize lo = 0;
    usize hi = 0;

    bool holds(usize frame) const { return hi - lo >= 16 && frame - lo <= hi - lo - 16; }
    void add(usize frame) {
        const usize page_lo = frame & ~usize{4095};
        const usize page_hi = ((frame + 15) & ~usize{4095}) + 4096;
        if (page_lo <= hi && page_hi >= lo && hi != 0) {
            lo = page_lo < lo ? page_lo : lo;
            hi = page_hi > hi ? page_hi : hi;
        } else {
            lo = page_lo;
            hi = page_hi;
        }
    }
};

constexpr usize passed_frames_kept = 2 * trace_tail_entries;

// Walks the rest of the chain by frame pointers from it.fp, every frame
// into tail but, when the rules are to walk the end again (by_rules), the
// last trace_tail_entries: the rules then go on from the caller of the
// returned frame (none: from where they stood), so the outermost entries
// are theirs, as in a walk by rules alone, through code that keeps no
// frame pointer (the C library's start-up) to its very end. The frames
// kept are the ones the tail may still need: twice as many as it shows.
[[gnu::noinline]] std::optional<PassedFrame> skipByFramePointers(StackIterator& it, TailEntries& tail,
                                                                 bool by_rules) {
    PassedFrame passed[passed_frames_kept];
    usize count = 0;
    MappedPages pages;
    bool (*const check)(usize) = it.is_valid_memory;
    // Mapping and protection come in whole pages, so a page once read is
    // read again without asking; another check may not be about pages.
    const bool by_page = check == &isValidMemory;
    const auto readable = [&pages, check, by_page](usize frame) {
        if (frame == 0 || frame % 8 != 0) return false;
        if (pages.holds(frame)) return true;
        if (!check(frame)) return false;
        if (by_page) pages.add(frame);
        return true;
    };
    usize fp = it.fp;
    for (;;) {
        const usize from = fp;
        usize return_address = 0;
        if (stepFrame(fp, return_address, readable) != FrameStep::taken) break;
        it.steps += 1;
        passed[count % passed_frames_kept] = PassedFrame{from, return_address, fp};
        count += 1;
    }
    it.fp = fp;
    const usize walked_again = by_rules ? (count < trace_tail_entries ? count : trace_tail_entries) : 0;
    const usize kept_end = count - walked_again;
    const usize kept_start = kept_end > trace_tail_entries ? kept_end - trace_tail_entries : 0;
    tail.pass(kept_start);
    for (usize i = kept_start; i < kept_end; ++i)
        tail.push(entryAddress(passed[i % passed_frames_kept].return_address), std::nullopt);
    if (!by_rules || kept_end == 0) return std::nullopt;
    return passed[(kept_end - 1) % passed_frames_kept];
}

// The rules take up the walk in the caller of a frame passed by frame
// pointers: its pc is the frame's return address, its stack pointer the
// frame's end, its frame pointer the one saved in the frame; nothing else
// of its registers is known.
void resumeByRules(StackIterator& it, StackIterator::UnwindState& state, const PassedFrame& frame) {
    dwarf::UnwindContext& ctx = state.dwarf_context;
    dwarf::UnwindContext resumed;
    resumed.is_valid_memory = ctx.is_valid_memory;
    resumed.pc = frame.return_address;
    resumed.regs[dwarf::UnwindContext::rsp] = frame.fp + 16;
    resumed.reg_valid[dwarf::UnwindContext::rsp] = true;
    resumed.regs[dwarf::UnwindContext::rbp] = frame.saved_fp;
    resumed.reg_valid[dwarf::UnwindContext::rbp] = true;
    resumed.regs[dwarf::UnwindContext::return_address] = frame.return_address;
    resumed.reg_valid[dwarf::UnwindContext::return_address] = true;
    resumed.cfa = frame.fp + 16;
    ctx = resumed;
    it.fp = frame.saved_fp;
}

// The walk past the innermost entries, to its end. Call-frame rules take
// microseconds a frame, frame pointers nanoseconds: once a frame keeps its
// frame pointer where the rules found it, frame pointers take the walk
// over (ten million frames in a fraction of a second), and the rules walk
// the outermost frames again.
void walkRest(StackIterator& it, TailEntries& tail) {
    bool skipped = false;
    for (;;) {
        if (!it.unwind_state || it.unwind_state->failed) {
            // Frame pointers only from here, as the iterator would go on.
            (void)skipByFramePointers(it, tail, false);
            return;
        }
        StackIterator::UnwindState& state = *it.unwind_state;
        const std::optional<PassedFrame> frame = skipped ? std::nullopt : frameByPointer(state, it.is_valid_memory);
        const std::optional<usize> next = it.next();
        if (!next) return;
        tail.push(entryAddress(*next), it.getLastError());
        if (frame && rulesAgree(state, *frame, *next)) {
            skipped = true;
            if (const auto resume_after = skipByFramePointers(it, tail, true))
                resumeByRules(it, state, *resume_after);
        }
    }
}

}  // namespace

Result<void> walkBounded(StackIterator& it, WalkSink& sink, std::optional<usize> first_entry) {
    usize shown = 0;
    if (first_entry) {
        TRY(sink.entry(*first_entry));
        shown = 1;
    }
    // The innermost entries go out as they are met.
    for (; shown < trace_head_entries; ++shown) {
        const std::optional<usize> next = it.next();
        if (!next) {
            if (const auto error = it.getLastError()) sink.unwindError(*error);
            return {};
        }
        if (const auto error = it.getLastError()) sink.unwindError(*error);
        TRY(sink.entry(entryAddress(*next)));
    }
    // The rest is walked to its end, keeping the last entries (with an
    // unwind error met just before each) to show after the count.
    TailEntries tail;
    walkRest(it, tail);
    const std::optional<UnwindError> final_error = it.getLastError();
    const usize walked = tail.walked;
    const usize kept = walked < trace_tail_entries ? walked : trace_tail_entries;
    if (walked > kept) {
        if (tail.dropped_error) sink.unwindError(*tail.dropped_error);
        TRY(sink.skipped(walked - kept));
    }
    for (usize i = walked - kept; i < walked; ++i) {
        const TailEntries::Kept& slot = tail.ring[i % trace_tail_entries];
        if (slot.error) sink.unwindError(*slot.error);
        TRY(sink.entry(slot.address));
    }
    if (final_error) sink.unwindError(*final_error);
    return {};
}

namespace {

// The walk as trace entries on a writer.
struct EntryPrinter final : WalkSink {
    Writer& writer;
    SelfInfo& debug_info;
    io::tty::Config config;
    SourceFiles files;

    EntryPrinter(Writer& w, SelfInfo& info, io::tty::Config c) : writer(w), debug_info(info), config(c) {}

    Result<void> entry(usize address) override {
        return printSourceAtAddress(debug_info, writer, address, config, files);
    }
    Result<void> skipped(usize count) override {
        (void)io::tty::setColor(config, writer, Color::bold);
        TRY(fmt::format(writer, "({d} additional stack frames skipped...)\n", count));
        (void)io::tty::setColor(config, writer, Color::reset);
        return {};
    }
    void unwindError(const StackIterator::UnwindError& error) override {
        printUnwindError(debug_info, writer, error.address, error.err, config);
    }
};

Result<void> printFrames(StackIterator& it, Writer& writer, SelfInfo& debug_info, io::tty::Config config,
                         std::optional<usize> first_entry = std::nullopt) {
    EntryPrinter printer(writer, debug_info, config);
    return walkBounded(it, printer, first_entry);
}

}  // namespace

Result<void> writeCurrentStackTrace(Writer& writer, SelfInfo& debug_info, io::tty::Config config, usize start_addr) {
    const std::optional<usize> first = start_addr != 0 ? std::optional<usize>(start_addr) : std::nullopt;
    // The register state must be captured in this very frame, which stays
    // live while the walk below uses it; a wrapper's frame would be gone.
    ucontext_t context;
    StackIterator it = StackIterator::init(first, std::nullopt);
    if (::getcontext(&context) == 0) {
        if (auto with_context = StackIterator::initWithContext(first, &debug_info, &context))
            it = *with_context;
    }
    const Result<void> printed = printFrames(it, writer, debug_info, config);
    it.deinit();
    return printed;
}

void dumpStackTrace(const StackTrace& trace) {
    LineBufferedFdWriter out(2);
    auto debug_info = getSelfDebugInfo();
    if (!debug_info) {
        (void)fmt::format(out, "Unable to dump stack trace: Unable to open debug info: {s}\n", debug_info.error());
        return;
    }
    if (auto r = writeStackTrace(trace, out, **debug_info, io::tty::detectConfig(2)); !r)
        (void)fmt::format(out, "Unable to dump stack trace: {s}\n", r.error());
}

void dumpCurrentStackTrace(usize start_addr) {
    if (start_addr == 0) start_addr = reinterpret_cast<usize>(__builtin_return_address(0));
    LineBufferedFdWriter out(2);
    auto debug_info = getSelfDebugInfo();
    if (!debug_info) {
        (void)fmt::format(out, "Unable to dump stack trace: Unable to open debug info: {s}\n", debug_info.error());
        return;
    }
    if (auto r = writeCurrentStackTrace(out, **debug_info, io::tty::detectConfig(2), start_addr); !r)
        (void)fmt::format(out, "Unable to dump stack trace: {s}\n", r.error());
}

void dumpStackTraceFromBase(const ucontext_t* context) {
    LineBufferedFdWriter out(2);
    auto debug_info = getSelfDebugInfo();
    if (!debug_info) {
        (void)fmt::format(out, "Unable to dump stack trace: Unable to open debug info: {s}\n", debug_info.error());
        return;
    }
    const io::tty::Config config = io::tty::detectConfig(2);
    auto it = StackIterator::initWithContext(std::nullopt, *debug_info, context);
    if (!it) return;
    std::optional<StackIterator::UnwindState>& unwind_state = it->unwind_state;
    if (!unwind_state) return;
    // The context's pc is the interrupted instruction, not a return address.
    unwind_state->dwarf_context.exact_pc = true;
    const usize pc = unwind_state->dwarf_context.pc;
    (void)printFrames(*it, out, **debug_info, config, pc);
    it->deinit();
}

namespace detail {

void dumpNotedTraces(std::span<const std::span<const usize>> traces, std::span<const std::string_view> notes,
                     usize index) {
    LineBufferedFdWriter out(2);
    const io::tty::Config config = io::tty::detectConfig(2);
    auto debug_info = getSelfDebugInfo();
    if (!debug_info) {
        (void)fmt::format(out, "Unable to dump stack trace: Unable to open debug info: {s}\n", debug_info.error());
        return;
    }
    const usize shown = index < traces.size() ? index : traces.size();
    for (usize i = 0; i < shown; ++i) {
        (void)fmt::format(out, "{s}:\n", notes[i]);
        usize count = 0;
        while (count < traces[i].size() && traces[i][count] != 0) ++count;
        const StackTrace trace{count, std::span<usize>(const_cast<usize*>(traces[i].data()), traces[i].size())};
        (void)writeStackTrace(trace, out, **debug_info, config);
    }
    if (index > traces.size())
        (void)fmt::format(out, "{d} more traces not shown; consider increasing trace size\n", index - traces.size());
}

}  // namespace detail

}  // namespace debug

Result<void> StackTrace::format(Writer& writer) const {
    auto debug_info = debug::getSelfDebugInfo();
    if (!debug_info) {
        TRY(fmt::format(writer, "\nUnable to print stack trace: Unable to open debug info: {s}\n", debug_info.error()));
        return {};
    }
    const io::tty::Config config = io::tty::detectConfig(2);
    TRY(writer.writeAll("\n"));
    if (auto r = debug::writeStackTrace(*this, writer, **debug_info, config); !r)
        TRY(fmt::format(writer, "Unable to print stack trace: {s}\n", r.error()));
    return {};
}
