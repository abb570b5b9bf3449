// Many threads starting and ending nodes as fast as they can while another
// thread takes snapshots: no slot is ever handed to two owners, every
// snapshot is a well-formed tree, and no completion is lost.
#include <pthread.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/progress/helpers.hpp"

namespace {

using namespace progress_test;
using Progress::Node;

constexpr int no_owner = -1;

struct Ownership {
    std::atomic<int> owner[Progress::node_capacity];
    std::atomic<u64> double_hand_outs{0};

    Ownership() {
        for (auto& o : owner) o.store(no_owner);
    }
    void claim(Node node, int who) {
        int expected = no_owner;
        if (!owner[slotOf(node)].compare_exchange_strong(expected, who)) double_hand_outs.fetch_add(1);
    }
    void release(Node node) { owner[slotOf(node)].store(no_owner); }
};

using Stress = Tree;

bool wordsFromNames(const Node::Storage& record) {
    char worker[40] = "worker";
    char inner[40] = "inner";
    for (usize w = 0; w < 40; w += 4)
        if (std::memcmp(record.name + w, worker + w, 4) != 0 && std::memcmp(record.name + w, inner + w, 4) != 0)
            return false;
    return true;
}

TEST_F(Stress, ConcurrentStartsEndsAndSnapshotsKeepTheTreeWhole) {
    const Node root = Progress::initTree("root", 0);
    Ownership ownership;
    std::atomic<bool> stop{false};
    std::atomic<u64> workers_ended{0};
    std::atomic<u64> snapshots{0};
    std::vector<std::string> violations;

    std::thread snapshotter([&] {
        Progress::Serialized::Buffer buffer;
        char frame_buffer[4096];
        u32 last_root_count = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            const Progress::Serialized s = Progress::serialize(buffer);
            snapshots.fetch_add(1, std::memory_order_relaxed);
            const usize n = s.parents.size();
            auto fail = [&](const std::string& what) {
                if (violations.size() < 10) violations.push_back(what);
            };
            if (n < 1 || n > 83) fail("length " + std::to_string(n));
            if (s.parents[0] != Node::Parent::none || nameOf(s.storage[0]) != "root") fail("root not first");
            if (s.storage[0].completed_count < last_root_count) fail("root count went back");
            last_root_count = s.storage[0].completed_count;
            for (usize j = 1; j < n; ++j) {
                const Node::Parent p = s.parents[j];
                if (p != Node::Parent::none && static_cast<u8>(p) >= n) fail("parent out of range");
                if (p == Node::Parent::unused) fail("unused parent in snapshot");
                if (static_cast<u8>(p) == j) fail("node is its own parent");
                // A slot freed and refilled between the reader's two loads of
                // its parent byte can show words of both nodes for one frame,
                // but every word is one some writer stored whole.
                if (!wordsFromNames(s.storage[j])) fail("name word no writer stored: " + nameOf(s.storage[j]));
                const u32 total = s.storage[j].estimated_total_count;
                if (total != 0 && total != 7) fail("total no writer stored");
                if (s.storage[j].completed_count > 1) fail("impossible count");
            }
            const Progress::Frame frame = Progress::composeFrame(frame_buffer, s, 100, 200);
            if (!frame.bytes.starts_with("\x1b[?2026h\x1b[J") || !frame.bytes.ends_with("\x1b[?2026l"))
                fail("frame not closed");
        }
    });

    // Each iteration pops two slots and pushes the first back while the
    // second is still held: exactly the interleaving in which a pop that
    // read the head before it would install a slot that is in use.
    constexpr int pair_threads = 4;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    std::vector<std::thread> workers;
    for (int t = 0; t < pair_threads; ++t)
        workers.emplace_back([&, t] {
            for (u64 k = 0;; ++k) {
                if (k % 1024 == 0 && std::chrono::steady_clock::now() > deadline) break;
                const Node first = root.start("worker", 7);
                if (first.index == Node::OptionalIndex::none) continue;
                ownership.claim(first, t);
                const Node inner = first.start("inner", 0);
                if (inner.index != Node::OptionalIndex::none) ownership.claim(inner, t);
                const Node second = root.start("worker", 7);
                if (second.index != Node::OptionalIndex::none) ownership.claim(second, t);
                if (inner.index != Node::OptionalIndex::none) {
                    ownership.release(inner);
                    inner.end();
                }
                ownership.release(first);
                first.end();
                workers_ended.fetch_add(1, std::memory_order_relaxed);
                if (second.index != Node::OptionalIndex::none) {
                    ownership.release(second);
                    second.end();
                    workers_ended.fetch_add(1, std::memory_order_relaxed);
                }
            }
        });
    // One thread fills the table in bursts, so the others meet a full table
    // and the end index's claim-and-undo.
    workers.emplace_back([&] {
        Node held[83];
        while (std::chrono::steady_clock::now() < deadline) {
            usize count = 0;
            while (count < std::size(held)) {
                const Node n = root.start("worker", 7);
                if (n.index == Node::OptionalIndex::none) break;
                ownership.claim(n, pair_threads);
                held[count++] = n;
            }
            for (usize k = count; k-- > 0;) {
                ownership.release(held[k]);
                held[k].end();
                workers_ended.fetch_add(1, std::memory_order_relaxed);
            }
        }
    });
    for (auto& w : workers) w.join();
    stop.store(true);
    snapshotter.join();

    EXPECT_EQ(ownership.double_hand_outs.load(), 0u);
    EXPECT_TRUE(violations.empty()) << violations.front();
    EXPECT_GT(snapshots.load(), 0u);
    EXPECT_EQ(Progress::storageByIndex(0).completed_count, workers_ended.load());

    // Every handed-out slot is free again and on the free list exactly once.
    const u32 end = Progress::global_progress.node_end_index.load();
    EXPECT_LE(end, 83u);
    for (usize i = 1; i < end; ++i) EXPECT_EQ(Progress::parentByIndex(i), Node::Parent::unused) << i;
    std::set<u8> listed;
    auto top = Progress::FreelistHead::index(Progress::global_progress.node_freelist_first.load());
    for (usize steps = 0; steps <= 83 && top != Node::OptionalIndex::none; ++steps) {
        EXPECT_TRUE(listed.insert(static_cast<u8>(top)).second) << "free list revisits slot " << int(static_cast<u8>(top));
        top = Progress::freelistByIndex(static_cast<u8>(top));
    }
    EXPECT_EQ(listed.size(), end - 1);
}

// A signal handler stands in for another thread that runs between a pop's
// read of the free-list head and its compare-and-swap: it pops that head
// and the slot below it, pushes the head back and keeps the second slot.
// Signals land at arbitrary instructions, so thousands of them put the
// handler inside that window many times over.
namespace interleaving {

Node root;
Node held[40];
std::atomic<usize> held_len{0};
std::atomic<u64> ended{0};

void popPopPushOne(int) {
    const usize n = held_len.load(std::memory_order_relaxed);
    if (n == std::size(held)) return;
    const Node first = root.start("first", 0);
    const Node second = root.start("second", 0);
    if (first.index != Node::OptionalIndex::none) {
        first.end();
        ended.fetch_add(1, std::memory_order_relaxed);
    }
    if (second.index != Node::OptionalIndex::none) {
        held[n] = second;
        held_len.store(n + 1, std::memory_order_relaxed);
    }
}

}  // namespace interleaving

TEST_F(Stress, APopInterruptedByPopsAndAPushOfItsHeadRetries) {
    interleaving::root = Progress::initTree("root", 0);
    interleaving::held_len.store(0);
    interleaving::ended.store(0);
    struct sigaction act {};
    act.sa_handler = interleaving::popPopPushOne;
    sigemptyset(&act.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &act, nullptr), 0);

    std::atomic<bool> stop{false};
    std::atomic<pthread_t> target{};
    std::atomic<bool> target_ready{false};
    u64 loop_ends = 0;
    std::thread popper([&] {
        target.store(pthread_self());
        target_ready.store(true);
        sigset_t usr1;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
        for (u64 k = 0;; ++k) {
            const Node node = interleaving::root.start("loop", 0);
            if (node.index != Node::OptionalIndex::none) {
                node.end();
                ++loop_ends;
            }
            if (k % 256 == 0) {
                // The handler's held slots go back with the signal blocked.
                pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
                const usize n = interleaving::held_len.load(std::memory_order_relaxed);
                for (usize h = 0; h < n; ++h) interleaving::held[h].end();
                interleaving::ended.fetch_add(n, std::memory_order_relaxed);
                interleaving::held_len.store(0, std::memory_order_relaxed);
                const bool over = std::chrono::steady_clock::now() > deadline;
                if (over) break;
                pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);
            }
        }
        stop.store(true);
    });
    while (!target_ready.load()) std::this_thread::yield();
    u64 signals = 0;
    while (!stop.load()) {
        pthread_kill(target.load(), SIGUSR1);
        ++signals;
    }
    popper.join();
    signal(SIGUSR1, SIG_DFL);

    EXPECT_GT(signals, 1000u);
    EXPECT_EQ(Progress::storageByIndex(0).completed_count, loop_ends + interleaving::ended.load());
    const u32 end = Progress::global_progress.node_end_index.load();
    for (usize i = 1; i < end; ++i) EXPECT_EQ(Progress::parentByIndex(i), Node::Parent::unused) << i;
    std::set<u8> listed;
    auto top = Progress::FreelistHead::index(Progress::global_progress.node_freelist_first.load());
    for (usize steps = 0; steps <= 83 && top != Node::OptionalIndex::none; ++steps) {
        EXPECT_TRUE(listed.insert(static_cast<u8>(top)).second);
        top = Progress::freelistByIndex(static_cast<u8>(top));
    }
    EXPECT_EQ(listed.size(), end - 1);
}

TEST_F(Stress, ConcurrentEndsOfSiblingsLoseNoCount) {
    const Node root = Progress::initTree("root", 0);
    const Node parent = root.start("parent", 0);
    constexpr int threads = 4;
    constexpr int per_thread = 20000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            for (int k = 0; k < per_thread; ++k) parent.start("child", 0).end();
        });
    for (auto& w : workers) w.join();
    EXPECT_EQ(Progress::storageByIndex(slotOf(parent)).completed_count, u32{threads * per_thread});
}

}  // namespace
