// The progress tree's public face: nodes that any thread starts and ends,
// the display's lifecycle, and the standard-error lock that keeps every
// other line of output from tearing a drawn frame.
#pragma once
#include <span>
#include <string_view>

#include "support/mutex.hpp"
#include "support/types.hpp"

namespace Progress {

// A handle on one slot of the node table. A handle without an index is a
// no-op node: that is how every progress failure reaches callers.
struct Node {
    static constexpr u8 none = 255;
    u8 index = none;

    // Starts a child of this node; a no-op node when the table is full or
    // this node is a no-op.
    [[nodiscard]] Node start(std::string_view name, u64 estimated_total_items) const;
    // Ends this node and advances its parent's completed count; ending the
    // root stops the display.
    void end() const;
};

struct Options {
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
// returns the root node.
Node start(const Options& options);

// The process-wide standard-error lock. lockStdErr also erases a drawn
// progress frame, so whatever the holder prints lands on a clean screen.
extern Mutex stderr_mutex;
void lockStdErr();
void unlockStdErr();

}  // namespace Progress
