// A source file named by the debug information, with arbitrary contents
// (long lines across read chunks, no final newline, control bytes, tabs,
// CRLF endings, cut UTF-8), and an arbitrary line number: the printed text
// must be exactly that line as shown (tabs as spaces, control bytes as
// \xNN, cut with the marker past the maximum) and one newline, or
// EndOfFile when the file has fewer lines. The first three input bytes are
// the line number. Then a few more lines of the same file are asked for
// through one SourceFiles with a small reach and close marks, as the
// entries of one report would, and each must match the same model.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "failure/stack_trace.hpp"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "source line fuzz: %s\n", what);
    std::abort();
}

// The line as shown: every byte in turn while it fits, then the cut.
std::string shown(std::string_view line) {
    std::string out;
    usize i = 0;
    for (; i < line.size(); ++i) {
        const auto byte = static_cast<u8>(line[i]);
        char piece[5];
        if ((byte < 0x20 && byte != '\t') || byte == 0x7f)
            std::snprintf(piece, sizeof piece, "\\x%02x", byte);
        else
            std::snprintf(piece, sizeof piece, "%c", byte == '\t' ? ' ' : static_cast<char>(byte));
        if (out.size() + std::strlen(piece) > debug::source_line_shown_max) break;
        out += piece;
    }
    if (i == line.size()) return out + "\n";
    // Not inside a UTF-8 sequence: back to before its lead byte.
    usize lead = i;
    while (lead > 0 && i - lead < 3 && (static_cast<u8>(line[lead]) & 0xc0) == 0x80) --lead;
    if (lead < i && (static_cast<u8>(line[lead]) & 0xc0) == 0xc0) out.resize(out.size() - (i - lead));
    return out + std::string(debug::source_line_cut_marker) + "\n";
}

// The expected output for a line of contents, or nullopt for EndOfFile:
// newlines count only within the first `reach` bytes.
std::optional<std::string> model(std::string_view contents, u64 line, u64 reach) {
    if (line == 0) line = 1;  // the first line is the one shown for "no line"
    const std::string_view searched = contents.substr(0, reach < contents.size() ? reach : contents.size());
    usize start = 0;
    for (u64 l = 1; l < line; ++l) {
        const usize nl = searched.find('\n', start);
        if (nl == std::string_view::npos) return std::nullopt;
        start = nl + 1;
    }
    const usize nl = contents.find('\n', start);
    std::string_view text = contents.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start);
    if (nl != std::string_view::npos && text.ends_with('\r')) text.remove_suffix(1);
    return shown(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8* data, usize size) {
    if (size < 3) return 0;
    const u64 line = u64{data[0]} | u64{data[1]} << 8 | u64{data[2]} << 16;
    const std::string_view contents(reinterpret_cast<const char*>(data + 3), size - 3);

    static const std::string path = [] {
        char name[] = "/tmp/source_line_fuzz_XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0) fail("mkstemp");
        close(fd);
        return std::string(name);
    }();
    const int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) fail("open");
    if (!contents.empty() && write(fd, contents.data(), contents.size()) != static_cast<ssize_t>(contents.size()))
        fail("write");
    close(fd);

    static std::vector<char> out;
    out.assign(4 * debug::source_text_capacity + 64, '\0');
    FixedBufferWriter writer{std::span<char>(out)};
    const auto printed = debug::printLineFromFileAnyOs(writer, debug::LineInfo{line, 0, path});
    const std::optional<std::string> expected = model(contents, line, debug::source_line_reach);
    if (!expected) {
        if (printed || printed.error() != Error::EndOfFile) fail("a missing line was not EndOfFile");
    } else {
        if (!printed) fail("an existing line was not printed");
        if (writer.written() != *expected) fail("the printed line differs from the file's");
    }

    // One report's entries: lines in an order taken from the input.
    const debug::SourceLimits limits{.reach = 1 + data[0] % 200u, .mark_spacing = 1 + data[1] % 16u};
    debug::SourceFiles files(limits);
    for (usize i = 0; i < 12; ++i) {
        const u64 wanted = data[(i * 7 + 2) % size] % 24u;
        char text_buf[debug::source_text_capacity];
        const auto text = files.readLine(debug::LineInfo{wanted, 0, path}, text_buf);
        const std::optional<std::string> again = model(contents, wanted, limits.reach);
        if (!again) {
            if (text || text.error() != Error::EndOfFile) fail("a line past the reach or the end was found");
            continue;
        }
        if (!text) fail("a line within the reach was not found");
        FixedBufferWriter shown_writer{std::span<char>(out)};
        if (!debug::writeSourceLine(shown_writer, *text, 0)) fail("writing a shown line failed");
        if (shown_writer.written() != *again) fail("a line found through the report's marks differs from the file's");
    }
    return 0;
}
