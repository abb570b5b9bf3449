// The progress tree's public face: nodes that any thread starts and ends,
// the display's lifecycle, and the standard-error lock that keeps every
// other line of output from tearing a drawn frame.
#pragma once
#include <optional>
#include <span>
#include <string_view>

#include "support/mutex.hpp"
#include "support/print.hpp"
#include "support/types.hpp"

namespace Progress {

// Slots in the static node tables; every bound check uses this.
inline constexpr usize node_capacity = 83;

// A handle on one slot of the node table. A handle without an index is a
// no-op node: that is how every progress failure reaches callers.
struct Node {
    // A slot number, never 254 or 255.
    enum class Index : u8 {};
    // 255 = none, any other value an Index.
    enum class OptionalIndex : u8 { none = 255 };
    // 254 = unused (the slot is free), 255 = none (the root), otherwise the
    // parent's Index.
    enum class Parent : u8 { unused = 254, none = 255 };

    // One slot's record, 48 bytes; also the relay message's record layout.
    // Writers fill it with plain 32-bit atomic stores before publishing the
    // parent byte, the reader copies it between two loads of that byte.
    struct alignas(4) Storage {
        u32 completed_count;
        // 0 = no estimate; relay_marker = a relay node.
        u32 estimated_total_count;
        // Zero-filled after the name; no terminator at exactly 40 bytes.
        char name[40];

        static constexpr u32 relay_marker = 0xFFFF'FFFF;
        // The child process's pipe when this record is a relay node.
        [[nodiscard]] std::optional<int> getIpcFd() const;
    };
    static_assert(sizeof(Storage) == 48);

    OptionalIndex index = OptionalIndex::none;

    // Starts a child of this node; a no-op node when the table is full or
    // this node is a no-op. The caller ends the result exactly once.
    [[nodiscard]] Node start(std::string_view name, u64 estimated_total_items) const;
    // A child standing for another process that relays its own tree through
    // the pipe read end `fd` (in either mode: it is never waited on); its
    // tree is drawn in place of this node.
    [[nodiscard]] Node startRelay(std::string_view name, int fd) const;
    // Ends this node and advances its parent's completed count; ending the
    // root stops the display (and joins its thread).
    void end() const;

    // Fills slot free_index and publishes it (the parent byte goes last).
    // Estimates saturate at relay_marker - 1, as in start: the root never
    // becomes a relay node on descriptor 0, however large its estimate.
    static Node init(Index free_index, Parent parent, std::string_view name, u64 estimated_total_items);
};

[[nodiscard]] constexpr Node::Parent toParent(Node::Index i) { return static_cast<Node::Parent>(i); }
[[nodiscard]] constexpr Node::OptionalIndex toOptional(Node::Index i) { return static_cast<Node::OptionalIndex>(i); }
[[nodiscard]] constexpr std::optional<Node::Index> unwrap(Node::OptionalIndex i) {
    if (i == Node::OptionalIndex::none) return std::nullopt;
    return static_cast<Node::Index>(i);
}
[[nodiscard]] constexpr std::optional<Node::Index> unwrap(Node::Parent p) {
    if (static_cast<u8>(p) > 253) return std::nullopt;
    return static_cast<Node::Index>(p);
}

struct Options {
    // At least 200 bytes.
    std::span<char> draw_buffer;
    u64 refresh_rate_ns = 80'000'000;
    u64 initial_delay_ns = 200'000'000;
    u64 estimated_total_items = 0;
    std::string_view root_name;
    bool disable_printing = false;
};

// The static 4096-byte frame buffer the runner hands to start().
extern char default_draw_buffer[4096];

// Starts the display (drawing, relaying to a parent, or nothing) and
// returns the root node, or a no-op node when nothing is shown. Once per
// process; a second call panics after printing where the first happened.
Node start(const Options& options);

// The process-wide standard-error lock (support/print.hpp). lockStdErr
// also erases a drawn progress frame, so whatever the holder prints lands
// on a clean screen; once the display started, debug::lockStdErr does too.
using debug::stderr_mutex;
void lockStdErr();
void unlockStdErr();

// A panic or fault report is starting: erases the frame on the screen and
// lets the update thread draw no further frame. Takes no lock and never
// waits on the update thread beyond a frame write already under way (and
// that for at most a few milliseconds), so a report gets out even when
// that thread is stuck. Safe in a signal handler; later calls do nothing.
void haltForReport();

}  // namespace Progress
