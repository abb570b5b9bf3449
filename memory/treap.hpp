// A treap: a binary search tree kept balanced in expectation by random
// heap-ordered priorities. Nodes are owned by the caller; the tree only
// links them. The leak-checking allocator keeps one per size class, keyed
// by bucket page address.
#pragma once
#include "support/panic.hpp"
#include "support/types.hpp"

namespace heap {

// Key is a copyable handle; key_value(key) gives the unsigned number keys
// are ordered by. Equal numbers are the same key.
template <class Key, auto key_value>
struct Treap {
    struct Node {
        Key key;
        usize priority;
        Node* parent;
        Node* children[2];  // [0] smaller keys, [1] larger keys
    };

    // xorshift64; 0 means not seeded yet.
    struct Prng {
        u64 xorshift = 0;
    };

    Node* root = nullptr;
    Prng prng{};

    // Where a key is or would be attached: the node holding it (or null)
    // and the last node visited on the way down.
    struct Entry {
        Node* node;
        Node* parent;
    };

    [[nodiscard]] Entry find(usize value) const {
        Node* parent = nullptr;
        Node* current = root;
        while (current != nullptr) {
            const usize current_value = key_value(current->key);
            if (value == current_value) return {current, parent};
            parent = current;
            current = current->children[value > current_value ? 1 : 0];
        }
        return {nullptr, parent};
    }

    [[nodiscard]] Node* get(usize value) const { return find(value).node; }

    // The node's key must not be in the tree yet.
    void insert(Node* node) {
        const usize value = key_value(node->key);
        const Entry entry = find(value);
        XOV_ASSERT(entry.node == nullptr);
        node->priority = nextPriority(node);
        node->parent = entry.parent;
        node->children[0] = nullptr;
        node->children[1] = nullptr;
        if (entry.parent == nullptr) {
            root = node;
        } else {
            entry.parent->children[value > key_value(entry.parent->key) ? 1 : 0] = node;
        }
        // The root holds the smallest priority.
        while (node->parent != nullptr && node->priority < node->parent->priority)
            rotateUp(node);
    }

    // The node must be in this tree.
    void remove(Node* node) {
        for (;;) {
            Node* left = node->children[0];
            Node* right = node->children[1];
            if (left == nullptr && right == nullptr) break;
            // Equal priorities raise the right child.
            Node* raised = (right == nullptr || (left != nullptr && left->priority < right->priority)) ? left : right;
            rotateUp(raised);
        }
        Node* parent = node->parent;
        if (parent == nullptr) {
            root = nullptr;
        } else {
            parent->children[parent->children[1] == node ? 1 : 0] = nullptr;
        }
        node->parent = nullptr;
    }

    // In-order walk without a stack: ascending key order.
    [[nodiscard]] Node* first() const {
        Node* node = root;
        if (node == nullptr) return nullptr;
        while (node->children[0] != nullptr) node = node->children[0];
        return node;
    }

    [[nodiscard]] static Node* next(Node* node) {
        if (node->children[1] != nullptr) {
            node = node->children[1];
            while (node->children[0] != nullptr) node = node->children[0];
            return node;
        }
        while (node->parent != nullptr && node->parent->children[1] == node) node = node->parent;
        return node->parent;
    }

  private:
    usize nextPriority(const Node* node) {
        u64 x = prng.xorshift;
        // Seeding from the first node's address keeps runs reproducible
        // within a process without a clock or entropy source.
        if (x == 0) x = reinterpret_cast<u64>(node);
        x ^= x >> 13;
        x ^= x << 7;
        x ^= x >> 17;
        prng.xorshift = x;
        return x;
    }

    // Moves node one level up, its parent becoming its child on the other
    // side; the in-order sequence is unchanged.
    void rotateUp(Node* node) {
        Node* parent = node->parent;
        const int side = parent->children[1] == node ? 1 : 0;
        Node* moved = node->children[1 - side];
        Node* grandparent = parent->parent;

        parent->children[side] = moved;
        if (moved != nullptr) moved->parent = parent;

        node->children[1 - side] = parent;
        parent->parent = node;

        node->parent = grandparent;
        if (grandparent == nullptr) {
            root = node;
        } else {
            grandparent->children[grandparent->children[1] == parent ? 1 : 0] = node;
        }
    }
};

}  // namespace heap
