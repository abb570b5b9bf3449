// The node table: slot hand-out and reuse, records, counts and no-op nodes.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "tests/progress/helpers.hpp"

namespace {

using namespace progress_test;
using Progress::Node;
using Progress::global_progress;

struct TableImage {
    u8 parents[Progress::node_capacity];
    Node::Storage storage[Progress::node_capacity];
    u32 end_index;
    u64 freelist_head;

    static TableImage take() {
        TableImage image;
        std::memcpy(image.parents, global_progress.node_parents.data(), sizeof image.parents);
        std::memcpy(image.storage, global_progress.node_storage.data(), sizeof image.storage);
        image.end_index = global_progress.node_end_index.load();
        image.freelist_head = global_progress.node_freelist_first.load();
        return image;
    }
    bool operator==(const TableImage& other) const {
        return std::memcmp(parents, other.parents, sizeof parents) == 0 &&
               std::memcmp(storage, other.storage, sizeof storage) == 0 && end_index == other.end_index &&
               freelist_head == other.freelist_head;
    }
};

using NodeTable = Tree;

TEST_F(NodeTable, InitTreePlacesTheRootInSlotZeroAndMarksEveryOtherSlotUnused) {
    const Node root = Progress::initTree("Test", 10);
    EXPECT_EQ(slotOf(root), 0);
    EXPECT_EQ(global_progress.node_end_index.load(), 1u);
    EXPECT_EQ(Progress::parentByIndex(0), Node::Parent::none);
    for (usize i = 1; i < Progress::node_capacity; ++i) EXPECT_EQ(Progress::parentByIndex(i), Node::Parent::unused);
    EXPECT_EQ(nameOf(Progress::storageByIndex(0)), "Test");
    EXPECT_EQ(Progress::storageByIndex(0).estimated_total_count, 10u);
}

TEST_F(NodeTable, The84thLiveNodeIsANoOpAndAnEndedSlotIsReusedNext) {
    const Node root = Progress::initTree("root", 0);
    Node children[82];
    std::set<u8> slots;
    for (auto& child : children) {
        child = root.start("c", 0);
        ASSERT_NE(child.index, Node::OptionalIndex::none);
        slots.insert(slotOf(child));
    }
    EXPECT_EQ(slots.size(), 82u);
    EXPECT_EQ(*slots.begin(), 1);
    EXPECT_EQ(*slots.rbegin(), 82);

    const TableImage before = TableImage::take();
    const Node overflow = root.start("one too many", 0);
    EXPECT_EQ(overflow.index, Node::OptionalIndex::none);
    // The failed claim was undone.
    EXPECT_EQ(global_progress.node_end_index.load(), 83u);
    overflow.end();
    EXPECT_TRUE(TableImage::take() == before);

    children[40].end();
    const Node reused = root.start("again", 0);
    EXPECT_EQ(slotOf(reused), slotOf(children[40]));
    EXPECT_EQ(root.start("full again", 0).index, Node::OptionalIndex::none);
}

TEST_F(NodeTable, FreedSlotsAreReusedMostRecentlyEndedFirst) {
    const Node root = Progress::initTree("root", 0);
    const Node a = root.start("a", 0);
    const Node b = root.start("b", 0);
    const Node c = root.start("c", 0);
    a.end();
    c.end();
    b.end();
    EXPECT_EQ(slotOf(root.start("x", 0)), slotOf(b));
    EXPECT_EQ(slotOf(root.start("y", 0)), slotOf(c));
    EXPECT_EQ(slotOf(root.start("z", 0)), slotOf(a));
    // Free list exhausted: the next slot comes from the high-water mark.
    EXPECT_EQ(slotOf(root.start("w", 0)), 4);
}

TEST_F(NodeTable, NamesAreCutAtFortyBytesAndZeroFilled) {
    const Node root = Progress::initTree("root", 0);
    const std::string long_name(50, 'n');
    const Node long_node = root.start(long_name, 0);
    const Node::Storage& long_record = Progress::storageByIndex(slotOf(long_node));
    EXPECT_EQ(std::string_view(long_record.name, 40), std::string(40, 'n'));

    const Node short_node = root.start("abc", 0);
    const Node::Storage& short_record = Progress::storageByIndex(slotOf(short_node));
    EXPECT_EQ(std::string_view(short_record.name, 3), "abc");
    for (usize k = 3; k < 40; ++k) EXPECT_EQ(short_record.name[k], 0) << k;

    const Node empty = root.start("", 0);
    const Node::Storage& empty_record = Progress::storageByIndex(slotOf(empty));
    for (char c : empty_record.name) EXPECT_EQ(c, 0);
}

TEST_F(NodeTable, RunnerTestNamesFitOrAreCutAsStored) {
    const Node root = Progress::initTree("Test", 10);
    const Node fits = root.start("w4_input.test.Input: KeyMods is 1 byte", 0);
    EXPECT_EQ(nameOf(Progress::storageByIndex(slotOf(fits))), "w4_input.test.Input: KeyMods is 1 byte");
    const Node cut = root.start("w4_input.test.Input: MouseState initial values", 0);
    EXPECT_EQ(std::string_view(Progress::storageByIndex(slotOf(cut)).name, 40),
              "w4_input.test.Input: MouseState initial ");
}

TEST_F(NodeTable, EstimatedTotalsAreStoredSaturated) {
    const Node root = Progress::initTree("root", 0);
    EXPECT_EQ(Progress::storageByIndex(slotOf(root.start("zero", 0))).estimated_total_count, 0u);
    EXPECT_EQ(Progress::storageByIndex(slotOf(root.start("ten", 10))).estimated_total_count, 10u);
    // Neither start nor init produces the relay marker by accident: both
    // saturate one below it.
    const Node direct = Node::init(static_cast<Node::Index>(50), Node::Parent::none, "direct", 5'000'000'000);
    EXPECT_EQ(Progress::storageByIndex(slotOf(direct)).estimated_total_count, 4294967294u);
    EXPECT_FALSE(Progress::storageByIndex(slotOf(direct)).getIpcFd().has_value());
    const Node::Storage& huge = Progress::storageByIndex(slotOf(root.start("huge", 5'000'000'000)));
    EXPECT_EQ(huge.estimated_total_count, 4294967294u);
    EXPECT_FALSE(huge.getIpcFd().has_value());
    EXPECT_EQ(Progress::storageByIndex(slotOf(root.start("edge", 4294967294))).estimated_total_count, 4294967294u);
}

TEST_F(NodeTable, AHugeRootEstimateIsCappedAsAChildsIs) {
    for (const u64 estimate : {u64{4294967295}, u64{5'000'000'000}, ~u64{0}}) {
        Progress::resetForTesting();
        const Node root = Progress::initTree("Test", estimate);
        const Node::Storage& record = Progress::storageByIndex(slotOf(root));
        EXPECT_EQ(record.estimated_total_count, 4294967294u) << estimate;
        EXPECT_FALSE(record.getIpcFd().has_value()) << estimate;
    }
}

TEST_F(NodeTable, RelayNodesCarryTheirDescriptorAndTheMarker) {
    const Node root = Progress::initTree("root", 0);
    const Node relay = root.startRelay("child process", 7);
    const Node::Storage& record = Progress::storageByIndex(slotOf(relay));
    EXPECT_EQ(record.getIpcFd(), std::optional<int>(7));
    EXPECT_EQ(record.estimated_total_count, 0xFFFFFFFFu);
    EXPECT_EQ(root.startRelay("bad", -1).index, Node::OptionalIndex::none);
}

TEST_F(NodeTable, EndingAChildCountsOneOnItsParentOnly) {
    const Node root = Progress::initTree("root", 0);
    const Node outer = root.start("outer", 3);
    const Node inner_a = outer.start("a", 0);
    const Node inner_b = outer.start("b", 0);
    inner_a.end();
    inner_b.end();
    EXPECT_EQ(Progress::storageByIndex(slotOf(outer)).completed_count, 2u);
    EXPECT_EQ(Progress::storageByIndex(0).completed_count, 0u);
    EXPECT_EQ(Progress::parentByIndex(slotOf(inner_a)), Node::Parent::unused);
    outer.end();
    EXPECT_EQ(Progress::storageByIndex(0).completed_count, 1u);
}

TEST_F(NodeTable, ChildrenOfANoOpNodeLeaveTheTableAlone) {
    (void)Progress::initTree("root", 0);
    const TableImage before = TableImage::take();
    const Node noop{};
    const Node child = noop.start("child", 5);
    EXPECT_EQ(child.index, Node::OptionalIndex::none);
    child.end();
    noop.end();
    EXPECT_TRUE(TableImage::take() == before);
}

TEST_F(NodeTable, AReusedSlotKeepsNoTraceOfItsOldNode) {
    const Node root = Progress::initTree("root", 0);
    const Node old_node = root.start("a rather long old name", 9);
    const Node grandchild = old_node.start("g", 0);
    grandchild.end();
    old_node.end();
    const Node fresh = root.start("new", 0);
    ASSERT_EQ(slotOf(fresh), slotOf(old_node));
    const Node::Storage& record = Progress::storageByIndex(slotOf(fresh));
    EXPECT_EQ(record.completed_count, 0u);
    EXPECT_EQ(record.estimated_total_count, 0u);
    EXPECT_EQ(nameOf(record), "new");
    for (usize k = 3; k < 40; ++k) EXPECT_EQ(record.name[k], 0) << k;
}

TEST(IndexEncodings, ConvertAndUnwrapAsTheirBytesSay) {
    EXPECT_EQ(static_cast<u8>(Progress::toParent(static_cast<Node::Index>(7))), 7);
    EXPECT_EQ(static_cast<u8>(Progress::toOptional(static_cast<Node::Index>(7))), 7);
    EXPECT_FALSE(Progress::unwrap(Node::OptionalIndex::none).has_value());
    EXPECT_EQ(Progress::unwrap(static_cast<Node::OptionalIndex>(254)), static_cast<Node::Index>(254));
    EXPECT_FALSE(Progress::unwrap(Node::Parent::none).has_value());
    EXPECT_FALSE(Progress::unwrap(Node::Parent::unused).has_value());
    EXPECT_EQ(Progress::unwrap(static_cast<Node::Parent>(253)), static_cast<Node::Index>(253));
}

TEST(FreelistHead, EveryReplacementMovesTheGenerationOn) {
    using Progress::FreelistHead;
    u64 word = static_cast<u8>(Node::OptionalIndex::none);
    const u64 first = FreelistHead::replace(word, static_cast<Node::OptionalIndex>(5));
    const u64 back = FreelistHead::replace(first, Node::OptionalIndex::none);
    const u64 again = FreelistHead::replace(back, static_cast<Node::OptionalIndex>(5));
    EXPECT_EQ(FreelistHead::index(again), static_cast<Node::OptionalIndex>(5));
    // Same top slot as `first`, but a pop that read `first` must not succeed.
    EXPECT_NE(again, first);
}

using NodeTableDeathTest = Tree;

TEST_F(NodeTableDeathTest, IndexingPastTheTablesPanics) {
    EXPECT_DEATH((void)Progress::storageByIndex(83), "index out of bounds: index 83, len 83");
    EXPECT_DEATH((void)Progress::parentByIndex(200), "index out of bounds: index 200, len 83");
    EXPECT_DEATH((void)Progress::freelistByIndex(83), "index out of bounds: index 83, len 83");
}

TEST_F(NodeTableDeathTest, AHugeRootEstimateNeverMakesTheSnapshotReadStandardInput) {
    // Standard input holds a relay message a child could have sent. Taken
    // for a relay node on descriptor 0, the root would read and mount it,
    // and wait for more on the blocking pipe until the alarm.
    EXPECT_EXIT(
        {
            alarm(5);
            int fds[2];
            if (pipe(fds) != 0 || dup2(fds[0], 0) != 0) std::_Exit(2);
            std::string message(1, '\x01');
            const Node::Storage child_root = record("from stdin", 1, 2);
            message.append(reinterpret_cast<const char*>(&child_root), sizeof child_root);
            message += '\xff';
            if (::write(fds[1], message.data(), message.size()) != static_cast<ssize_t>(message.size()))
                std::_Exit(2);
            (void)Progress::initTree("Test", 4294967295);
            Progress::Serialized::Buffer buffer;
            const Progress::Serialized s = Progress::serialize(buffer);
            char first = 0;
            const bool unread = ::read(0, &first, 1) == 1 && first == '\x01';
            std::_Exit(s.storage.size() == 1 && nameOf(s.storage[0]) == "Test" &&
                               s.storage[0].estimated_total_count == 4294967294u && unread
                           ? 0
                           : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(NodeTableDeathTest, InitWithAnUnusedParentOrOnALiveSlotPanics) {
    (void)Progress::initTree("root", 0);
    EXPECT_DEATH((void)Node::init(static_cast<Node::Index>(3), Node::Parent::unused, "x", 0),
                 "reached unreachable code");
    EXPECT_DEATH((void)Node::init(static_cast<Node::Index>(0), Node::Parent::none, "x", 0),
                 "reached unreachable code");
}

}  // namespace
