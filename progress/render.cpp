// Terminal frames: one snapshot drawn as a tree of lines below the cursor,
// with the cursor returned to where the frame began.
#include <algorithm>
#include <cstring>
#include <tuple>

#include "progress/internal.hpp"
#include "support/panic.hpp"
#include "support/sys.hpp"

namespace Progress {

std::string_view TreeSymbol::bytes(Encoding encoding) const {
    switch (encoding) {
        case Encoding::ansi_escapes: return escapeSeq();
        case Encoding::code_page_437:
            switch (value) {
                case tee: return "\xC3\xC4 ";
                case line: return "\xB3  ";
                case langle: return "\xC0\xC4 ";
            }
            break;
        case Encoding::utf8:
            switch (value) {
                case tee: return "\u251C\u2500 ";
                case line: return "\u2502  ";
                case langle: return "\u2514\u2500 ";
            }
            break;
        case Encoding::ascii:
            switch (value) {
                case tee: return "|- ";
                case line: return "|  ";
                case langle: return "+- ";
            }
            break;
    }
    builtin::unreachable();
}

std::string_view TreeSymbol::escapeSeq() const {
    switch (value) {
        case tee: return "\x1b(0tq\x1b(B ";
        case line: return "\x1b(0x\x1b(B  ";
        case langle: return "\x1b(0mq\x1b(B ";
    }
    builtin::unreachable();
}

usize TreeSymbol::maxByteLen() const {
    usize longest = 0;
    for (const auto encoding :
         {Encoding::ansi_escapes, Encoding::code_page_437, Encoding::utf8, Encoding::ascii})
        longest = std::max(longest, bytes(encoding).size());
    return longest;
}

namespace {

constexpr usize symbol_len = 9;

// Decimal digits of v at p; returns the end. At most 10 digits for a u32.
char* appendDecimal(char* p, u32 v) {
    char digits[10];
    usize n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0) *p++ = digits[--n];
    return p;
}
static_assert(lineUpperBoundLen(0) == 85);

struct Composer {
    std::span<char> buffer;
    Serialized serialized;
    std::span<const Children> children;
    u16 rows;
    u16 cols;
    bool root_hidden;

    usize append(usize i, std::string_view bytes) const {
        std::memcpy(buffer.data() + i, bytes.data(), bytes.size());
        return i + bytes.size();
    }

    // Frames only ever reach an escape-code terminal, so the drawn form is
    // the only encoding written.
    usize appendTreeSymbol(TreeSymbol symbol, usize i) const { return append(i, symbol.escapeSeq()); }

    [[nodiscard]] bool withinRowLimit(usize nl_n) const { return nl_n + 2 < rows; }

    [[nodiscard]] Node::OptionalIndex child(usize node) const { return children[node].child; }
    [[nodiscard]] Node::OptionalIndex sibling(usize node) const { return children[node].sibling; }

    usize computePrefix(usize i, usize nl_n, usize node) const {
        const Node::Parent p = serialized.parents[node];
        if (p == Node::Parent::none) return i;
        const usize parent = static_cast<u8>(p);
        if (serialized.parents[parent] == Node::Parent::none) return i;
        if (serialized.parents[parent] == static_cast<Node::Parent>(0) && root_hidden) return i;
        i = computePrefix(i, nl_n, parent);
        if (sibling(parent) == Node::OptionalIndex::none) {
            if (i + 3 + lineUpperBoundLen(nl_n) > buffer.size()) return buffer.size();
            return append(i, "   ");
        }
        if (i + symbol_len + lineUpperBoundLen(nl_n) > buffer.size()) return buffer.size();
        return appendTreeSymbol(TreeSymbol::line, i);
    }

    // A width cut that lands inside a tree symbol moves back to the symbol's
    // start: half an escape sequence would leave the terminal in its
    // line-drawing character set (or eat the newline as part of a sequence).
    usize cutOutsideSymbols(usize line_start, usize symbols_end, usize cut) const {
        usize pos = line_start;
        while (pos < symbols_end && pos < cut) {
            const usize width = buffer[pos] == '\x1b' ? symbol_len : 3;
            if (cut < pos + width && buffer[pos] == '\x1b') return pos;
            pos += width;
        }
        return cut;
    }

    std::pair<usize, usize> computeNode(usize start_i, usize start_nl_n, usize node) const {
        usize i = computePrefix(start_i, start_nl_n, node);
        if (i + lineUpperBoundLen(start_nl_n) > buffer.size()) return {start_i, start_nl_n};

        const Node::Storage& storage = serialized.storage[node];
        const u32 estimated_total = storage.estimated_total_count;
        const u32 completed = storage.completed_count;
        const std::string_view name(storage.name, strnlen(storage.name, sizeof storage.name));
        const bool is_hidden_root = node == 0 && root_hidden;

        const Node::Parent parent = serialized.parents[node];
        if (parent != Node::Parent::none && !(parent == static_cast<Node::Parent>(0) && root_hidden))
            i = appendTreeSymbol(sibling(node) == Node::OptionalIndex::none ? TreeSymbol::langle : TreeSymbol::tee, i);
        const usize symbols_end = i;

        usize nl_n = start_nl_n;
        if (!is_hidden_root) {
            if (!name.empty() || estimated_total > 0) {
                char counter[24];
                char* p = counter;
                if (estimated_total > 0) {
                    *p++ = '[';
                    p = appendDecimal(p, completed);
                    *p++ = '/';
                    p = appendDecimal(p, estimated_total);
                    *p++ = ']';
                    *p++ = ' ';
                } else if (completed > 0) {
                    *p++ = '[';
                    p = appendDecimal(p, completed);
                    *p++ = ']';
                    *p++ = ' ';
                }
                i = append(i, {counter, static_cast<usize>(p - counter)});
                i = append(i, name);
            }
            i = cutOutsideSymbols(start_i, symbols_end, std::min<usize>(i, start_i + cols));
            i = append(i, "\n");
            nl_n = start_nl_n + 1;
        }

        if (withinRowLimit(nl_n)) {
            if (const auto c = unwrap(child(node))) std::tie(i, nl_n) = computeNode(i, nl_n, static_cast<u8>(*c));
        }
        if (withinRowLimit(nl_n)) {
            if (const auto s = unwrap(sibling(node))) std::tie(i, nl_n) = computeNode(i, nl_n, static_cast<u8>(*s));
        }
        return {i, nl_n};
    }
};

}  // namespace

Frame composeFrame(std::span<char> buffer, Serialized serialized, u16 rows, u16 cols) {
    XOV_ASSERT(buffer.size() >= 200);
    const usize n = std::min(serialized.parents.size(), node_capacity);
    Children children[node_capacity];
    for (usize k = 0; k < n; ++k) children[k] = {Node::OptionalIndex::none, Node::OptionalIndex::none};
    for (usize c = 0; c < n; ++c) {
        const auto p = unwrap(serialized.parents[c]);
        if (!p) continue;
        const usize parent = static_cast<u8>(*p);
        // serialize never yields such a parent; a hand-built snapshot might.
        if (parent >= n) continue;
        if (children[parent].child == Node::OptionalIndex::none) {
            children[parent].child = static_cast<Node::OptionalIndex>(c);
        } else {
            const usize first = static_cast<u8>(children[parent].child);
            children[c].sibling = children[first].sibling;
            children[first].sibling = static_cast<Node::OptionalIndex>(c);
        }
    }

    const Composer composer{
        .buffer = buffer,
        .serialized = {serialized.parents.first(n), serialized.storage.first(n)},
        .children = std::span<const Children>(children, n),
        .rows = rows,
        .cols = cols,
        .root_hidden = n > 0 && serialized.storage[0].name[0] == 0,
    };
    usize i = composer.append(0, start_sync);
    i = composer.append(i, clear);
    usize nl_n = 0;
    if (n > 0) std::tie(i, nl_n) = composer.computeNode(i, 0, 0);
    if (nl_n > 0) {
        i = composer.append(i, "\r");
        for (usize k = 0; k < nl_n; ++k) i = composer.append(i, up_one_line);
    }
    i = composer.append(i, finish_sync);
    return Frame{{buffer.data(), i}, nl_n};
}

Frame computeRedraw(Serialized::Buffer& serialized_buffer) {
    const Serialized serialized = serialize(serialized_buffer);
    // Only escape-code terminals are drawn on this platform.
    if (global_progress.terminal_mode == TerminalMode::windows_api) builtin::unreachable();
    return composeFrame(global_progress.draw_buffer, serialized, global_progress.rows, global_progress.cols);
}

Result<void> write(std::string_view bytes) {
    while (!bytes.empty()) {
        const usize n = TRY(sys::write(global_progress.terminal, bytes.data(), bytes.size()));
        bytes.remove_prefix(n);
    }
    return {};
}

Result<void> clearWrittenWithEscapeCodes() {
    if (!global_progress.need_clear) return {};
    global_progress.need_clear = false;
    return write(clear);
}

}  // namespace Progress
