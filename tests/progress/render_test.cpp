// Frames composed from hand-built snapshots, compared byte for byte.
#include <string>
#include <vector>

#include "tests/progress/helpers.hpp"

namespace {

using namespace progress_test;
using Progress::Node;

struct Snapshot {
    std::vector<Node::Parent> parents;
    std::vector<Node::Storage> storage;

    void add(Node::Parent parent, Node::Storage record) {
        parents.push_back(parent);
        storage.push_back(record);
    }
    Progress::Serialized view() { return {parents, storage}; }
};

std::string compose(Snapshot& snapshot, u16 rows = 25, u16 cols = 80, usize buffer_len = 4096) {
    std::vector<char> buffer(buffer_len);
    const Progress::Frame frame = Progress::composeFrame(buffer, snapshot.view(), rows, cols);
    return std::string(frame.bytes);
}

TEST(Frame, RootOnly) {
    Snapshot s;
    s.add(root_parent, record("Test", 0, 10));
    EXPECT_EQ(compose(s), "\x1b[?2026h\x1b[J[0/10] Test\n\r\x1bM\x1b[?2026l");
}

TEST(Frame, ReportsItsLineCount) {
    Snapshot s;
    s.add(root_parent, record("Test", 3, 10));
    s.add(parentAt(0), record("one", 0, 0));
    char buffer[4096];
    const Progress::Frame frame = Progress::composeFrame(buffer, s.view(), 25, 80);
    EXPECT_EQ(frame.lines, 2u);
    EXPECT_EQ(std::string(frame.bytes), frameOf({"[3/10] Test", std::string(langle) + "one"}));
}

TEST(Frame, ChildrenAreListedFirstThenFromTheHighestIndexDown) {
    Snapshot s;
    s.add(root_parent, record("Test", 3, 10));
    s.add(parentAt(0), record("one", 0, 0));
    s.add(parentAt(0), record("two", 0, 0));
    s.add(parentAt(0), record("three", 0, 0));
    EXPECT_EQ(compose(s), frameOf({"[3/10] Test", std::string(tee) + "one", std::string(tee) + "three",
                                   std::string(langle) + "two"}));
}

TEST(Frame, IndentationColumnsFollowWhetherTheAncestorIsLast) {
    // root -> a (not last) -> a1 -> a1x ; root -> b (last) -> b1
    Snapshot s;
    s.add(root_parent, record("root", 0, 0));
    s.add(parentAt(0), record("a", 0, 0));   // 1
    s.add(parentAt(0), record("b", 0, 0));   // 2
    s.add(parentAt(1), record("a1", 0, 0));  // 3
    s.add(parentAt(2), record("b1", 0, 0));  // 4
    s.add(parentAt(3), record("a1x", 0, 0)); // 5
    const std::string a = std::string(tee) + "a";
    const std::string a1 = std::string(line) + std::string(langle) + "a1";
    const std::string a1x = std::string(line) + "   " + std::string(langle) + "a1x";
    const std::string b = std::string(langle) + "b";
    const std::string b1 = "   " + std::string(langle) + "b1";
    EXPECT_EQ(compose(s), frameOf({"root", a, a1, a1x, b, b1}));
}

TEST(Frame, AHiddenRootDrawsItsChildrenAtTheLeftEdge) {
    Snapshot s;
    s.add(root_parent, record("", 4, 9));
    s.add(parentAt(0), record("left", 0, 0));    // 1
    s.add(parentAt(0), record("right", 0, 0));   // 2
    s.add(parentAt(1), record("below", 0, 0));   // 3
    s.add(parentAt(3), record("deeper", 0, 0));  // 4
    // "left" has a later sibling, yet its children get no column for it.
    EXPECT_EQ(compose(s), frameOf({"left", std::string(langle) + "below",
                                   "   " + std::string(langle) + "deeper", "right"}));
}

TEST(Frame, AHiddenRootAloneDrawsNoLinesAndNoCursorReturn) {
    Snapshot s;
    s.add(root_parent, record("", 0, 0));
    EXPECT_EQ(compose(s), "\x1b[?2026h\x1b[J\x1b[?2026l");
}

TEST(Frame, CountersFollowTheEstimateAndCompletedCount) {
    Snapshot s;
    s.add(root_parent, record("root", 0, 0));
    s.add(parentAt(0), record("counted", 5, 0));        // [5] counted
    s.add(parentAt(0), record("", 3, 0));               // symbol only
    s.add(parentAt(0), record("plain", 0, 0));          // name only
    s.add(parentAt(0), record("", 2, 4));               // [2/4] and no name
    s.add(parentAt(0), record("max", 4294967294u, 4294967294u));
    EXPECT_EQ(compose(s), frameOf({"root", std::string(tee) + "[5] counted",
                                   std::string(tee) + "[4294967294/4294967294] max",
                                   std::string(tee) + "[2/4] ", std::string(tee) + "plain",
                                   std::string(langle)}));
}

TEST(Frame, RowsLimitTheLineCount) {
    Snapshot s;
    s.add(root_parent, record("root", 0, 0));
    for (int k = 0; k < 6; ++k) s.add(parentAt(0), record("child" + std::to_string(k + 1), 0, 0));
    EXPECT_EQ(compose(s, 5), frameOf({"root", std::string(tee) + "child1", std::string(tee) + "child6"}));
    EXPECT_EQ(compose(s, 3), frameOf({"root"}));
    EXPECT_EQ(compose(s, 0), frameOf({"root"}));
}

TEST(Frame, ColumnsCutLinesCountingEscapeBytes) {
    Snapshot s;
    s.add(root_parent, record("Test", 3, 10));
    s.add(parentAt(0), record("child", 0, 0));
    EXPECT_EQ(compose(s, 25, 10), frameOf({"[3/10] Tes", std::string(langle) + "c"}));
}

TEST(Frame, AColumnCutNeverSplitsATreeSymbol) {
    Snapshot s;
    s.add(root_parent, record("Test", 0, 0));
    s.add(parentAt(0), record("a", 0, 0));
    s.add(parentAt(0), record("b", 0, 0));
    s.add(parentAt(1), record("a1", 0, 0));
    // Width 12: the line column of "a" fits, the symbol of "a1" would be cut
    // after its third byte and goes whole.
    EXPECT_EQ(compose(s, 25, 12), frameOf({"Test", std::string(tee) + "a", std::string(line),
                                           std::string(langle) + "b"}));
    EXPECT_EQ(compose(s, 25, 4), frameOf({"Test", "", "", ""}));
}

TEST(Frame, NodesThatNoLongerFitTheBufferAreLeftOutWithTheirLaterSiblings) {
    Snapshot s;
    s.add(root_parent, record(std::string(40, 'R'), 0, 0));
    for (int k = 1; k < 83; ++k) {
        std::string name(40, 'a');
        name.replace(0, 2, std::to_string(k + 10));
        s.add(parentAt(0), record(name, 0, 0));
    }
    std::vector<char> buffer(4096);
    const Progress::Frame frame = Progress::composeFrame(buffer, s.view(), 200, 200);
    // Root line 41 bytes after the 11 opening bytes, then child lines of 50
    // bytes each while 52 + 50k + 85 + 2(k + 1) <= 4096: 77 children.
    EXPECT_EQ(frame.lines, 78u);
    EXPECT_EQ(frame.bytes.size(), 11u + 41 + 77 * 50 + 1 + 2 * 78 + 8);
    const std::string bytes(frame.bytes);
    // Order 1, 82, 81, ..., 7: the node with snapshot index 7 is the last
    // one placed, still drawn as a non-last child; 6 down to 2 are gone.
    EXPECT_NE(bytes.find(std::string(tee) + "11"), std::string::npos);
    EXPECT_NE(bytes.find(std::string(tee) + "17aaa"), std::string::npos);
    EXPECT_EQ(bytes.find("16aaa"), std::string::npos);
    EXPECT_EQ(bytes.find("12aaa"), std::string::npos);
    EXPECT_EQ(bytes.substr(bytes.size() - 8 - 1 - 2 * 78, 1), "\r");
    EXPECT_TRUE(bytes.ends_with("\x1b[?2026l"));
}

TEST(Frame, TheSmallestBufferStillClosesTheFrame) {
    Snapshot s;
    s.add(root_parent, record("root", 0, 0));
    for (int k = 0; k < 10; ++k) s.add(parentAt(0), record(std::string(40, 'x'), 0, 0));
    const std::string bytes = compose(s, 25, 80, 200);
    EXPECT_LE(bytes.size(), 200u);
    EXPECT_TRUE(bytes.ends_with("\x1b[?2026l"));
    // Opening 11 + root line 5 = 16; child lines of 50 bytes fit while
    // i + 85 + 2 * lines <= 200: at 16 + 87 and 66 + 89, not at 116 + 91.
    EXPECT_EQ(bytes, frameOf({"root", std::string(tee) + std::string(40, 'x'),
                              std::string(tee) + std::string(40, 'x')}));
}

TEST(TreeSymbols, EveryEncodingHasItsBytesAndTheLongestIsNine) {
    using Progress::TreeSymbol;
    using Encoding = TreeSymbol::Encoding;
    EXPECT_EQ(TreeSymbol(TreeSymbol::tee).bytes(Encoding::code_page_437), "\xC3\xC4 ");
    EXPECT_EQ(TreeSymbol(TreeSymbol::line).bytes(Encoding::utf8), "\xE2\x94\x82  ");
    EXPECT_EQ(TreeSymbol(TreeSymbol::langle).bytes(Encoding::utf8), "\xE2\x94\x94\xE2\x94\x80 ");
    EXPECT_EQ(TreeSymbol(TreeSymbol::langle).bytes(Encoding::ascii), "+- ");
    EXPECT_EQ(TreeSymbol(TreeSymbol::tee).bytes(Encoding::ansi_escapes), tee);
    for (auto symbol : {TreeSymbol::tee, TreeSymbol::line, TreeSymbol::langle})
        EXPECT_EQ(TreeSymbol(symbol).maxByteLen(), 9u);
    EXPECT_EQ(Progress::lineUpperBoundLen(3), 91u);
}

}  // namespace
