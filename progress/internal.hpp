// The progress subsystem's insides, shared by its files and by our own
// tests: the process-wide record, snapshots, the frame composer and the
// relay reader and writer.
#pragma once
#include <atomic>
#include <optional>
#include <span>
#include <sys/uio.h>

#include "progress/progress.hpp"
#include "support/error.hpp"
#include "support/mutex.hpp"
#include "support/thread.hpp"

namespace Progress {

enum class TerminalMode : u8 { off = 0, ansi_escape_codes = 1, windows_api = 2 };

// The free-list head: the top slot in the low byte and, above it, a count of
// every change ever made to the head. A pop that read the head, then lost
// the processor while its slot was popped and pushed back, finds the count
// moved on and retries instead of installing a stale next pointer.
struct FreelistHead {
    static constexpr u64 index_mask = 0xFF;
    static constexpr u64 generation_step = 0x100;
    [[nodiscard]] static constexpr Node::OptionalIndex index(u64 word) {
        return static_cast<Node::OptionalIndex>(word & index_mask);
    }
    [[nodiscard]] static constexpr u64 replace(u64 word, Node::OptionalIndex next) {
        return ((word & ~index_mask) + generation_step) | static_cast<u8>(next);
    }
};

// The one process-wide record (global_progress).
struct State {
    std::optional<Thread> update_thread;
    u64 refresh_rate_ns = 0;
    u64 initial_delay_ns = 0;
    std::span<char> draw_buffer;
    std::span<Node::Parent> node_parents;
    std::span<Node::Storage> node_storage;
    std::span<Node::OptionalIndex> node_freelist;
    int terminal = -1;
    ResetEvent redraw_event;
    // High-water mark of handed-out slots; momentarily node_capacity + 1
    // while a start on a full table undoes its claim.
    std::atomic<u32> node_end_index{0};
    // Written and read by the update thread only.
    u16 rows = 0;
    u16 cols = 0;
    TerminalMode terminal_mode = TerminalMode::off;
    std::atomic<bool> done{false};
    // Set and cleared under stderr_mutex; a report starting on another
    // thread takes it without the lock (haltForReport).
    std::atomic<bool> need_clear{false};
    std::atomic<u64> node_freelist_first{static_cast<u8>(Node::OptionalIndex::none)};
};

extern constinit State global_progress;

// Entry i of each table; an index at or beyond the capacity panics.
Node::Storage& storageByIndex(usize i);
Node::Parent& parentByIndex(usize i);
Node::OptionalIndex& freelistByIndex(usize i);

// A lock-free snapshot: equal-length parents and records, entry 0 the root;
// parents are positions in these spans (or none).
struct Serialized {
    std::span<Node::Parent> parents;
    std::span<Node::Storage> storage;

    struct Buffer;
};

struct Fd {
    i32 value;
    static constexpr Fd init(int fd) { return Fd{fd}; }
    [[nodiscard]] constexpr int get() const { return value; }
};

// Where one child process's nodes sit in a snapshot, and how many bytes of
// its pipe are still owed to a message that was cut short.
struct SavedMetadata {
    u16 remaining_read_trash_bytes;
    u8 main_index;
    u8 start_index;
    u8 nodes_len;
};
static_assert(sizeof(SavedMetadata) == 6);

// Working memory of one background thread, reused frame to frame; the
// _copy arrays carry the previous frame's mounted children.
struct Serialized::Buffer {
    Node::Storage storage[node_capacity];
    Node::Storage storage_copy[node_capacity];
    Fd ipc_metadata_fds_copy[node_capacity];
    Fd ipc_metadata_fds[node_capacity];
    SavedMetadata ipc_metadata_copy[node_capacity];
    SavedMetadata ipc_metadata[node_capacity];
    Node::Parent parents[node_capacity];
    // Live-table slot -> snapshot position; no_position for slots not
    // captured in this snapshot.
    u8 map[node_capacity];
    Node::Parent parents_copy[node_capacity];

    static constexpr u8 no_position = 255;
};
// Lives on the background thread's stack for the thread's whole life.
static_assert(sizeof(Serialized::Buffer) < 10 * 1024);

// Relay bookkeeping of the background thread (process-wide by design: one
// relay or update thread per process).
extern u8 ipc_metadata_len;
extern u64 remaining_write_trash_bytes;

[[nodiscard]] Serialized serialize(Serialized::Buffer& buffer);
[[nodiscard]] Result<void> writeIpc(int fd, Serialized serialized);
// Bytes written across all spans. A descriptor that would block after part
// of the spans went out reports that part rather than the error, so the
// caller can keep the reader's framing.
[[nodiscard]] Result<usize> writevNonblock(int fd, std::span<iovec> spans);
[[nodiscard]] usize serializeIpc(usize start_len, Serialized::Buffer& buffer);
[[nodiscard]] usize useSavedIpcData(usize start_len, Serialized::Buffer& buffer, Node::Storage& main_storage,
                                    usize main_index, const SavedMetadata* saved, u16 remaining_read_trash_bytes,
                                    Fd fd);
[[nodiscard]] const SavedMetadata* findOld(Fd fd, std::span<const Fd> old_fds,
                                           std::span<const SavedMetadata> old_metadata);
void copyRoot(Node::Storage& dest, const Node::Storage& src);

// Frame composition.
// One tree symbol of a frame's line prefix, and its byte forms.
struct TreeSymbol {
    enum Value : u8 { tee = 0, line = 1, langle = 2 };
    enum class Encoding : u8 { ansi_escapes = 0, code_page_437 = 1, utf8 = 2, ascii = 3 };

    Value value;
    constexpr TreeSymbol(Value v) : value(v) {}

    [[nodiscard]] std::string_view bytes(Encoding encoding) const;
    // The drawn form: line-drawing set on, glyphs, ASCII back, padding.
    [[nodiscard]] std::string_view escapeSeq() const;
    // The longest form over all encodings: what a line reserves for it.
    [[nodiscard]] usize maxByteLen() const;
};

inline constexpr std::string_view start_sync = "\x1b[?2026h";
inline constexpr std::string_view clear = "\x1b[J";
inline constexpr std::string_view up_one_line = "\x1bM";
inline constexpr std::string_view finish_sync = "\x1b[?2026l";

struct Children {
    Node::OptionalIndex child;
    Node::OptionalIndex sibling;
};

[[nodiscard]] constexpr usize lineUpperBoundLen(usize nl_n) {
    // Tree symbol 9, longest counter 24, name 40, newline 1, the carriage
    // return and one cursor-up per line, finish_sync 8.
    return 9 + 24 + 40 + 1 + (2 * (nl_n + 1) + 1) + 8;
}

struct Frame {
    std::string_view bytes;
    usize lines;
};

// Composes one frame of `serialized` into `buffer` for a terminal of the
// given size. Pure: no global state is read, so frames are testable alone.
[[nodiscard]] Frame composeFrame(std::span<char> buffer, Serialized serialized, u16 rows, u16 cols);
// Snapshot of the live tree composed into global_progress.draw_buffer.
[[nodiscard]] Frame computeRedraw(Serialized::Buffer& serialized_buffer);

// Blocking write of the whole frame to the terminal.
[[nodiscard]] Result<void> write(std::string_view bytes);
// Erases a drawn frame; stderr_mutex held.
[[nodiscard]] Result<void> clearWrittenWithEscapeCodes();

// Lifecycle.
[[nodiscard]] bool wait(u64 timeout_ns);
void maybeUpdateSize(bool resize);
void handleSigWinch(int sig, siginfo_t* info, void* context);
void* updateThreadRun(void*);
void* ipcThreadRun(void* fd);

// Parses "XOV_PROGRESS": unsigned decimal of at most 31 bits.
[[nodiscard]] Result<u32> parseIpcFd(std::string_view text);

// Puts the record, the tables and the relay counters back to their
// load-time state so one test process can start the tree many times. No
// background thread may be running.
void resetForTesting();
// Steps of start() that build the tree (no environment, no threads):
// the root in slot 0 and the end index at 1.
Node initTree(std::string_view root_name, u64 estimated_total_items);

}  // namespace Progress
