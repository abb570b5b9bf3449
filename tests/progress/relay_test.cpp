// Relay messages through real non-blocking pipes: the bytes a process sends
// and how child processes' trees are mounted.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/progress/helpers.hpp"

namespace {

using namespace progress_test;
using Progress::Node;

struct Pipe {
    int read_end = -1;
    int write_end = -1;
    Pipe() {
        int fds[2];
        EXPECT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
        read_end = fds[0];
        write_end = fds[1];
    }
    // One end as a parent that reads only after its child ends, or a child
    // writing its progress, would leave it: blocking. The ends are separate
    // file descriptions, so the other one stays non-blocking.
    static void makeBlocking(int end) { ASSERT_EQ(fcntl(end, F_SETFL, 0), 0); }
    static bool isBlocking(int end) { return (fcntl(end, F_GETFL) & O_NONBLOCK) == 0; }
    // Fills the pipe to its last byte, whatever the write end's mode.
    void fill() const {
        const int flags = fcntl(write_end, F_GETFL);
        ASSERT_EQ(fcntl(write_end, F_SETFL, flags | O_NONBLOCK), 0);
        const std::string page(4096, 'f');
        while (::write(write_end, page.data(), page.size()) > 0) {
        }
        while (::write(write_end, "f", 1) > 0) {
        }
        ASSERT_EQ(errno, EAGAIN);
        ASSERT_EQ(fcntl(write_end, F_SETFL, flags), 0);
    }
    ~Pipe() {
        if (read_end >= 0) close(read_end);
        if (write_end >= 0) close(write_end);
    }
    void put(std::string_view bytes) const {
        ASSERT_EQ(::write(write_end, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::string drain() const {
        std::string out;
        char buf[8192];
        for (;;) {
            const ssize_t n = ::read(read_end, buf, sizeof buf);
            if (n <= 0) break;
            out.append(buf, static_cast<usize>(n));
        }
        return out;
    }
};

std::string bytesOf(const Node::Storage& s) { return std::string(reinterpret_cast<const char*>(&s), sizeof s); }

// A child process's relay message: records, then parent bytes.
std::string message(const std::vector<std::pair<u8, Node::Storage>>& nodes) {
    std::string out(1, static_cast<char>(nodes.size()));
    for (const auto& n : nodes) out += bytesOf(n.second);
    for (const auto& n : nodes) out += static_cast<char>(n.first);
    return out;
}

class Relay : public Tree {
  protected:
    Progress::Serialized::Buffer buffer{};
};

TEST_F(Relay, RootOnlyMessageIsFiftyBytes) {
    const Node root = Progress::initTree("Test", 10);
    for (int k = 0; k < 3; ++k) root.start("t", 0).end();
    Pipe pipe;
    ASSERT_TRUE(Progress::writeIpc(pipe.write_end, Progress::serialize(buffer)));
    std::string expected = "\x01";
    expected += std::string("\x03\0\0\0\x0a\0\0\0", 8);
    expected += "Test" + std::string(36, '\0');
    expected += "\xff";
    EXPECT_EQ(pipe.drain(), expected);
}

TEST_F(Relay, ChildrenSendTheirParentsPositions) {
    const Node root = Progress::initTree("Test", 10);
    const Node a = root.start("a", 0);
    const Node b = root.start("b", 2);
    Pipe pipe;
    ASSERT_TRUE(Progress::writeIpc(pipe.write_end, Progress::serialize(buffer)));
    const std::string bytes = pipe.drain();
    ASSERT_EQ(bytes.size(), 1u + 49 * 3);
    EXPECT_EQ(bytes[0], 3);
    EXPECT_EQ(bytes.substr(1 + 48, 48), bytesOf(record("a", 0, 0)));
    EXPECT_EQ(bytes.substr(1 + 96, 48), bytesOf(record("b", 0, 2)));
    EXPECT_EQ(bytes.substr(1 + 144), std::string("\xff\x00\x00", 3));
    a.end();
    b.end();
}

TEST_F(Relay, SnapshotsSkipFreedSlotsAndRenumberParents) {
    const Node root = Progress::initTree("root", 0);
    const Node gone = root.start("gone", 0);
    const Node kept = root.start("kept", 0);
    const Node inner = kept.start("inner", 0);
    gone.end();
    const Progress::Serialized s = Progress::serialize(buffer);
    ASSERT_EQ(s.parents.size(), 3u);
    EXPECT_EQ(nameOf(s.storage[1]), "kept");
    EXPECT_EQ(nameOf(s.storage[2]), "inner");
    EXPECT_EQ(s.parents[0], Node::Parent::none);
    EXPECT_EQ(s.parents[1], parentAt(0));
    EXPECT_EQ(s.parents[2], parentAt(1));
    inner.end();
    kept.end();
}

TEST_F(Relay, ANodeWhoseParentWasNotCapturedBecomesParentless) {
    (void)Progress::initTree("root", 0);
    // Slot 2 claims slot 5 as its parent, but slot 5 is free: as if the
    // parent ended between the scans.
    (void)Node::init(static_cast<Node::Index>(2), Progress::toParent(static_cast<Node::Index>(5)), "orphan", 0);
    Progress::global_progress.node_end_index.store(6);
    const Progress::Serialized s = Progress::serialize(buffer);
    ASSERT_EQ(s.parents.size(), 2u);
    EXPECT_EQ(s.parents[1], Node::Parent::none);
}

TEST_F(Relay, AnEndIndexPastTheTableReadsOnlyTheTable) {
    const Node root = Progress::initTree("root", 0);
    for (int k = 0; k < 82; ++k) (void)root.start("n", 0);
    // The moment between a failed claim and its undo.
    Progress::global_progress.node_end_index.store(84);
    EXPECT_EQ(Progress::serialize(buffer).parents.size(), 83u);
}

TEST_F(Relay, AFullPipeDropsThePeriodsMessageAndOwesNothing) {
    (void)Progress::initTree("Test", 10);
    Pipe pipe;
    const std::string filler(4096, 'f');
    while (::write(pipe.write_end, filler.data(), filler.size()) > 0) {
    }
    ASSERT_EQ(errno, EAGAIN);
    ASSERT_TRUE(Progress::writeIpc(pipe.write_end, Progress::serialize(buffer)));
    EXPECT_EQ(Progress::remaining_write_trash_bytes, 0u);
    const std::string stale = pipe.drain();
    EXPECT_EQ(stale.find_first_not_of('f'), std::string::npos);
    ASSERT_TRUE(Progress::writeIpc(pipe.write_end, Progress::serialize(buffer)));
    EXPECT_EQ(pipe.drain().size(), 50u);
}

TEST_F(Relay, AClosedPipeIsBrokenPipe) {
    // As the product does at start-up: a closed reader is an error value.
    signal(SIGPIPE, SIG_IGN);
    (void)Progress::initTree("Test", 10);
    Pipe pipe;
    close(pipe.read_end);
    pipe.read_end = -1;
    const Result<void> r = Progress::writeIpc(pipe.write_end, Progress::serialize(buffer));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), Error::BrokenPipe);
}

// A call that would wait forever ends the child process by its alarm
// instead of hanging the test: the statement runs in a death-test child.
#define EXPECT_EXITS_CLEANLY_WITHIN_SECONDS(seconds, ...)         \
    EXPECT_EXIT(                                                 \
        {                                                        \
            alarm(seconds);                                      \
            std::_Exit((__VA_ARGS__) ? 0 : 1);                   \
        },                                                       \
        ::testing::ExitedWithCode(0), "")

using RelayDeathTest = Relay;

TEST_F(RelayDeathTest, AFullBlockingParentPipeDropsTheMessageWithoutWaitingOrChangingItsMode) {
    (void)Progress::initTree("Test", 10);
    Pipe pipe;
    Pipe::makeBlocking(pipe.write_end);
    pipe.fill();
    EXPECT_EXITS_CLEANLY_WITHIN_SECONDS(5, Progress::writeIpc(pipe.write_end, Progress::serialize(buffer)) &&
                                               Progress::remaining_write_trash_bytes == 0 &&
                                               Pipe::isBlocking(pipe.write_end));
    // Once the reader makes room, the next period's message goes out whole.
    EXPECT_EQ(pipe.drain().find_first_not_of('f'), std::string::npos);
    ASSERT_TRUE(Progress::writeIpc(pipe.write_end, Progress::serialize(buffer)));
    EXPECT_EQ(pipe.drain().size(), 50u);
    EXPECT_TRUE(Pipe::isBlocking(pipe.write_end));
}

TEST_F(Relay, AFullPipeWhoseReaderLeftIsBrokenPipeNotADroppedMessage) {
    // Full and readerless, the pipe polls as an error, not as writable: the
    // write must still be tried so the relay ends instead of idling on.
    signal(SIGPIPE, SIG_IGN);
    (void)Progress::initTree("Test", 10);
    for (const bool blocking : {true, false}) {
        Pipe pipe;
        if (blocking) Pipe::makeBlocking(pipe.write_end);
        pipe.fill();
        close(pipe.read_end);
        pipe.read_end = -1;
        const Result<void> r = Progress::writeIpc(pipe.write_end, Progress::serialize(buffer));
        ASSERT_FALSE(r) << "blocking " << blocking;
        EXPECT_EQ(r.error(), Error::BrokenPipe);
    }
}

TEST_F(Relay, OtherWriteErrorsEndTheRelayAsBrokenPipe) {
    (void)Progress::initTree("Test", 10);
    const Result<void> r = Progress::writeIpc(-1, Progress::serialize(buffer));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), Error::BrokenPipe);
}

// A stream socket with a small send buffer takes part of a large write,
// which a pipe never does for messages of at most 4096 bytes.
struct SmallSocket {
    int fds[2] = {-1, -1};
    SmallSocket() {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
        int size = 1024;
        setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    ~SmallSocket() {
        close(fds[0]);
        close(fds[1]);
    }
    std::string drain(usize at_most = ~usize{0}) const {
        std::string out;
        char buf[65536];
        while (out.size() < at_most) {
            const ssize_t n = ::read(fds[1], buf, std::min(sizeof buf, at_most - out.size()));
            if (n <= 0) break;
            out.append(buf, static_cast<usize>(n));
        }
        return out;
    }
};

TEST_F(Relay, WritevNonblockReportsWhatWentOutBeforeItWouldBlock) {
    SmallSocket socket;
    std::vector<char> a(100000, 'a');
    std::vector<char> b(100000, 'b');
    iovec spans[2] = {{a.data(), a.size()}, {b.data(), b.size()}};
    const Result<usize> written = Progress::writevNonblock(socket.fds[0], spans);
    ASSERT_TRUE(written) << errorName(written.error());
    EXPECT_GT(*written, 0u);
    EXPECT_LT(*written, a.size() + b.size());
    EXPECT_EQ(socket.drain().size(), *written);
}

TEST_F(Relay, CutMessagesAreCompletedWithFillerSoTheStreamKeepsItsFraming) {
    const Node root = Progress::initTree("Test", 10);
    for (int k = 0; k < 82; ++k) (void)root.start(std::string(40, 'n'), 0);
    SmallSocket socket;
    std::string stream;
    int cuts = 0;
    for (int period = 0; period < 300; ++period) {
        ASSERT_TRUE(Progress::writeIpc(socket.fds[0], Progress::serialize(buffer)));
        if (Progress::remaining_write_trash_bytes > 0) ++cuts;
        // Reading less than a message leaves room for only part of the next.
        stream += socket.drain(1500);
    }
    // A roomier socket lets the owed filler and one whole message out.
    const int roomy = 1 << 20;
    setsockopt(socket.fds[0], SOL_SOCKET, SO_SNDBUF, &roomy, sizeof roomy);
    for (int period = 0; period < 10 && Progress::remaining_write_trash_bytes > 0; ++period) {
        stream += socket.drain();
        ASSERT_TRUE(Progress::writeIpc(socket.fds[0], Progress::serialize(buffer)));
    }
    stream += socket.drain();
    ASSERT_EQ(Progress::remaining_write_trash_bytes, 0u);
    ASSERT_GT(cuts, 0) << "the socket never took part of a message";

    // A reader that only knows the format finds a header every 4068 bytes.
    ASSERT_EQ(stream.size() % 4068, 0u);
    for (usize at = 0; at < stream.size(); at += 4068) {
        ASSERT_EQ(static_cast<u8>(stream[at]), 83) << "at byte " << at;
        EXPECT_EQ(stream.substr(at + 1, 48), bytesOf(record("Test", 0, 10)));
    }
}

// Mounting child trees.
class Mount : public Relay {
  protected:
    Pipe child;
    Node root;
    Node relay;

    void SetUp() override {
        Relay::SetUp();
        root = Progress::initTree("Test", 10);
        relay = root.startRelay("child", child.read_end);
    }

    static std::string names(const Progress::Serialized& s) {
        std::string out;
        for (usize k = 0; k < s.storage.size(); ++k) {
            out += nameOf(s.storage[k]);
            out += '<';
            out += s.parents[k] == Node::Parent::none ? std::string("-") : std::to_string(static_cast<u8>(s.parents[k]));
            out += ' ';
        }
        return out;
    }
};

const std::string msg_a = message({{255, record("A", 1, 5)}, {0, record("a1", 0, 0)}});
const std::string msg_b = message({{255, record("B", 2, 5)}, {0, record("b1", 0, 0)}, {1, record("b2", 0, 0)}});
const std::string msg_c = message({{255, record("C", 3, 5)}, {0, record("c1", 0, 0)}});
const std::string msg_d = message({{255, record("D", 4, 5)}, {0, record("d1", 7, 9)}});

TEST_F(Mount, AChildTreeReplacesItsRelayNode) {
    child.put(msg_a);
    const Progress::Serialized s = Progress::serialize(buffer);
    EXPECT_EQ(names(s), "Test<- A<0 a1<1 ");
    EXPECT_EQ(s.storage[1].completed_count, 1u);
    EXPECT_EQ(s.storage[1].estimated_total_count, 5u);
}

TEST_F(Mount, OfTwoMessagesInOneReadOnlyTheSecondIsMounted) {
    child.put(msg_a + msg_b);
    const Progress::Serialized s = Progress::serialize(buffer);
    EXPECT_EQ(names(s), "Test<- B<0 b1<1 b2<2 ");
    EXPECT_EQ(s.storage[1].completed_count, 2u);
}

TEST_F(Mount, AnEmptyPipeShowsThePreviousFrameAgain) {
    child.put(msg_b);
    const std::string first = names(Progress::serialize(buffer));
    const Progress::Serialized again = Progress::serialize(buffer);
    EXPECT_EQ(names(again), first);
    EXPECT_EQ(again.storage[1].completed_count, 2u);
}

TEST_F(Mount, OneAndAHalfMessagesKeepTheOldTreeAndSkipTheRestLater) {
    child.put(msg_a);
    EXPECT_EQ(names(Progress::serialize(buffer)), "Test<- A<0 a1<1 ");
    child.put(msg_b + msg_c.substr(0, 30));
    EXPECT_EQ(names(Progress::serialize(buffer)), "Test<- A<0 a1<1 ");
    child.put(msg_c.substr(30) + msg_d);
    const Progress::Serialized s = Progress::serialize(buffer);
    EXPECT_EQ(names(s), "Test<- D<0 d1<1 ");
    EXPECT_EQ(s.storage[2].completed_count, 7u);
}

TEST_F(Mount, ASkipCountOutlivesAFrameThatReadsNothing) {
    child.put(msg_a);
    (void)Progress::serialize(buffer);
    child.put(msg_c.substr(0, 30));
    EXPECT_EQ(names(Progress::serialize(buffer)), "Test<- A<0 a1<1 ");
    // Nothing arrives for a frame; the 69 missing bytes are still owed.
    EXPECT_EQ(names(Progress::serialize(buffer)), "Test<- A<0 a1<1 ");
    child.put(msg_c.substr(30) + msg_d);
    EXPECT_EQ(names(Progress::serialize(buffer)), "Test<- D<0 d1<1 ");
}

TEST_F(Mount, AChildWithNoHistoryAndACutMessageShowsZeroCounts) {
    child.put(msg_b.substr(0, 10));
    const Progress::Serialized s = Progress::serialize(buffer);
    EXPECT_EQ(names(s), "Test<- child<0 ");
    EXPECT_EQ(s.storage[1].completed_count, 0u);
    EXPECT_EQ(s.storage[1].estimated_total_count, 0u);
    child.put(msg_b.substr(10) + msg_a);
    EXPECT_EQ(names(Progress::serialize(buffer)), "Test<- A<0 a1<1 ");
}

TEST_F(Mount, AMessageOfZeroNodesIsNeverMounted) {
    child.put(msg_a);
    (void)Progress::serialize(buffer);
    child.put(std::string(1, '\0'));
    const Progress::Serialized s = Progress::serialize(buffer);
    EXPECT_EQ(names(s), "Test<- A<0 a1<1 ");
    EXPECT_EQ(s.storage[1].completed_count, 1u);
}

TEST_F(Mount, AZeroNodeMessageWithoutHistoryLeavesTheRelayNodeBare) {
    child.put(std::string(1, '\0'));
    const Progress::Serialized s = Progress::serialize(buffer);
    EXPECT_EQ(names(s), "Test<- child<0 ");
    EXPECT_EQ(s.storage[1].completed_count, 0u);
}

TEST_F(Mount, AParentByteBeyondTheMountedRangeBecomesNoneAndIsNotDrawn) {
    child.put(message({{255, record("A", 1, 5)}, {0, record("kept", 0, 0)}, {200, record("stray", 0, 0)}}));
    const Progress::Serialized s = Progress::serialize(buffer);
    EXPECT_EQ(names(s), "Test<- A<0 kept<1 stray<- ");
    char frame_buffer[4096];
    const std::string frame(Progress::composeFrame(frame_buffer, s, 25, 80).bytes);
    EXPECT_NE(frame.find("kept"), std::string::npos);
    EXPECT_EQ(frame.find("stray"), std::string::npos);
}

TEST_F(Mount, AnEmptyChildRootNameKeepsTheRelayNodesName) {
    child.put(message({{255, record("", 3, 4)}}));
    const Progress::Serialized s = Progress::serialize(buffer);
    EXPECT_EQ(names(s), "Test<- child<0 ");
    EXPECT_EQ(s.storage[1].completed_count, 3u);
    EXPECT_EQ(s.storage[1].estimated_total_count, 4u);
}

TEST_F(Mount, AFullSnapshotCutsTheChildsExtraNodes) {
    // Root, relay and 78 more: 80 entries before mounting.
    for (int k = 0; k < 78; ++k) (void)root.start("local", 0);
    std::vector<std::pair<u8, Node::Storage>> nodes = {{255, record("C", 6, 9)}};
    for (int k = 1; k < 10; ++k) nodes.push_back({0, record("c" + std::to_string(k), 0, 0)});
    child.put(message(nodes));
    const Progress::Serialized s = Progress::serialize(buffer);
    ASSERT_EQ(s.parents.size(), 83u);
    EXPECT_EQ(nameOf(s.storage[1]), "C");
    EXPECT_EQ(s.storage[1].completed_count, 6u);
    EXPECT_EQ(nameOf(s.storage[80]), "c1");
    EXPECT_EQ(nameOf(s.storage[82]), "c3");
    EXPECT_EQ(s.parents[82], parentAt(1));
}

using MountDeathTest = Mount;

TEST_F(MountDeathTest, ABlockingChildPipeIsReadWithoutWaitingUpToAndPastItsEnd) {
    Pipe::makeBlocking(child.read_end);
    child.put(msg_a);
    EXPECT_EXITS_CLEANLY_WITHIN_SECONDS(5, [&] {
        // Drained by the first frame; empty for the second; closed by the
        // child for the third, which reads its end of file.
        const bool mounted = names(Progress::serialize(buffer)) == "Test<- A<0 a1<1 ";
        const bool kept = names(Progress::serialize(buffer)) == "Test<- A<0 a1<1 ";
        child.put(msg_b);
        close(child.write_end);
        const bool last = names(Progress::serialize(buffer)) == "Test<- B<0 b1<1 b2<2 ";
        const bool after_end = names(Progress::serialize(buffer)) == "Test<- B<0 b1<1 b2<2 ";
        return mounted && kept && last && after_end && Pipe::isBlocking(child.read_end);
    }());
}

TEST_F(Mount, AChildThatClosedItsEndKeepsShowingItsLastTree) {
    child.put(msg_a + msg_b);
    close(child.write_end);
    child.write_end = -1;
    EXPECT_EQ(names(Progress::serialize(buffer)), "Test<- B<0 b1<1 b2<2 ");
    const Progress::Serialized again = Progress::serialize(buffer);
    EXPECT_EQ(names(again), "Test<- B<0 b1<1 b2<2 ");
    EXPECT_EQ(again.storage[1].completed_count, 2u);
}

TEST_F(Mount, AReadErrorForgetsTheChild) {
    child.put(msg_a);
    (void)Progress::serialize(buffer);
    close(child.read_end);
    child.read_end = -1;
    const Progress::Serialized s = Progress::serialize(buffer);
    EXPECT_EQ(names(s), "Test<- child<0 ");
    EXPECT_EQ(s.storage[1].completed_count, 0u);
    EXPECT_EQ(s.storage[1].estimated_total_count, 0u);
}

TEST(RelayHelpers, FindOldMatchesTheFirstEqualDescriptor) {
    const Progress::Fd fds[3] = {Progress::Fd::init(4), Progress::Fd::init(9), Progress::Fd::init(9)};
    const Progress::SavedMetadata metadata[3] = {{0, 1, 2, 3}, {0, 4, 5, 6}, {0, 7, 8, 9}};
    EXPECT_EQ(Progress::findOld(Progress::Fd::init(9), fds, metadata), &metadata[1]);
    EXPECT_EQ(Progress::findOld(Progress::Fd::init(5), fds, metadata), nullptr);
}

TEST(RelayHelpers, CopyRootKeepsTheNameWhenTheSourceHasNone) {
    Node::Storage dest = record("mine", 1, 2);
    Progress::copyRoot(dest, record("", 5, 6));
    EXPECT_EQ(nameOf(dest), "mine");
    EXPECT_EQ(dest.completed_count, 5u);
    EXPECT_EQ(dest.estimated_total_count, 6u);
    Progress::copyRoot(dest, record("theirs", 7, 8));
    EXPECT_EQ(nameOf(dest), "theirs");
}

}  // namespace
