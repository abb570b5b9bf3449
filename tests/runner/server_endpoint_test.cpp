// The build-driver endpoint over real descriptors: framing of what arrives
// in arbitrary pieces, the receive buffer's growth and compaction, and the
// exact bytes of everything it sends, including after short writes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "runner/xov_server.hpp"

namespace {

using xov::Client;
using xov::Server;
using Tag = Client::Message::Tag;

std::string le32(u32 v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}
std::string header(u32 tag, u32 len) { return le32(tag) + le32(len); }
std::string runTest(u32 index) { return header(5, 4) + le32(index); }

// Input over a SOCK_SEQPACKET pair, where every read returns exactly one
// written packet, so tests decide how requests are split across reads. Or
// over a pipe, where reads take whatever is there (for bodies longer than
// one read offers). Output always over a pipe read back by the test.
class Wire {
  public:
    enum class Input { packets, stream };

    explicit Wire(Input kind) {
        signal(SIGPIPE, SIG_IGN);
        if (kind == Input::packets) {
            EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, in_), 0);
        } else {
            EXPECT_EQ(pipe2(in_, O_CLOEXEC), 0);
        }
        EXPECT_EQ(pipe2(out_, O_CLOEXEC), 0);
        fcntl(out_[0], F_SETFL, O_NONBLOCK);
    }
    ~Wire() {
        for (int fd : {in_[0], in_[1], out_[0], out_[1]})
            if (fd >= 0) close(fd);
    }

    xov::File serverIn() const { return {in_[0]}; }
    xov::File serverOut() const { return {out_[1]}; }

    void send(std::string_view bytes) { ASSERT_EQ(write(in_[1], bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    void closeInput() {
        close(in_[1]);
        in_[1] = -1;
    }
    void closeOutputReader() {
        close(out_[0]);
        out_[0] = -1;
    }
    // Whether a packet is still queued for the server (nothing consumed).
    bool inputPending() const {
        char b;
        return recv(in_[0], &b, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
    }
    // Everything the server has written so far.
    std::string received() {
        std::string s;
        char buf[4096];
        ssize_t n;
        while ((n = read(out_[0], buf, sizeof buf)) > 0) s.append(buf, size_t(n));
        return s;
    }

  private:
    int in_[2] = {-1, -1};
    int out_[2] = {-1, -1};
};

constexpr std::string_view test_version = "9.8.7-test";

// An endpoint whose receive buffer lives in a local fixed buffer.
struct Endpoint {
    alignas(16) u8 storage[4096];
    heap::FixedBufferAllocator fba{std::span<u8>(storage)};
    Wire wire;
    Server server{};

    explicit Endpoint(Wire::Input kind = Wire::Input::packets, usize buffer_len = sizeof storage)
        : fba(std::span<u8>(storage, buffer_len)), wire(kind) {
        auto s = Server::init({fba.allocator(), test_version, wire.serverIn(), wire.serverOut()});
        EXPECT_TRUE(s.has_value());
        if (s) server = *s;
        EXPECT_EQ(wire.received(), header(0, test_version.size()) + std::string(test_version));
    }
    ~Endpoint() { server.deinit(); }

    Client::Message::Header next() {
        auto r = server.receiveMessage();
        EXPECT_TRUE(r.has_value()) << (r ? "" : errorName(r.error()));
        EXPECT_TRUE(r && r->has_value()) << "input ended";
        if (!r || !r->has_value()) return {Tag(0xFFFFFFFF), 0xFFFFFFFF};
        return **r;
    }
    std::string body() const {
        auto s = server.receive_fifo.readableSlice();
        return std::string(reinterpret_cast<const char*>(s.data()), s.size());
    }
};

// ---- init ----

TEST(ServerInit, SendsTheVersionBeforeReadingAndAllocatesNothingYet) {
    Endpoint e;  // checks the 8 + L version bytes itself
    EXPECT_EQ(e.server.receive_fifo.buf.size(), 0u);
    EXPECT_EQ(e.fba.end_index, 0u);
    EXPECT_FALSE(e.wire.inputPending());
}

TEST(ServerInit, AnEmptyVersionIsAHeaderAlone) {
    Wire wire(Wire::Input::packets);
    u8 storage[64];
    heap::FixedBufferAllocator fba{std::span<u8>(storage)};
    auto s = Server::init({fba.allocator(), "", wire.serverIn(), wire.serverOut()});
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(wire.received(), header(0, 0));
}

TEST(ServerInit, AWriteErrorIsReturned) {
    Wire wire(Wire::Input::packets);
    wire.closeOutputReader();
    u8 storage[64];
    heap::FixedBufferAllocator fba{std::span<u8>(storage)};
    auto s = Server::init({fba.allocator(), test_version, wire.serverIn(), wire.serverOut()});
    ASSERT_FALSE(s.has_value());
    EXPECT_EQ(s.error(), Error::BrokenPipe);
}

// ---- framing ----

TEST(ServerReceive, AHeaderArrivingAsThreeThenFiveBytesIsAssembled) {
    Endpoint e;
    const std::string h = header(4, 0);
    e.wire.send(h.substr(0, 3));
    e.wire.send(h.substr(3));
    const auto got = e.next();
    EXPECT_EQ(got.tag, Tag::query_test_metadata);
    EXPECT_EQ(got.bytes_len, 0u);
    EXPECT_EQ(e.server.receive_fifo.count, 0u);
    // Three unread bytes plus a fresh 256-byte read offer do not fit in 256.
    EXPECT_EQ(e.server.receive_fifo.buf.size(), 512u);
}

TEST(ServerReceive, ABodyArrivingAfterItsHeaderIsWaitedFor) {
    Endpoint e;
    e.wire.send(header(5, 4));
    e.wire.send(le32(3));
    const auto got = e.next();
    EXPECT_EQ(got.tag, Tag::run_test);
    EXPECT_EQ(got.bytes_len, 4u);
    EXPECT_EQ(e.server.receive_fifo.count, 4u);
    EXPECT_EQ(e.server.receiveBody_u32(), 3u);
    EXPECT_EQ(e.server.receive_fifo.count, 0u);
}

TEST(ServerReceive, ABodyArrivingByteByByteIsAssembled) {
    Endpoint e;
    e.wire.send(header(5, 4));
    for (char c : le32(0x01020304)) e.wire.send(std::string(1, c));
    EXPECT_EQ(e.next().tag, Tag::run_test);
    EXPECT_EQ(e.server.receiveBody_u32(), 0x01020304u);
}

TEST(ServerReceive, SeveralMessagesInOneReadAreReturnedOneByOne) {
    Endpoint e;
    const std::string tail = runTest(9);
    // One packet: three whole messages and the first 5 bytes of a fourth.
    e.wire.send(header(4, 0) + runTest(7) + header(0, 0) + tail.substr(0, 5));
    e.wire.send(tail.substr(5));

    EXPECT_EQ(e.next().tag, Tag::query_test_metadata);
    EXPECT_EQ(e.server.receive_fifo.count, 12u + 8u + 5u);
    EXPECT_EQ(e.next().tag, Tag::run_test);
    EXPECT_EQ(e.server.receiveBody_u32(), 7u);
    EXPECT_EQ(e.next().tag, Tag::exit);
    // All three came from the first read: the second packet is untouched.
    EXPECT_TRUE(e.wire.inputPending());
    EXPECT_EQ(e.next().tag, Tag::run_test);
    EXPECT_EQ(e.server.receiveBody_u32(), 9u);
    EXPECT_FALSE(e.wire.inputPending());
}

TEST(ServerReceive, RunTestForIndexThreeIsTheDocumentedTwelveBytes) {
    Endpoint e;
    const char bytes[] = {5, 0, 0, 0, 4, 0, 0, 0, 3, 0, 0, 0};
    e.wire.send(std::string_view(bytes, sizeof bytes));
    const auto got = e.next();
    EXPECT_EQ(got.tag, Tag::run_test);
    EXPECT_EQ(got.bytes_len, 4u);
    EXPECT_EQ(e.server.receiveBody_u32(), 3u);
}

TEST(ServerReceive, IntegersAreLittleEndianAndAnyTagIsPassedOn) {
    Endpoint e;
    e.wire.send(header(0xDEADBEEF, 0) + header(0x01000000, 0));
    EXPECT_EQ(static_cast<u32>(e.next().tag), 0xDEADBEEFu);
    EXPECT_EQ(static_cast<u32>(e.next().tag), 0x01000000u);
}

TEST(ServerReceive, DiscardingTheRestOfABodyKeepsTheNextHeaderFramed) {
    Endpoint e;
    e.wire.send(header(5, 10) + le32(2) + "junkjk" + runTest(6));
    const auto got = e.next();
    EXPECT_EQ(got.bytes_len, 10u);
    EXPECT_EQ(e.server.receiveBody_u32(), 2u);
    e.server.discardBody(got.bytes_len - 4);
    EXPECT_EQ(e.next().tag, Tag::run_test);
    EXPECT_EQ(e.server.receiveBody_u32(), 6u);
}

// ---- end of input and read errors ----

TEST(ServerReceiveEnd, InputClosedBetweenMessagesIsAnOrderlyEndEveryTime) {
    Endpoint e;
    e.wire.send(header(4, 0));
    e.wire.closeInput();
    EXPECT_EQ(e.next().tag, Tag::query_test_metadata);
    for (int i = 0; i < 3; ++i) {
        auto r = e.server.receiveMessage();
        ASSERT_TRUE(r.has_value());
        EXPECT_FALSE(r->has_value());
    }
}

TEST(ServerReceiveEnd, InputClosedInsideAHeaderIsEndOfStreamAndKeepsTheBytes) {
    Endpoint e;
    e.wire.send(header(5, 4).substr(0, 3));
    e.wire.closeInput();
    auto r = e.server.receiveMessage();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::EndOfStream);
    EXPECT_EQ(e.server.receive_fifo.count, 3u);
}

TEST(ServerReceiveEnd, InputClosedInsideABodyIsEndOfStream) {
    Endpoint e;
    e.wire.send(header(5, 4) + "\x01\x02");
    e.wire.closeInput();
    auto r = e.server.receiveMessage();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::EndOfStream);
    EXPECT_EQ(e.server.receive_fifo.count, 10u);
}

TEST(ServerReceiveEnd, AReadErrorIsReturnedAsItsError) {
    Wire wire(Wire::Input::stream);
    u8 storage[512];
    heap::FixedBufferAllocator fba{std::span<u8>(storage)};
    // The write end of the output pipe cannot be read from.
    auto s = Server::init({fba.allocator(), test_version, wire.serverOut(), wire.serverOut()});
    ASSERT_TRUE(s.has_value());
    auto r = s->receiveMessage();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::NotOpenForReading);
    s->deinit();
}

// ---- receive buffer ----

TEST(ServerReceiveBuffer, TheFirstGrowthIs256BytesAndIsReused) {
    Endpoint e;
    e.wire.send(runTest(1));
    e.next();
    (void)e.server.receiveBody_u32();
    const u8* first = e.server.receive_fifo.buf.data();
    EXPECT_EQ(e.server.receive_fifo.buf.size(), 256u);
    for (u32 i = 0; i < 50; ++i) {
        e.wire.send(runTest(i));
        EXPECT_EQ(e.next().tag, Tag::run_test);
        EXPECT_EQ(e.server.receiveBody_u32(), i);
    }
    EXPECT_EQ(e.server.receive_fifo.buf.data(), first);
    EXPECT_EQ(e.server.receive_fifo.buf.size(), 256u);
    EXPECT_EQ(e.fba.end_index, 256u);
}

TEST(ServerReceiveBuffer, ALongBodyGrowsTheStorageToTheNextPowerOfTwo) {
    Endpoint e(Wire::Input::stream);
    std::string body(300, '\0');
    for (usize i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
    e.wire.send(header(1, 300) + body);
    const auto got = e.next();
    EXPECT_EQ(static_cast<u32>(got.tag), 1u);
    EXPECT_EQ(got.bytes_len, 300u);
    EXPECT_EQ(e.server.receive_fifo.buf.size(), 512u);
    EXPECT_EQ(e.body(), body);
}

TEST(ServerReceiveBuffer, GrowthKeepsTheUnreadBytesWhenTheStorageMoves) {
    Endpoint e(Wire::Input::stream);
    e.wire.send(runTest(0));
    e.next();
    (void)e.server.receiveBody_u32();
    const u8* before = e.server.receive_fifo.buf.data();
    // Something allocated after the storage: it can no longer grow in place.
    auto blocker = e.fba.allocator().alloc<u8>(16);
    ASSERT_TRUE(blocker.has_value());
    std::string body(600, '\0');
    for (usize i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 26);
    e.wire.send(header(2, 600) + body);
    EXPECT_EQ(e.next().bytes_len, 600u);
    EXPECT_NE(e.server.receive_fifo.buf.data(), before);
    EXPECT_EQ(e.server.receive_fifo.buf.size(), 1024u);
    EXPECT_EQ(e.body(), body);
}

TEST(ServerReceiveBuffer, UnreadBytesMoveToTheFrontWhenTheTailIsTooShort) {
    Endpoint e(Wire::Input::stream);
    // 20 requests (240 bytes) and the header plus 6 body bytes of a fifth
    // kind of message, all in the first 256-byte read.
    std::string batch;
    for (u32 i = 0; i < 20; ++i) batch += runTest(i);
    const std::string body = "0123456789abcdefghij";
    batch += header(2, 20) + body.substr(0, 6);
    ASSERT_EQ(batch.size(), 254u);
    e.wire.send(batch);
    for (u32 i = 0; i < 20; ++i) {
        ASSERT_EQ(e.next().tag, Tag::run_test);
        ASSERT_EQ(e.server.receiveBody_u32(), i);
    }
    EXPECT_EQ(e.server.receive_fifo.head, 240u);
    EXPECT_EQ(e.server.receive_fifo.count, 14u);
    // 14 more body bytes are wanted; only 2 fit behind the unread run, 242
    // fit in all: the run moves to the front instead of the storage growing.
    e.wire.send(body.substr(6));
    EXPECT_EQ(e.next().bytes_len, 20u);
    EXPECT_EQ(e.server.receive_fifo.buf.size(), 256u);
    EXPECT_EQ(e.server.receive_fifo.head, 8u);
    EXPECT_EQ(e.body(), body);
}

TEST(ServerReceiveBuffer, AnEmptyBufferNearTheEndRestartsAtTheFront) {
    Endpoint e;
    std::string batch;
    for (u32 i = 0; i < 21; ++i) batch += runTest(i);  // 252 bytes
    e.wire.send(batch);
    for (u32 i = 0; i < 21; ++i) {
        e.next();
        (void)e.server.receiveBody_u32();
    }
    EXPECT_EQ(e.server.receive_fifo.head, 252u);
    e.wire.send(runTest(99));
    e.next();
    EXPECT_EQ(e.server.receive_fifo.head, 8u);
    EXPECT_EQ(e.server.receiveBody_u32(), 99u);
    EXPECT_EQ(e.server.receive_fifo.buf.size(), 256u);
}

// The runner's region: 4096 bytes, part of it already used by the command
// line, so the storage tops out at 2048 bytes.
TEST(ServerReceiveBuffer, AMessageOf2048BytesFitsAndOneByteMoreIsOutOfMemory) {
    Endpoint e(Wire::Input::stream);
    auto command_line = e.fba.allocator().alloc<u8>(300);
    ASSERT_TRUE(command_line.has_value());
    const std::string body(2040, 'x');
    e.wire.send(header(1, 2040) + body);
    EXPECT_EQ(e.next().bytes_len, 2040u);
    EXPECT_EQ(e.server.receive_fifo.buf.size(), 2048u);
    e.server.discardBody(2040);

    e.wire.send(header(1, 2041) + std::string(2041, 'y'));
    auto r = e.server.receiveMessage();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::OutOfMemory);
    // What was read stays buffered, header first.
    ASSERT_GE(e.server.receive_fifo.count, 8u);
    EXPECT_EQ(e.body().substr(0, 8), header(1, 2041));
}

TEST(ServerReceiveBuffer, TheLargestLengthIsOutOfMemoryNotAnOverflow) {
    Endpoint e;
    e.wire.send(header(1, 0xFFFFFFFF));
    auto r = e.server.receiveMessage();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::OutOfMemory);
}

TEST(ServerReceiveBuffer, WantedSizesNearTheAddressLimitAreOutOfMemory) {
    u8 storage[256];
    heap::FixedBufferAllocator fba{std::span<u8>(storage)};
    xov::ReceiveFifo fifo{fba.allocator()};
    ASSERT_TRUE(fifo.writableWithSize(8).has_value());
    fifo.update(8);
    auto r = fifo.writableWithSize(~usize{0} - 4);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::OutOfMemory);
    r = fifo.writableWithSize((usize{1} << 63) + 1);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::OutOfMemory);
    EXPECT_EQ(fifo.count, 8u);
    fifo.deinit();
}

// ---- what this side sends ----

TEST(ServerSend, AStringMessageIsItsHeaderAndBytes) {
    Endpoint e;
    ASSERT_TRUE(e.server.serveStringMessage(Server::Message::Tag::emit_bin_path, "abc").has_value());
    ASSERT_TRUE(e.server.serveStringMessage(Server::Message::Tag::error_bundle, "").has_value());
    EXPECT_EQ(e.wire.received(), header(2, 3) + "abc" + header(1, 0));
}

TEST(ServerSend, TestResultsCarryIndexAndFlagBits) {
    using Flags = Server::Message::TestResults::Flags;
    Endpoint e;
    struct Case {
        Flags flags;
        u32 bits;
    } cases[] = {
        {Flags::make(false, false, false, 0), 0x0},
        {Flags::make(true, false, false, 0), 0x1},
        {Flags::make(false, true, false, 0), 0x2},
        {Flags::make(false, false, true, 0), 0x4},
        {Flags::make(true, false, false, 2), 0x11},
        {Flags::make(true, false, true, 1), 13},
        {Flags::make(false, false, false, 0x1FFFFFFF), 0xFFFFFFF8},
        {Flags::make(false, false, false, 0x20000000), 0xFFFFFFF8},
        {Flags::make(false, true, false, u64{1} << 40), 0xFFFFFFFA},
        {Flags::make(false, false, false, ~u64{0}), 0xFFFFFFF8},
    };
    std::string expected;
    u32 index = 0;
    for (const Case& c : cases) {
        EXPECT_EQ(c.flags.bits(), c.bits);
        ASSERT_TRUE(e.server.serveTestResults({index, c.flags}).has_value());
        expected += header(4, 8) + le32(index) + le32(c.bits);
        index += 0x01010101;
    }
    EXPECT_EQ(e.wire.received(), expected);
}

TEST(ServerSend, TestMetadataIsRecordOffsetsPanicOffsetsAndStringTable) {
    Endpoint e;
    const u32 names[] = {1, 5};
    const u32 panics[] = {0, 8};
    const std::string table("\0abc\0de\0oops\0", 13);
    ASSERT_TRUE(e.server
                    .serveTestMetadata({names, panics,
                                        std::span<const u8>(reinterpret_cast<const u8*>(table.data()), table.size())})
                    .has_value());
    EXPECT_EQ(e.wire.received(), header(3, 8 + 16 + 13) + le32(13) + le32(2) + le32(1) + le32(5) + le32(0) +
                                     le32(8) + table);
}

TEST(ServerSend, TestMetadataWithNoTestsIsTheRecordAndTheStringTable) {
    Endpoint e;
    const u8 table[] = {0};
    ASSERT_TRUE(e.server.serveTestMetadata({{}, {}, table}).has_value());
    EXPECT_EQ(e.wire.received(), header(3, 9) + le32(1) + le32(0) + std::string(1, '\0'));
}

TEST(ServerSend, NinePiecesIncludingEmptyOnesGoOutInOrder) {
    Endpoint e;
    const std::string_view texts[] = {"a", "", "bc", "", "", "def", "g", "", "hij"};
    std::span<const u8> pieces[9];
    std::string body;
    for (usize i = 0; i < 9; ++i) {
        pieces[i] = {reinterpret_cast<const u8*>(texts[i].data()), texts[i].size()};
        body += texts[i];
    }
    const Server::Message::Header h{Server::Message::Tag::emit_bin_path, u32(body.size())};
    ASSERT_TRUE(e.server.serveMessage(h, pieces).has_value());
    EXPECT_EQ(e.wire.received(), header(2, u32(body.size())) + body);
}

TEST(ServerSend, EmptyPiecesAtNonUserAddressesAreNotHandedToTheKernel) {
    Endpoint e;
    // What an allocator returns for zero items: no memory behind it.
    const auto* nowhere = reinterpret_cast<const u8*>(~usize{0} & ~usize{3});
    const u8 table[] = {0};
    const std::span<const u32> no_offsets(reinterpret_cast<const u32*>(nowhere), 0);
    ASSERT_TRUE(e.server.serveTestMetadata({no_offsets, no_offsets, table}).has_value());
    EXPECT_EQ(e.wire.received(), header(3, 9) + le32(1) + le32(0) + std::string(1, '\0'));
}

TEST(ServerSend, TenPiecesAreRefusedAndNothingIsWritten) {
    Endpoint e;
    const u8 byte = 'x';
    std::span<const u8> pieces[10];
    for (auto& p : pieces) p = {&byte, 1};
    auto r = e.server.serveMessage({Server::Message::Tag::emit_bin_path, 10}, pieces);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::TooManyPieces);
    EXPECT_EQ(e.wire.received(), "");
}

TEST(ServerSend, AWriteErrorIsReturned) {
    Endpoint e;
    e.wire.closeOutputReader();
    auto r = e.server.serveTestResults({0, {}});
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::BrokenPipe);
}

TEST(ServerSend, AMessageLargerThanThePipeArrivesWhole) {
    Endpoint e;
    std::string big(300000, '\0');
    for (usize i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 + i / 251);
    std::string got;
    std::thread reader([&] {
        const usize want = 8 + big.size();
        while (got.size() < want) {
            got += e.wire.received();
            std::this_thread::yield();
        }
    });
    ASSERT_TRUE(e.server.serveStringMessage(Server::Message::Tag::emit_bin_path, big).has_value());
    reader.join();
    EXPECT_EQ(got, header(2, u32(big.size())) + big);
}

// ---- the gathered-write loop after short writes ----

// Accepts at most `limit` bytes per call, like a pipe with little room.
struct ShortWriter {
    usize limit;
    std::string written;
    std::vector<int> range_counts;
    int fail_on_call = -1;
    Error failure = Error::BrokenPipe;

    Result<usize> operator()(i32, const iovec* iov, int iovcnt) {
        range_counts.push_back(iovcnt);
        if (int(range_counts.size()) - 1 == fail_on_call) return std::unexpected(failure);
        usize taken = 0;
        for (int i = 0; i < iovcnt && taken < limit; ++i) {
            const usize n = std::min(iov[i].iov_len, limit - taken);
            written.append(static_cast<const char*>(iov[i].iov_base), n);
            taken += n;
        }
        return taken;
    }
};

std::vector<iovec> ranges(std::vector<std::string>& parts) {
    std::vector<iovec> v;
    for (auto& p : parts) v.push_back({p.data(), p.size()});
    return v;
}

TEST(ServerGatheredWrite, ShortWritesOfEverySizeContinueWhereTheyStopped) {
    std::vector<std::string> parts = {"HEADER!!", "", "first piece", "x", "", "the last piece", ""};
    std::string all;
    for (auto& p : parts) all += p;
    for (usize limit = 1; limit <= all.size() + 1; ++limit) {
        auto v = ranges(parts);
        ShortWriter w{limit, {}, {}};
        ASSERT_TRUE(xov::writevAll(3, v, w).has_value()) << limit;
        EXPECT_EQ(w.written, all) << limit;
        EXPECT_EQ(w.range_counts.size(), (all.size() + limit - 1) / limit) << limit;
    }
}

TEST(ServerGatheredWrite, RangesWrittenWholeAreNotOfferedAgain) {
    std::vector<std::string> parts = {"12345678", "abcd", "efgh"};
    auto v = ranges(parts);
    ShortWriter w{10, {}, {}};
    ASSERT_TRUE(xov::writevAll(3, v, w).has_value());
    EXPECT_EQ(w.written, "12345678abcdefgh");
    // First call sees all three; the second starts inside "abcd".
    ASSERT_EQ(w.range_counts.size(), 2u);
    EXPECT_EQ(w.range_counts[0], 3);
    EXPECT_EQ(w.range_counts[1], 2);
}

TEST(ServerGatheredWrite, AnErrorAfterAPartialWriteIsReturnedAndTheBytesStayWritten) {
    std::vector<std::string> parts = {"12345678", "abcdefgh"};
    auto v = ranges(parts);
    ShortWriter w{5, {}, {}, 1, Error::ConnectionResetByPeer};
    auto r = xov::writevAll(3, v, w);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::ConnectionResetByPeer);
    EXPECT_EQ(w.written, "12345");
}

TEST(ServerGatheredWrite, AWriteThatTakesNothingIsAnErrorNotASpin) {
    std::vector<std::string> parts = {"12345678"};
    auto v = ranges(parts);
    ShortWriter w{0, {}, {}};
    auto r = xov::writevAll(3, v, w);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::InputOutput);
    EXPECT_EQ(w.range_counts.size(), 1u);
}

// ---- lengths that do not fit the wire ----

using ServerSendDeathTest = ::testing::Test;

TEST_F(ServerSendDeathTest, AStringLongerThan32BitsPanicsAndSendsNothing) {
    Endpoint e;
    static const char byte = 'x';
    // Never dereferenced: the length is rejected first.
    const std::string_view huge(&byte, (usize{1} << 32));
    EXPECT_DEATH((void)e.server.serveStringMessage(Server::Message::Tag::emit_bin_path, huge),
                 "panic: integer cast truncated bits");
    EXPECT_EQ(e.wire.received(), "");
}

TEST_F(ServerSendDeathTest, MetadataWhoseBodyLengthExceeds32BitsPanics) {
    Endpoint e;
    static const u32 offsets[1] = {};
    // 8 + 8 * 2^29 is just past 32 bits; never dereferenced.
    const std::span<const u32> many(offsets, usize{1} << 29);
    EXPECT_DEATH((void)e.server.serveTestMetadata({many, many, {}}), "panic: integer cast truncated bits");
}

}  // namespace
