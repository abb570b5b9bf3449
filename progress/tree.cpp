// The lock-free node tree: static tables, slot allocation through a
// generation-guarded free list, and node start and end.
#include <algorithm>
#include <cstring>

#include "progress/internal.hpp"
#include "support/panic.hpp"

namespace Progress {

namespace {

// One object, so the tables keep this order: a run writes the small ones
// and the first few records, which then share a page with the rest of its
// globals.
struct Tables {
    Node::Parent parents[node_capacity];
    Node::OptionalIndex freelist[node_capacity];
    Node::Storage storage[node_capacity];
};
Tables tables;

std::atomic_ref<u8> parentRef(usize i) { return std::atomic_ref<u8>(reinterpret_cast<u8&>(parentByIndex(i))); }
std::atomic_ref<u8> freelistRef(usize i) { return std::atomic_ref<u8>(reinterpret_cast<u8&>(freelistByIndex(i))); }

// The name as ten aligned words, so a reader copying a slot that is being
// refilled sees whole words rather than racing on bytes.
std::atomic_ref<u32> nameWord(Node::Storage& s, usize w) {
    return std::atomic_ref<u32>(reinterpret_cast<u32*>(s.name)[w]);
}

}  // namespace

// Constant-initialized: usable from any static initializer.
constinit State global_progress{
    .node_parents = tables.parents,
    .node_storage = tables.storage,
    .node_freelist = tables.freelist,
};

Node::Storage& storageByIndex(usize i) {
    if (i >= global_progress.node_storage.size()) [[unlikely]]
        builtin::panicOutOfBounds(i, global_progress.node_storage.size());
    return global_progress.node_storage[i];
}

Node::Parent& parentByIndex(usize i) {
    if (i >= global_progress.node_parents.size()) [[unlikely]]
        builtin::panicOutOfBounds(i, global_progress.node_parents.size());
    return global_progress.node_parents[i];
}

Node::OptionalIndex& freelistByIndex(usize i) {
    if (i >= global_progress.node_freelist.size()) [[unlikely]]
        builtin::panicOutOfBounds(i, global_progress.node_freelist.size());
    return global_progress.node_freelist[i];
}

std::optional<int> Node::Storage::getIpcFd() const {
    if (estimated_total_count != relay_marker) return std::nullopt;
    return static_cast<int>(static_cast<i32>(completed_count));
}

namespace {

// Node.init with the first count given: 0 for ordinary nodes, the pipe for
// a relay node, so both are complete before the parent byte publishes them.
Node publish(Node::Index free_index, Node::Parent parent, std::string_view name, u32 completed, u32 total) {
    XOV_ASSERT(parent != Node::Parent::unused);
    const usize slot = static_cast<u8>(free_index);
    Node::Storage& storage = storageByIndex(slot);
    std::atomic_ref<u32>(storage.completed_count).store(completed, std::memory_order_relaxed);
    std::atomic_ref<u32>(storage.estimated_total_count).store(total, std::memory_order_relaxed);
    char padded[40] = {};
    std::memcpy(padded, name.data(), std::min<usize>(name.size(), sizeof padded));
    for (usize w = 0; w < 10; ++w) {
        u32 word;
        std::memcpy(&word, padded + 4 * w, 4);
        nameWord(storage, w).store(word, std::memory_order_relaxed);
    }
    auto parent_ref = parentRef(slot);
    XOV_ASSERT(parent_ref.load(std::memory_order_relaxed) == static_cast<u8>(Node::Parent::unused));
    // Release pairs with the reader's acquire load of the parent byte: a
    // reader that sees this node sees its whole record.
    parent_ref.store(static_cast<u8>(parent), std::memory_order_release);
    return Node{toOptional(free_index)};
}

// An estimate saturates one below the relay marker: a record carrying the
// marker would make the reader take completed_count (0, standard input) for
// a child's pipe and read it. Only startRelay makes relay nodes.
u32 cappedTotal(u64 estimated_total_items) {
    return static_cast<u32>(std::min<u64>(estimated_total_items, Node::Storage::relay_marker - 1));
}

}  // namespace

Node Node::init(Index free_index, Parent parent, std::string_view name, u64 estimated_total_items) {
    return publish(free_index, parent, name, 0, cappedTotal(estimated_total_items));
}

namespace {

std::optional<Node::Index> popFreeSlot() {
    auto& head_word = global_progress.node_freelist_first;
    // Acquire pairs with the release of a push, making the pushed slot's
    // next pointer visible before we read it.
    u64 head = head_word.load(std::memory_order_acquire);
    for (;;) {
        const auto top = unwrap(FreelistHead::index(head));
        if (!top) return std::nullopt;
        const auto next = static_cast<Node::OptionalIndex>(
            freelistRef(static_cast<u8>(*top)).load(std::memory_order_relaxed));
        if (head_word.compare_exchange_weak(head, FreelistHead::replace(head, next), std::memory_order_acquire,
                                            std::memory_order_acquire))
            return *top;
    }
}

void pushFreeSlot(Node::Index slot) {
    auto& head_word = global_progress.node_freelist_first;
    u64 head = head_word.load(std::memory_order_relaxed);
    for (;;) {
        freelistRef(static_cast<u8>(slot)).store(static_cast<u8>(FreelistHead::index(head)), std::memory_order_relaxed);
        if (head_word.compare_exchange_weak(head, FreelistHead::replace(head, toOptional(slot)),
                                            std::memory_order_release, std::memory_order_relaxed))
            return;
    }
}

}  // namespace

namespace {

std::optional<Node::Index> claimSlot() {
    if (const auto slot = popFreeSlot()) return slot;
    const u32 old = global_progress.node_end_index.fetch_add(1, std::memory_order_relaxed);
    if (old < node_capacity) return static_cast<Node::Index>(old);
    global_progress.node_end_index.fetch_sub(1, std::memory_order_relaxed);
    return std::nullopt;
}

}  // namespace

Node Node::start(std::string_view name, u64 estimated_total_items) const {
    const auto parent = unwrap(index);
    if (!parent) return Node{};
    const auto slot = claimSlot();
    if (!slot) return Node{};
    return publish(*slot, toParent(*parent), name, 0, cappedTotal(estimated_total_items));
}

Node Node::startRelay(std::string_view name, int fd) const {
    const auto parent = unwrap(index);
    if (!parent || fd < 0) return Node{};
    const auto slot = claimSlot();
    if (!slot) return Node{};
    return publish(*slot, toParent(*parent), name, static_cast<u32>(fd), Storage::relay_marker);
}

void Node::end() const {
    const auto slot = unwrap(index);
    if (!slot) return;
    const usize i = static_cast<u8>(*slot);
    auto parent_ref = parentRef(i);
    const auto parent = unwrap(static_cast<Parent>(parent_ref.load(std::memory_order_relaxed)));
    if (parent) {
        std::atomic_ref<u32>(storageByIndex(static_cast<u8>(*parent)).completed_count)
            .fetch_add(1, std::memory_order_relaxed);
        parent_ref.exchange(static_cast<u8>(Parent::unused), std::memory_order_seq_cst);
        pushFreeSlot(*slot);
        return;
    }
    global_progress.done.exchange(true, std::memory_order_seq_cst);
    global_progress.redraw_event.set();
    if (global_progress.update_thread) global_progress.update_thread->join();
}

Node initTree(std::string_view root_name, u64 estimated_total_items) {
    for (usize i = 0; i < node_capacity; ++i)
        parentRef(i).store(static_cast<u8>(Node::Parent::unused), std::memory_order_relaxed);
    const Node root = Node::init(static_cast<Node::Index>(0), Node::Parent::none, root_name, estimated_total_items);
    global_progress.done.store(false, std::memory_order_relaxed);
    global_progress.node_end_index.store(1, std::memory_order_release);
    return root;
}

}  // namespace Progress
