// Finding and showing the source line of a trace entry.
#include "failure/source_line.hpp"

#include <fcntl.h>

#include <cstring>

#include "support/sys.hpp"

namespace debug {

namespace {

struct FileCloser {
    int fd;
    ~FileCloser() { sys::close(fd); }
};

u64 pathKey(std::string_view path) {
    u64 hash = 0xcbf29ce484222325;
    for (const char c : path) {
        hash ^= static_cast<u8>(c);
        hash *= 0x100000001b3;
    }
    return hash;
}

// Offsets are kept in 32 bits.
constexpr u64 max_reach = u64{1} << 31;

}  // namespace

SourceFiles::SourceFiles(SourceLimits limits) : limits_(limits) {
    if (limits_.reach > max_reach) limits_.reach = max_reach;
    if (limits_.mark_spacing == 0) limits_.mark_spacing = 1;
}

SourceFiles::File& SourceFiles::fileFor(u64 key, u64 size) {
    File* slot = nullptr;
    for (File& file : files_) {
        if (!file.used || file.key != key) continue;
        if (file.size == size) return file;
        // Rewritten since an earlier entry: what was learnt is stale.
        slot = &file;
    }
    for (File& file : files_)
        if (slot == nullptr && !file.used) slot = &file;
    if (slot == nullptr) {
        slot = &files_[next_victim_];
        next_victim_ = (next_victim_ + 1) % file_slots;
    }
    File& file = *slot;
    file.used = true;
    file.complete = false;
    file.key = key;
    file.size = size;
    file.frontier = Mark{1, 0};
    file.marks[0] = Mark{1, 0};
    file.mark_count = 1;
    file.recent_count = 0;
    file.recent_next = 0;
    return file;
}

Result<u64> SourceFiles::lineStart(int fd, File& file, u64 line) {
    // Line n starts after n - 1 newlines, which take as many bytes.
    if (line - 1 > limits_.reach) return XOV_FAIL(Error::EndOfFile);
    for (u32 i = 0; i < file.recent_count; ++i)
        if (file.recent[i].line == line) return file.recent[i].offset;
    if (line >= file.frontier.line) {
        if (line == file.frontier.line) return file.frontier.offset;
        if (file.complete) return XOV_FAIL(Error::EndOfFile);
        return scan(fd, file, file.frontier, line, true);
    }
    Mark from = file.marks[0];
    for (u32 i = 1; i < file.mark_count && file.marks[i].line <= line; ++i) from = file.marks[i];
    for (u32 i = 0; i < file.recent_count; ++i)
        if (file.recent[i].line <= line && file.recent[i].line > from.line) from = file.recent[i];
    if (from.line == line) return from.offset;
    return scan(fd, file, from, line, false);
}

// Counts newlines from the line start `from` until `line` starts, reading
// whole aligned chunks (some /proc files reject other offsets) and never
// past the reach. Extending, it moves the frontier and leaves marks.
Result<u64> SourceFiles::scan(int fd, File& file, Mark from, u64 line, bool extend) {
    char chunk[chunk_size];
    u64 current = from.line;
    u64 pos = from.offset;
    for (;;) {
        const u64 base = pos - pos % chunk_size;
        if (pos >= limits_.reach) break;
        const u64 room = limits_.reach - base;
        const usize want = room < chunk_size ? static_cast<usize>(room) : chunk_size;
        const Result<usize> got = sys::readAt(fd, chunk, want, base);
        if (!got) {
            if (extend) file.complete = true;
            return std::unexpected(got.error());
        }
        if (*got <= pos - base) break;
        const char* const end = chunk + *got;
        const char* p = chunk + (pos - base);
        while (const void* nl = std::memchr(p, '\n', static_cast<usize>(end - p))) {
            p = static_cast<const char*>(nl) + 1;
            current += 1;
            const u64 start = base + static_cast<u64>(p - chunk);
            if (extend) {
                file.frontier = Mark{static_cast<u32>(current), static_cast<u32>(start)};
                const Mark& last = file.marks[file.mark_count - 1];
                if (file.mark_count < marks_per_file && start - last.offset >= limits_.mark_spacing)
                    file.marks[file.mark_count++] = file.frontier;
            }
            if (current == line) {
                file.recent[file.recent_next] = Mark{static_cast<u32>(current), static_cast<u32>(start)};
                file.recent_next = (file.recent_next + 1) % recent_per_file;
                if (file.recent_count < recent_per_file) file.recent_count += 1;
                return start;
            }
        }
        pos = base + *got;
    }
    if (extend) file.complete = true;
    return XOV_FAIL(Error::EndOfFile);
}

Result<SourceText> SourceFiles::readLine(const LineInfo& line_info, std::span<char, source_text_capacity> buf) {
    char path[4096];
    const std::string_view name = line_info.file_name;
    if (name.empty() || name.size() >= sizeof path || name.find('\0') != std::string_view::npos)
        return XOV_FAIL(Error::BadPathName);
    std::memcpy(path, name.data(), name.size());
    path[name.size()] = '\0';
    // Non-blocking: opening a pipe for reading would wait for a writer.
    const int fd = TRY(sys::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    FileCloser closer{fd};
    // Pipes, devices, sockets and directories named by damaged debug
    // information may block, never end or not read at all.
    if (!TRY(sys::isRegularFile(fd))) return XOV_FAIL(Error::BadPathName);
    File& file = fileFor(pathKey(name), TRY(sys::fileSize(fd)));
    const u64 start = TRY(lineStart(fd, file, line_info.line == 0 ? 1 : line_info.line));

    usize len = 0;
    while (len < buf.size()) {
        const usize got = TRY(sys::readAt(fd, buf.data() + len, buf.size() - len, start + len));
        if (got == 0) break;
        len += got;
    }
    const std::string_view bytes(buf.data(), len);
    const usize nl = bytes.find('\n');
    if (nl == std::string_view::npos) return SourceText{bytes, len == buf.size()};
    const usize end = nl > 0 && bytes[nl - 1] == '\r' ? nl - 1 : nl;
    return SourceText{bytes.substr(0, end), false};
}

namespace {

bool isShownEscaped(char c) { return static_cast<u8>(c) < 0x20 ? c != '\t' : c == '\x7f'; }

usize shownWidth(char c) { return isShownEscaped(c) ? 4 : 1; }

// How many of the bytes fit in the shown maximum; a cut inside a UTF-8
// sequence moves back to before its lead byte.
usize shownBytes(const SourceText& text) {
    const std::string_view bytes = text.bytes;
    usize fit = 0;
    usize width = 0;
    while (fit < bytes.size() && width + shownWidth(bytes[fit]) <= source_line_shown_max)
        width += shownWidth(bytes[fit++]);
    if (fit == bytes.size()) return fit;
    const auto continuation = [](char c) { return (static_cast<u8>(c) & 0xc0) == 0x80; };
    usize lead = fit;
    while (lead > 0 && fit - lead < 3 && continuation(bytes[lead])) --lead;
    if (lead < fit && (static_cast<u8>(bytes[lead]) & 0xc0) == 0xc0) return lead;
    return fit;
}

}  // namespace

Result<u64> writeSourceLine(Writer& writer, const SourceText& text, u64 column) {
    const usize shown = shownBytes(text);
    const bool cut = shown < text.bytes.size() || text.more;
    static constexpr char hex[] = "0123456789abcdef";
    char out[256];
    usize len = 0;
    u64 width = 0;
    u64 caret = 0;
    for (usize i = 0; i < shown; ++i) {
        if (len + 4 > sizeof out) {
            TRY(writer.writeAll(std::string_view(out, len)));
            len = 0;
        }
        const char c = text.bytes[i];
        if (isShownEscaped(c)) {
            const auto byte = static_cast<u8>(c);
            out[len++] = '\\';
            out[len++] = 'x';
            out[len++] = hex[byte >> 4];
            out[len++] = hex[byte & 0xf];
        } else {
            out[len++] = c == '\t' ? ' ' : c;
        }
        width += shownWidth(c);
        if (i + 1 < column) caret = width;
    }
    TRY(writer.writeAll(std::string_view(out, len)));
    if (cut) TRY(writer.writeAll(source_line_cut_marker));
    TRY(writer.writeAll("\n"));
    return caret;
}

Result<void> printLineFromFileAnyOs(Writer& writer, const LineInfo& line_info) {
    SourceFiles files;
    char buf[source_text_capacity];
    const SourceText text = TRY(files.readLine(line_info, buf));
    TRY(writeSourceLine(writer, text, 0));
    return {};
}

}  // namespace debug
