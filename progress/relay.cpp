// Snapshots of the live tree, the relay message a process sends to its
// parent, and the reader that mounts child processes' trees.
#include <algorithm>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>

#include "progress/internal.hpp"
#include "support/log.hpp"
#include "support/panic.hpp"
#include "support/sys.hpp"

namespace Progress {

u8 ipc_metadata_len = 0;
u64 remaining_write_trash_bytes = 0;

namespace {

std::atomic_ref<u8> liveParent(usize i) { return std::atomic_ref<u8>(reinterpret_cast<u8&>(parentByIndex(i))); }

// Copies a live record word by word: the name first, then the total, then
// the count, each an aligned 32-bit load.
void copyRecord(Node::Storage& dest, Node::Storage& src) {
    auto* src_words = reinterpret_cast<u32*>(src.name);
    for (usize w = 0; w < 10; ++w) {
        const u32 word = std::atomic_ref<u32>(src_words[w]).load(std::memory_order_relaxed);
        std::memcpy(dest.name + 4 * w, &word, 4);
    }
    dest.estimated_total_count = std::atomic_ref<u32>(src.estimated_total_count).load(std::memory_order_relaxed);
    dest.completed_count = std::atomic_ref<u32>(src.completed_count).load(std::memory_order_relaxed);
}

// The relay never waits on a pipe, whatever mode its creator left it in: a
// parent that reads only after we end, or a child that is slow to write,
// must not stop the run. A descriptor in blocking mode is polled with a
// zero timeout before every read or write; O_NONBLOCK is never set,
// because the file status flags belong to the file description, which the
// process that made the pipe may share: switching them would change how its
// own descriptor behaves, and keep doing so after we exit. A readable pipe
// has data or is at its end; a writable one has a free buffer page, which
// takes a whole message (at most PIPE_BUF bytes) at once; only another
// writer filling the same pipe between the poll and the write could still
// make that write wait. Error and hang-up states count as ready: the call
// after them fails at once. Non-blocking descriptors are written directly,
// so a socket can still take part of a message.
bool mayWait(int fd) {
    const Result<int> flags = sys::fcntl(fd, F_GETFL, 0);
    return flags && (*flags & O_NONBLOCK) == 0;
}
bool readyToWrite(int fd) { return !mayWait(fd) || sys::readyNow(fd, POLLOUT) != 0; }
bool readyToRead(int fd) { return !mayWait(fd) || sys::readyNow(fd, POLLIN) != 0; }

}  // namespace

static_assert(1 + 49 * node_capacity <= PIPE_BUF, "a relay message must go into a pipe in one piece");

Serialized serialize(Serialized::Buffer& buffer) {
    // The end index can sit one past the table while a start on a full
    // table undoes its claim; the tables themselves end at the capacity.
    const usize end = std::min<usize>(global_progress.node_end_index.load(std::memory_order_acquire), node_capacity);
    usize len = 0;
    bool any_relay = false;
    std::memset(buffer.map, Serialized::Buffer::no_position, sizeof buffer.map);
    for (usize i = 0; i < end; ++i) {
        auto parent_ref = liveParent(i);
        // Acquire pairs with the publishing store in Node.init.
        u8 parent = parent_ref.load(std::memory_order_acquire);
        bool live = false;
        for (;;) {
            if (parent == static_cast<u8>(Node::Parent::unused)) break;
            copyRecord(buffer.storage[len], storageByIndex(i));
            // Keeps the record loads above the second parent load: a slot
            // freed or refilled meanwhile shows up as a changed byte.
            std::atomic_thread_fence(std::memory_order_acquire);
            const u8 again = parent_ref.load(std::memory_order_relaxed);
            if (again == parent) {
                live = true;
                break;
            }
            parent = again;
        }
        if (!live) continue;
        if (!any_relay) any_relay = buffer.storage[len].getIpcFd().has_value();
        buffer.parents[len] = static_cast<Node::Parent>(parent);
        buffer.map[i] = static_cast<u8>(len);
        len += 1;
    }
    for (usize j = 0; j < len; ++j) {
        const Node::Parent p = buffer.parents[j];
        if (p == Node::Parent::none) continue;
        if (p == Node::Parent::unused) builtin::unreachable();
        // A parent that ended between the two scans has no position: the
        // node becomes a root of its own and is not drawn.
        const u8 position = buffer.map[static_cast<u8>(p)];
        buffer.parents[j] =
            position == Serialized::Buffer::no_position ? Node::Parent::none : static_cast<Node::Parent>(position);
    }
    if (any_relay) len = serializeIpc(len, buffer);
    return Serialized{std::span(buffer.parents, len), std::span(buffer.storage, len)};
}

Result<usize> writevNonblock(int fd, std::span<iovec> spans) {
    usize span_index = 0;
    usize written_in_span = 0;
    usize total = 0;
    for (;;) {
        while (span_index < spans.size() && written_in_span >= spans[span_index].iov_len) {
            written_in_span -= spans[span_index].iov_len;
            span_index += 1;
        }
        if (span_index == spans.size()) return total;
        iovec rest[8];
        const usize count = std::min<usize>(spans.size() - span_index, std::size(rest));
        for (usize k = 0; k < count; ++k) rest[k] = spans[span_index + k];
        rest[0].iov_base = static_cast<char*>(rest[0].iov_base) + written_in_span;
        rest[0].iov_len -= written_in_span;
        if (!readyToWrite(fd)) {
            if (total > 0) return total;
            return XOV_FAIL(Error::WouldBlock);
        }
        const Result<usize> n = sys::writev(fd, rest, static_cast<int>(count));
        if (!n) {
            // What already went out must be counted, or the filler owed to
            // the reader comes out wrong and its framing is lost for good.
            if (n.error() == Error::WouldBlock && total > 0) return total;
            return std::unexpected(n.error());
        }
        if (*n == 0) return total;
        total += *n;
        written_in_span += *n;
    }
}

namespace {

// WouldBlock is success (this period's message is dropped); anything other
// than BrokenPipe is logged and then treated as it.
Result<void> writeFailure(Error error) {
    if (error == Error::WouldBlock) return {};
    if (error != Error::BrokenPipe) logging::debug("failed to send progress to parent process: {s}", error);
    return XOV_FAIL(Error::BrokenPipe);
}

}  // namespace

Result<void> writeIpc(int fd, Serialized serialized) {
    XOV_ASSERT(serialized.parents.size() == serialized.storage.size());
    const usize n = serialized.parents.size();
    XOV_ASSERT(n <= 255);
    u8 header = static_cast<u8>(n);
    auto* parent_bytes = reinterpret_cast<u8*>(serialized.parents.data());

    while (remaining_write_trash_bytes > 0) {
        // Filler only completes the length of an earlier, cut message; its
        // values are never interpreted.
        const usize count = std::min<u64>(remaining_write_trash_bytes, n);
        if (!readyToWrite(fd)) return {};
        const Result<usize> written = sys::write(fd, parent_bytes, count);
        if (!written) return writeFailure(written.error());
        remaining_write_trash_bytes -= *written;
    }

    iovec spans[3] = {
        {&header, 1},
        {serialized.storage.data(), n * sizeof(Node::Storage)},
        {parent_bytes, n},
    };
    const Result<usize> written = writevNonblock(fd, spans);
    if (!written) return writeFailure(written.error());
    const usize message_len = 1 + 49 * n;
    if (*written < message_len) remaining_write_trash_bytes = message_len - *written;
    return {};
}

const SavedMetadata* findOld(Fd fd, std::span<const Fd> old_fds, std::span<const SavedMetadata> old_metadata) {
    for (usize k = 0; k < old_fds.size() && k < old_metadata.size(); ++k)
        if (old_fds[k].get() == fd.get()) return &old_metadata[k];
    return nullptr;
}

void copyRoot(Node::Storage& dest, const Node::Storage& src) {
    dest.completed_count = src.completed_count;
    dest.estimated_total_count = src.estimated_total_count;
    if (src.name[0] != 0) std::memcpy(dest.name, src.name, sizeof dest.name);
}

namespace {

void recordMetadata(Serialized::Buffer& buffer, Fd fd, SavedMetadata metadata) {
    XOV_ASSERT(ipc_metadata_len < node_capacity);
    buffer.ipc_metadata_fds[ipc_metadata_len] = fd;
    buffer.ipc_metadata[ipc_metadata_len] = metadata;
    ipc_metadata_len += 1;
}

}  // namespace

usize useSavedIpcData(usize start_len, Serialized::Buffer& buffer, Node::Storage& main_storage, usize main_index,
                      const SavedMetadata* saved, u16 remaining_read_trash_bytes, Fd fd) {
    if (saved == nullptr) {
        main_storage.completed_count = 0;
        main_storage.estimated_total_count = 0;
        if (remaining_read_trash_bytes > 0)
            recordMetadata(buffer, fd,
                           {remaining_read_trash_bytes, static_cast<u8>(main_index), static_cast<u8>(start_len), 0});
        return start_len;
    }
    const usize start = saved->start_index;
    const usize old_main = saved->main_index;
    const usize nodes = std::min<usize>(saved->nodes_len, node_capacity - start_len);
    recordMetadata(buffer, fd,
                   {remaining_read_trash_bytes, static_cast<u8>(main_index), static_cast<u8>(start_len),
                    static_cast<u8>(nodes)});
    copyRoot(main_storage, buffer.storage_copy[old_main]);
    for (usize k = 0; k < nodes; ++k) {
        buffer.storage[start_len + k] = buffer.storage_copy[start + k];
        const Node::Parent q = buffer.parents_copy[start + k];
        Node::Parent mapped = Node::Parent::none;
        if (q != Node::Parent::unused && q != Node::Parent::none) {
            const usize qi = static_cast<u8>(q);
            if (qi == old_main)
                mapped = static_cast<Node::Parent>(main_index);
            else if (qi >= start && qi < start + nodes)
                mapped = static_cast<Node::Parent>(start_len + (qi - start));
        }
        buffer.parents[start_len + k] = mapped;
    }
    return start_len + nodes;
}

namespace {

constexpr usize read_buffer_len = 8192;

}  // namespace

usize serializeIpc(usize start_len, Serialized::Buffer& buffer) {
    const std::span<const Fd> old_fds(buffer.ipc_metadata_fds_copy, ipc_metadata_len);
    const std::span<const SavedMetadata> old_metadata(buffer.ipc_metadata_copy, ipc_metadata_len);
    ipc_metadata_len = 0;
    usize len = start_len;
    alignas(4) u8 pipe_buf[read_buffer_len];

    for (usize m = 0; m < start_len; ++m) {
        if (buffer.parents[m] == Node::Parent::unused) continue;
        Node::Storage& main_storage = buffer.storage[m];
        const auto raw_fd = main_storage.getIpcFd();
        if (!raw_fd) continue;
        const Fd fd = Fd::init(*raw_fd);
        const SavedMetadata* saved = findOld(fd, old_fds, old_metadata);
        // Bytes of an earlier cut message still to be thrown away; carried
        // over whole when this frame reads nothing.
        u16 trash = saved != nullptr ? saved->remaining_read_trash_bytes : 0;

        usize bytes_read = 0;
        bool read_failed = false;
        while (bytes_read < read_buffer_len) {
            if (!readyToRead(fd.get())) break;
            const Result<usize> n = sys::read(fd.get(), pipe_buf + bytes_read, read_buffer_len - bytes_read);
            if (!n) {
                if (n.error() == Error::WouldBlock) break;
                logging::debug("failed to read child progress data: {s}", n.error());
                main_storage.completed_count = 0;
                main_storage.estimated_total_count = 0;
                read_failed = true;
                break;
            }
            if (*n == 0) break;
            if (trash > 0) {
                if (trash >= *n) {
                    trash = static_cast<u16>(trash - *n);
                    continue;
                }
                std::memmove(pipe_buf, pipe_buf + trash, *n - trash);
                bytes_read = *n - trash;
                trash = 0;
                continue;
            }
            bytes_read += *n;
        }
        if (read_failed) continue;
        if (bytes_read == 0) {
            len = useSavedIpcData(len, buffer, main_storage, m, saved, trash, fd);
            continue;
        }

        // The last complete message wins; a cut one voids the whole read.
        std::span<const u8> input(pipe_buf, bytes_read);
        bool cut = false;
        for (;;) {
            const usize expected = 1 + 49 * usize{input[0]};
            if (input.size() < expected) {
                len = useSavedIpcData(len, buffer, main_storage, m, saved,
                                      static_cast<u16>(expected - input.size()), fd);
                cut = true;
                break;
            }
            if (input.size() == expected) break;
            input = input.subspan(expected);
        }
        if (cut) continue;

        const usize message_nodes = input[0];
        if (message_nodes == 0) {
            // No root record to mount: keep showing what the child showed last.
            len = useSavedIpcData(len, buffer, main_storage, m, saved, 0, fd);
            continue;
        }
        const usize nodes = std::min<usize>(message_nodes - 1, node_capacity - len);
        recordMetadata(buffer, fd, {0, static_cast<u8>(m), static_cast<u8>(len), static_cast<u8>(nodes)});

        const u8* records = input.data() + 1;
        const u8* parents = records + 48 * message_nodes;
        Node::Storage child_root;
        std::memcpy(&child_root, records, sizeof child_root);
        copyRoot(main_storage, child_root);
        for (usize k = 0; k < nodes; ++k) {
            std::memcpy(&buffer.storage[len + k], records + 48 * (k + 1), sizeof(Node::Storage));
            const u8 q = parents[k + 1];
            Node::Parent mapped = Node::Parent::none;
            if (q == 0)
                mapped = static_cast<Node::Parent>(m);
            else if (q <= nodes)  // also 254/255, and anything cut off
                mapped = static_cast<Node::Parent>(len + q - 1);
            buffer.parents[len + k] = mapped;
        }
        len += nodes;
    }

    std::copy_n(buffer.parents, len, buffer.parents_copy);
    std::copy_n(buffer.storage, len, buffer.storage_copy);
    std::copy_n(buffer.ipc_metadata_fds, ipc_metadata_len, buffer.ipc_metadata_fds_copy);
    std::copy_n(buffer.ipc_metadata, ipc_metadata_len, buffer.ipc_metadata_copy);
    return len;
}

}  // namespace Progress
