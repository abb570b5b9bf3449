// Stack traces: walking the current stack (frame pointers, or call-frame
// rules when a register context is at hand) and printing return addresses
// as entries resolved from the program's own debug information, coloured
// when standard error is a terminal. Capturing them is support/stack.hpp.
#pragma once
#include <ucontext.h>

#include <array>
#include <optional>
#include <span>
#include <string_view>

#include "debuginfo/debuginfo.hpp"
#include "debuginfo/unwind.hpp"
#include "failure/source_line.hpp"
#include "support/error.hpp"
#include "support/format.hpp"
#include "support/stack.hpp"
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

// One walk up the stack. With an unwind state it follows call-frame rules
// until they fail once, then frame pointers for the rest of the walk.
struct StackIterator {
    struct UnwindState {
        SelfInfo* debug_info = nullptr;
        dwarf::UnwindContext dwarf_context;
        std::optional<Error> last_error;
        bool failed = false;
        // Where last_error happened when that is not the context's pc.
        std::optional<usize> error_address;
    };
    struct UnwindError {
        Error err;
        usize address;  // the context's pc when unwinding failed
    };

    std::optional<usize> first_address;
    usize fp = 0;
    // The frame the walk started from: a walk by call-frame rules that
    // never meets first_address starts over from it by frame pointers.
    usize start_fp = 0;
    bool restarted = false;
    std::optional<UnwindState> unwind_state;
    // Steps taken so far (frame-pointer and call-frame steps alike).
    usize steps = 0;
    // Whether the 16 bytes at an address may be read; the fuzz target
    // confines a walk to a fake stack with its own check.
    bool (*is_valid_memory)(usize address) = isValidMemory;

    // fp absent: the frame of the function calling init (hence inline).
    [[gnu::always_inline]] static inline StackIterator init(std::optional<usize> first_address,
                                                            std::optional<usize> fp) {
        StackIterator it;
        it.first_address = first_address;
        it.fp = fp ? *fp : reinterpret_cast<usize>(__builtin_frame_address(0));
        it.start_fp = it.fp;
        return it;
    }
    [[nodiscard, gnu::always_inline]] static inline Result<StackIterator> initWithContext(
        std::optional<usize> first_address, SelfInfo* debug_info, const ucontext_t* context,
        bool (*memory_check)(usize) = isValidMemory) {
        StackIterator it = init(first_address, std::nullopt);
        it.is_valid_memory = memory_check;
        auto ctx = dwarf::UnwindContext::init(context, memory_check);
        if (!ctx) return std::unexpected(ctx.error());
        it.unwind_state = UnwindState{debug_info, *ctx, std::nullopt, false, std::nullopt};
        return it;
    }

    // The next return address, or absent when the walk has ended.
    [[nodiscard]] std::optional<usize> next();
    // Takes (once) the error that ended call-frame unwinding.
    [[nodiscard]] std::optional<UnwindError> getLastError();
    void deinit() { unwind_state.reset(); }

  private:
    [[nodiscard]] std::optional<usize> nextInternal();
    [[nodiscard]] std::optional<usize> nextByRules(UnwindState& state);
    [[nodiscard]] bool restartByFramePointers();
};

// How much of one walk a trace shows: the innermost entries as they are
// met, and, when the walk is longer, the number of frames skipped after
// them, then the outermost entries (a runaway recursion thus shows where
// it recursed and which test started it). Counts are of walked addresses,
// however many lines an address prints as.
inline constexpr usize trace_head_entries = 192;
inline constexpr usize trace_tail_entries = 64;

// What a bounded walk hands out, in output order.
struct WalkSink {
    // One address to show: the interrupted instruction for the first entry
    // of a signal context, otherwise a return address minus one (0 stays 0).
    [[nodiscard]] virtual Result<void> entry(usize address) = 0;
    // Frames walked but not shown, between the innermost and the outermost.
    [[nodiscard]] virtual Result<void> skipped(usize count) = 0;
    // Call-frame unwinding failed before the next entry (or at the end).
    virtual void unwindError(const StackIterator::UnwindError& error) = 0;

  protected:
    ~WalkSink() = default;
};

// Runs the walk to its end, first_entry (when given) as its first entry.
// The first error of the sink ends the walk and is returned.
[[nodiscard]] Result<void> walkBounded(StackIterator& it, WalkSink& sink, std::optional<usize> first_entry);

// Print to standard error; never fail (problems are written as text).
void dumpStackTrace(const StackTrace& trace);
// From start_addr (0: the caller of dumpCurrentStackTrace).
[[gnu::noinline]] void dumpCurrentStackTrace(usize start_addr);
// The stack of a signal's register context, starting with the
// interrupted instruction itself.
void dumpStackTraceFromBase(const ucontext_t* context);

// The printing work behind the above, on any writer.
[[nodiscard]] Result<void> writeStackTrace(const StackTrace& trace, Writer& writer, SelfInfo& debug_info,
                                           io::tty::Config config);
// start_addr 0: every frame from the caller of writeCurrentStackTrace.
[[nodiscard, gnu::noinline]] Result<void> writeCurrentStackTrace(Writer& writer, SelfInfo& debug_info,
                                                                 io::tty::Config config, usize start_addr);

// One entry: the location line, then the source line and the caret.
[[nodiscard]] Result<void> printSourceAtAddress(SelfInfo& debug_info, Writer& writer, usize address,
                                                io::tty::Config config);
[[nodiscard]] Result<void> printLineInfo(Writer& writer, const std::optional<LineInfo>& line_info, usize address,
                                         std::string_view symbol_name, std::string_view compile_unit_name,
                                         io::tty::Config config);
// The same within one report, whose entries share what they learn of
// the source files.
[[nodiscard]] Result<void> printSourceAtAddress(SelfInfo& debug_info, Writer& writer, usize address,
                                                io::tty::Config config, SourceFiles& files);
[[nodiscard]] Result<void> printLineInfo(Writer& writer, const std::optional<LineInfo>& line_info, usize address,
                                         std::string_view symbol_name, std::string_view compile_unit_name,
                                         io::tty::Config config, SourceFiles& files);
[[nodiscard]] Result<void> printUnknownSource(SelfInfo& debug_info, Writer& writer, usize address,
                                              io::tty::Config config);
void printLastUnwindError(StackIterator& it, SelfInfo& debug_info, Writer& writer, io::tty::Config config);
void printUnwindError(SelfInfo& debug_info, Writer& writer, usize address, Error err, io::tty::Config config);

namespace detail {
// Standard-error printing of one stored short trace with its note.
void dumpNotedTraces(std::span<const std::span<const usize>> traces, std::span<const std::string_view> notes,
                     usize index);
}  // namespace detail

// Up to `size` short traces of `stack_frame_count` frames, each with a
// note; further additions are only counted. Disabled, it holds nothing.
template <usize size, usize stack_frame_count, bool is_enabled>
struct ConfigurableTrace {
    static constexpr usize actual_size = is_enabled ? size : 0;
    static constexpr usize actual_depth = is_enabled ? stack_frame_count : 0;

    std::array<std::array<usize, actual_depth>, actual_size> addrs = {};
    std::array<std::string_view, actual_size> notes = {};
    usize index = 0;

    // Records the caller's stack under note.
    [[gnu::noinline]] void addNoInline(std::string_view note) {
        add(note, reinterpret_cast<usize>(__builtin_return_address(0)));
    }

    void add(std::string_view note, usize first_address) {
        if constexpr (is_enabled) {
            if (index < actual_size) {
                addrs[index] = {};
                notes[index] = note;
                StackTrace trace{0, std::span<usize>(addrs[index])};
                captureStackTrace(first_address, &trace);
            }
            index += 1;
        }
    }

    void dump() const {
        if constexpr (is_enabled) {
            std::array<std::span<const usize>, actual_size> traces;
            for (usize i = 0; i < actual_size; ++i) traces[i] = addrs[i];
            detail::dumpNotedTraces(traces, notes, index);
        }
    }
};

}  // namespace debug
