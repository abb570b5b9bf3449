// The source line a trace entry quotes: sought only in the first part of
// its file, found again cheaply by the later entries of the same report,
// and shown in bounded, printable form.
#pragma once
#include <span>
#include <string_view>

#include "debuginfo/debuginfo.hpp"
#include "support/error.hpp"
#include "support/format.hpp"
#include "support/types.hpp"

namespace debug {

// A quoted line shows at most this many bytes (a control byte, written
// as \xNN, counts four); a longer one ends with the cut marker instead.
inline constexpr usize source_line_shown_max = 1024;
inline constexpr std::string_view source_line_cut_marker = " [cut]";
// Newlines are sought only in the first 16 MiB of a file, so a file that
// never ends (some /proc files are regular files) or a huge one costs a
// bounded read: a line that starts further in is not quoted.
inline constexpr u64 source_line_reach = u64{16} << 20;

struct SourceLimits {
    u64 reach = source_line_reach;
    // Distance between the line starts remembered while a file is first
    // scanned: a later line is sought from the nearest one before it.
    u64 mark_spacing = u64{128} << 10;
};

// The first bytes of a line, without its line ending. Two bytes beyond
// the shown maximum are enough to tell whether the line is cut, a CR
// before the newline included.
inline constexpr usize source_text_capacity = source_line_shown_max + 2;
struct SourceText {
    std::string_view bytes;
    bool more = false;  // the line goes on past `bytes`
};

// What one report has learnt about the source files its entries quote:
// where some of their lines start, so a trace whose hundreds of entries
// name the same file reads it through once, not once per entry. Fixed
// size and no allocation: it lives on the stack of a fault report.
class SourceFiles {
  public:
    SourceFiles() = default;
    explicit SourceFiles(SourceLimits limits);

    // The line `line_info` names (line 0 as line 1) read into `buf`.
    // EndOfFile when the file has fewer lines within its reach; a file
    // that is not a regular file gives BadPathName; any error of opening
    // or reading the file is returned.
    [[nodiscard]] Result<SourceText> readLine(const LineInfo& line_info, std::span<char, source_text_capacity> buf);

  private:
    struct Mark {
        u32 line;
        u32 offset;  // of the line's first byte
    };
    static constexpr usize file_slots = 4;
    static constexpr usize marks_per_file = 128;
    static constexpr usize recent_per_file = 8;
    static constexpr usize chunk_size = 4096;

    // Marks hold the starts of lines about mark_spacing apart, ascending,
    // the first one line 1; the frontier is the furthest line start found.
    // Once complete, the file has no line past the frontier's.
    struct File {
        bool used = false;
        bool complete = false;
        u64 key = 0;  // the path's hash
        u64 size = 0;
        Mark frontier{1, 0};
        u32 mark_count = 0;
        u32 recent_count = 0;
        u32 recent_next = 0;
        Mark marks[marks_per_file]{};
        Mark recent[recent_per_file]{};  // lines asked for lately
    };

    File& fileFor(u64 key, u64 size);
    [[nodiscard]] Result<u64> lineStart(int fd, File& file, u64 line);
    [[nodiscard]] Result<u64> scan(int fd, File& file, Mark from, u64 line, bool extend);

    SourceLimits limits_{};
    File files_[file_slots]{};
    u32 next_victim_ = 0;
};

// Writes the line as shown: tabs as one space, other control bytes and DEL
// as \xNN, cut after source_line_shown_max bytes (not inside a UTF-8
// sequence) with the marker, then a newline. Returns how many columns
// precede the caret for a 1-based byte `column` (0: none): at most the
// shown width.
[[nodiscard]] Result<u64> writeSourceLine(Writer& writer, const SourceText& text, u64 column);

// The line of the file as a trace entry shows it, always ending in a
// newline. EndOfFile when the file has fewer lines.
[[nodiscard]] Result<void> printLineFromFileAnyOs(Writer& writer, const LineInfo& line_info);

}  // namespace debug
