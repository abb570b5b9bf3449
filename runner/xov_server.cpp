// The build-driver endpoint: receive buffer, message framing and the
// messages the runner sends.
#include "runner/xov_server.hpp"

#include <cstring>

#include "support/checked.hpp"
#include "support/panic.hpp"
#include "support/sys.hpp"

namespace xov {

namespace {

constexpr usize header_len = 8;
// Offered to the first read of a header: enough for a batch of requests.
constexpr usize header_read_len = 256;

u32 loadLittle(const u8* bytes) {
    u32 value;
    std::memcpy(&value, bytes, sizeof value);
    return toLittle(value);
}

std::span<const u8> bytesOf(const void* data, usize len) { return {static_cast<const u8*>(data), len}; }

}  // namespace

// ---- receive buffer ----

void ReceiveFifo::discard(usize n) {
    XOV_ASSERT(n <= count);
    head += n;
    count -= n;
}

void ReceiveFifo::realign() {
    if (head == 0) return;
    if (count != 0) std::memmove(buf.data(), buf.data() + head, count);
    head = 0;
}

Result<std::span<u8>> ReceiveFifo::writableWithSize(usize wanted) {
    if (buf.size() - count < wanted) {
        realign();
        usize needed = 0;
        if (__builtin_add_overflow(count, wanted, &needed) || needed > (usize{1} << 63))
            return XOV_FAIL(Error::OutOfMemory);
        buf = TRY(allocator.realloc(buf, std::bit_ceil(needed)));
    } else if (buf.size() - (head + count) < wanted) {
        realign();
    }
    return buf.subspan(head + count);
}

void ReceiveFifo::update(usize n) {
    XOV_ASSERT(n <= buf.size() - (head + count));
    count += n;
}

void ReceiveFifo::deinit() {
    allocator.free(buf);
    buf = {};
    head = 0;
    count = 0;
}

// ---- results word ----

Server::Message::TestResults::Flags Server::Message::TestResults::Flags::make(bool fail, bool skip, bool leak,
                                                                             u64 log_err_count) {
    Flags flags{};
    flags.fail = fail;
    flags.skip = skip;
    flags.leak = leak;
    flags.log_err_count = static_cast<u32>(log_err_count < max_log_err_count ? log_err_count : max_log_err_count);
    return flags;
}

u32 Server::Message::TestResults::Flags::bits() const {
    u32 word;
    std::memcpy(&word, this, sizeof word);
    return word;
}

// ---- endpoint ----

Result<Server> Server::init(const Options& options) {
    Server server{ReceiveFifo{options.gpa}, options.in, options.out};
    TRY(server.serveStringMessage(Message::Tag::xov_version, options.xov_version));
    return server;
}

void Server::deinit() { receive_fifo.deinit(); }

Result<std::optional<Client::Message::Header>> Server::receiveMessage() {
    for (;;) {
        const std::span<const u8> unread = receive_fifo.readableSlice();
        usize wanted = header_read_len;
        if (unread.size() >= header_len) {
            // A header can start at any byte of the storage: read it unaligned.
            const Client::Message::Header header{static_cast<Client::Message::Tag>(loadLittle(unread.data())),
                                                 loadLittle(unread.data() + 4)};
            const usize body_buffered = unread.size() - header_len;
            if (body_buffered >= header.bytes_len) {
                receive_fifo.discard(header_len);
                return header;
            }
            wanted = header.bytes_len - body_buffered;
        }
        const std::span<u8> free_space = TRY(receive_fifo.writableWithSize(wanted));
        const usize got = TRY(sys::read(in.handle, free_space.data(), free_space.size()));
        if (got == 0) {
            // The driver closed its end. Between messages that is an
            // orderly end; inside one, the message is lost.
            if (receive_fifo.count == 0) return std::nullopt;
            return XOV_FAIL(Error::EndOfStream);
        }
        receive_fifo.update(got);
    }
}

Dispatch dispatch(Client::Message::Header header, std::span<const u8> body, usize tests_len) {
    using Action = Dispatch::Action;
    switch (header.tag) {
        case Client::Message::Tag::exit:
            return {Action::exit};
        case Client::Message::Tag::query_test_metadata:
            // No body is defined; one that comes anyway is skipped.
            return {Action::serve_metadata};
        case Client::Message::Tag::run_test: {
            if (body.size() < 4) return {Action::short_run_test_body, static_cast<u32>(body.size())};
            const u32 index = loadLittle(body.data());
            if (index >= tests_len) return {Action::index_out_of_range, index};
            return {Action::run_test, index};
        }
        default:
            return {Action::unsupported_message, static_cast<u32>(header.tag)};
    }
}

u32 Server::receiveBody_u32() {
    XOV_ASSERT(receive_fifo.count >= 4);
    const u32 value = loadLittle(receive_fifo.readableSlice().data());
    receive_fifo.discard(4);
    return value;
}

void Server::discardBody(usize len) { receive_fifo.discard(len); }

Result<void> Server::serveMessage(Message::Header header, std::span<const std::span<const u8>> bufs) {
    if (bufs.size() > max_pieces) return XOV_FAIL(Error::TooManyPieces);
    const Message::Header wire_header{static_cast<Message::Tag>(toLittle(static_cast<u32>(header.tag))),
                                      toLittle(header.bytes_len)};
    iovec ranges[1 + max_pieces];
    usize range_count = 0;
    ranges[range_count++] = {const_cast<Message::Header*>(&wire_header), sizeof wire_header};
    // Empty pieces carry nothing and are left out: the pointer of an empty
    // allocation need not be a user address, and the kernel rejects the
    // whole write (EFAULT) for such a range even at length 0.
    for (const std::span<const u8> piece : bufs)
        if (!piece.empty()) ranges[range_count++] = {const_cast<u8*>(piece.data()), piece.size()};
    TRY(writevAll(out.handle, std::span<iovec>(ranges, range_count),
                  [](i32 fd, const iovec* iov, int iovcnt) { return sys::writev(fd, iov, iovcnt); }));
    return {};
}

Result<void> Server::serveStringMessage(Message::Tag tag, std::string_view msg) {
    const std::span<const u8> pieces[] = {bytesOf(msg.data(), msg.size())};
    // The wire carries lengths in 32 bits; a longer one is a bug of the caller.
    TRY(serveMessage({tag, checked::intCast<u32>(msg.size())}, pieces));
    return {};
}

Result<void> Server::serveTestMetadata(const TestMetadata& test_metadata) {
    // The offset arrays go out as they lie in memory.
    static_assert(!need_bswap, "offset arrays would need swapping on this host");
    XOV_ASSERT(test_metadata.expected_panic_msgs.size() == test_metadata.names.size());
    const u32 tests_len = checked::intCast<u32>(test_metadata.names.size());
    const u32 string_bytes_len = checked::intCast<u32>(test_metadata.string_bytes.size());
    const u32 bytes_len = checked::intCast<u32>(u64{sizeof(Message::TestMetadata)} + u64{8} * tests_len + string_bytes_len);
    const Message::TestMetadata record{toLittle(string_bytes_len), toLittle(tests_len)};
    const std::span<const u8> pieces[] = {
        bytesOf(&record, sizeof record),
        bytesOf(test_metadata.names.data(), test_metadata.names.size_bytes()),
        bytesOf(test_metadata.expected_panic_msgs.data(), test_metadata.expected_panic_msgs.size_bytes()),
        test_metadata.string_bytes,
    };
    TRY(serveMessage({Message::Tag::test_metadata, bytes_len}, pieces));
    return {};
}

Result<void> Server::serveTestResults(const Message::TestResults& msg) {
    const u32 wire[2] = {toLittle(msg.index), toLittle(msg.flags.bits())};
    const std::span<const u8> pieces[] = {bytesOf(wire, sizeof wire)};
    TRY(serveMessage({Message::Tag::test_results, sizeof wire}, pieces));
    return {};
}

}  // namespace xov
