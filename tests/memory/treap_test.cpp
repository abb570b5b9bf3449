// The search tree of the leak-checking allocator and its address-keyed
// table, checked against standard containers under random operations.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "memory/address_map.hpp"
#include "memory/general_purpose_allocator.hpp"
#include "memory/treap.hpp"

namespace {

usize identity(usize key) { return key; }
using Tree = heap::Treap<usize, identity>;

struct Shape {
    usize count = 0;
    usize height = 0;
};

// Checks order, heap order of priorities and parent links; returns the
// node count and height.
Shape checkSubtree(const Tree::Node* node, const Tree::Node* parent, usize lo, usize hi, bool* ok) {
    if (node == nullptr) return {};
    if (node->parent != parent || node->key <= lo || node->key >= hi) *ok = false;
    if (parent != nullptr && node->priority < parent->priority) *ok = false;
    const Shape left = checkSubtree(node->children[0], node, lo, node->key, ok);
    const Shape right = checkSubtree(node->children[1], node, node->key, hi, ok);
    return {left.count + right.count + 1, std::max(left.height, right.height) + 1};
}

std::vector<usize> inOrder(const Tree& tree) {
    std::vector<usize> keys;
    for (Tree::Node* n = tree.first(); n != nullptr; n = Tree::next(n)) keys.push_back(n->key);
    return keys;
}

TEST(Treap, StaysOrderedAndBalancedUnderRandomInsertsAndRemoves) {
    constexpr usize n = 4000;
    std::vector<Tree::Node> nodes(n);
    std::vector<bool> in_tree(n, false);
    std::set<usize> model;
    Tree tree;
    u64 state = 12345;
    auto next = [&] { return state ^= state << 13, state ^= state >> 7, state ^= state << 17, state; };
    for (usize i = 0; i < n; ++i) nodes[i].key = (i * 7919 % n + 1) * 4096;  // distinct page addresses

    for (int round = 0; round < 20000; ++round) {
        const usize i = next() % n;
        if (!in_tree[i]) {
            tree.insert(&nodes[i]);
            model.insert(nodes[i].key);
        } else if (next() % 3 == 0) {
            tree.remove(&nodes[i]);
            model.erase(nodes[i].key);
        } else {
            continue;
        }
        in_tree[i] = !in_tree[i];
        if (round % 997 == 0) {
            bool ok = true;
            const Shape shape = checkSubtree(tree.root, nullptr, 0, ~usize{0}, &ok);
            ASSERT_TRUE(ok) << "round " << round;
            ASSERT_EQ(shape.count, model.size());
            // Expected height is about 3 ln n (about 25 here); a degenerate
            // tree would be in the thousands.
            ASSERT_LE(shape.height, 60u) << "round " << round;
        }
    }
    EXPECT_EQ(inOrder(tree), std::vector<usize>(model.begin(), model.end()));
    for (usize i = 0; i < n; ++i) {
        Tree::Node* found = tree.get(nodes[i].key);
        EXPECT_EQ(found, in_tree[i] ? &nodes[i] : nullptr);
    }
    for (usize i = 0; i < n; ++i)
        if (in_tree[i]) tree.remove(&nodes[i]);
    EXPECT_EQ(tree.root, nullptr);
}

TEST(Treap, SortedInsertionsDoNotDegenerate) {
    constexpr usize n = 5000;
    std::vector<Tree::Node> nodes(n);
    Tree tree;
    for (usize i = 0; i < n; ++i) {
        nodes[i].key = (i + 1) * 4096;
        tree.insert(&nodes[i]);
    }
    bool ok = true;
    const Shape shape = checkSubtree(tree.root, nullptr, 0, ~usize{0}, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(shape.count, n);
    EXPECT_LE(shape.height, 60u);
    EXPECT_EQ(inOrder(tree).size(), n);
}

TEST(Treap, PrioritiesComeFromXorshiftSeededByTheFirstNode) {
    Tree::Node nodes[2];
    nodes[0].key = 8192;
    nodes[1].key = 4096;
    Tree tree;
    tree.insert(&nodes[0]);
    u64 x = reinterpret_cast<u64>(&nodes[0]);
    x ^= x >> 13, x ^= x << 7, x ^= x >> 17;
    EXPECT_EQ(nodes[0].priority, x);
    EXPECT_EQ(tree.prng.xorshift, x);
    tree.insert(&nodes[1]);
    x ^= x >> 13, x ^= x << 7, x ^= x >> 17;
    EXPECT_EQ(nodes[1].priority, x);
    // The smaller priority is the root.
    EXPECT_EQ(tree.root, nodes[0].priority < nodes[1].priority ? &nodes[0] : &nodes[1]);
    tree.remove(&nodes[0]);
    EXPECT_EQ(tree.root, &nodes[1]);
    EXPECT_EQ(nodes[1].parent, nullptr);
    EXPECT_EQ(nodes[1].children[0], nullptr);
    EXPECT_EQ(nodes[1].children[1], nullptr);
}

TEST(Treap, NodesAre40Bytes) {
    EXPECT_EQ(sizeof(heap::GeneralPurposeAllocator::BucketTree::Node), 40u);
}

// ---- the large-allocation table ----

struct Payload {
    usize a;
    usize b;
};

TEST(AddressMap, MatchesAStandardMapUnderRandomPutsAndRemoves) {
    heap::AddressMap<Payload> map;
    std::map<usize, usize> model;
    u64 state = 777;
    auto next = [&] { return state ^= state << 13, state ^= state >> 7, state ^= state << 17, state; };
    for (int round = 0; round < 20000; ++round) {
        // Page-aligned keys in a small range, so removals hit and probe runs
        // wrap around the table.
        const usize key = (next() % 600 + 1) * 4096;
        if (model.count(key) == 0 && next() % 2 == 0) {
            ASSERT_TRUE(map.ensureUnusedCapacity(heap::page_allocator, 1));
            map.putAssumeCapacityNoClobber(key, Payload{key, key + 1});
            model[key] = key + 1;
        } else {
            EXPECT_EQ(map.remove(key), model.erase(key) == 1);
        }
        ASSERT_EQ(map.count(), model.size());
        ASSERT_LE(map.count() * 100, map.capacity() * 80);
    }
    for (const auto& [key, value] : model) {
        Payload* p = map.get(key);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->b, value);
    }
    usize visited = 0;
    map.forEach([&](usize key, Payload& p) {
        ++visited;
        EXPECT_EQ(p.a, key);
        EXPECT_EQ(model.count(key), 1u);
    });
    EXPECT_EQ(visited, model.size());
    EXPECT_EQ(map.get(4096 * 601), nullptr);
    map.deinit(heap::page_allocator);
    EXPECT_EQ(map.capacity(), 0u);
    EXPECT_EQ(map.get(4096), nullptr);
}

TEST(AddressMap, GrowthFailureLeavesTheMapIntact) {
    alignas(16) static u8 region[8 * sizeof(heap::AddressMap<Payload>::Slot)];
    heap::FixedBufferAllocator fba{std::span<u8>(region)};
    heap::AddressMap<Payload> map;
    for (usize i = 1; i <= 6; ++i) {
        ASSERT_TRUE(map.ensureUnusedCapacity(fba.allocator(), 1));
        map.putAssumeCapacityNoClobber(i * 4096, Payload{i, i});
    }
    EXPECT_EQ(map.capacity(), 8u);
    EXPECT_FALSE(map.ensureUnusedCapacity(fba.allocator(), 1));  // 7 > 80% of 8, and no room for 16
    EXPECT_EQ(map.count(), 6u);
    for (usize i = 1; i <= 6; ++i) EXPECT_EQ(map.get(i * 4096)->a, i);
}

}  // namespace
