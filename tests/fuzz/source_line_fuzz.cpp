// A source file named by the debug information, with arbitrary contents
// (long lines across read chunks, no final newline, NUL bytes, tabs), and
// an arbitrary line number: the printed text must be exactly that line
// with tabs as spaces and one newline, or EndOfFile when the file has
// fewer lines. The first three input bytes are the line number.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "failure/stack_trace.hpp"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "source line fuzz: %s\n", what);
    std::abort();
}

// The expected output for a line of contents, or nullopt for EndOfFile.
std::optional<std::string> model(std::string_view contents, u64 line) {
    if (line == 0) line = 1;  // the first line is the one shown for "no line"
    usize start = 0;
    for (u64 l = 1; l < line; ++l) {
        const usize nl = contents.find('\n', start);
        if (nl == std::string_view::npos) return std::nullopt;
        start = nl + 1;
    }
    const usize nl = contents.find('\n', start);
    std::string out(contents.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start));
    for (char& c : out)
        if (c == '\t') c = ' ';
    out += '\n';
    return out;
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
    out.assign(contents.size() + 64, '\0');
    FixedBufferWriter writer{std::span<char>(out)};
    const auto printed = debug::printLineFromFileAnyOs(writer, debug::LineInfo{line, 0, path});
    const std::optional<std::string> expected = model(contents, line);
    if (!expected) {
        if (printed || printed.error() != Error::EndOfFile) fail("a missing line was not EndOfFile");
    } else {
        if (!printed) fail("an existing line was not printed");
        if (writer.written() != *expected) fail("the printed line differs from the file's");
    }
    return 0;
}
