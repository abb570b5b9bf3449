// The build-driver endpoint: 8-byte framed messages read from one
// descriptor into a reusable receive buffer, answers written to another as
// single gathered writes.
#pragma once
#include <sys/uio.h>

#include <bit>
#include <optional>
#include <span>
#include <string_view>

#include "memory/allocator.hpp"
#include "support/error.hpp"
#include "support/types.hpp"

namespace xov {

// Records cross the wire in little-endian order; on this host that is
// their memory order and nothing is swapped.
inline constexpr std::endian native_endian = std::endian::native;
inline constexpr bool need_bswap = native_endian != std::endian::little;

constexpr u32 toLittle(u32 value) { return need_bswap ? std::byteswap(value) : value; }

// An open descriptor; the endpoint neither opens nor closes it.
struct File {
    i32 handle;
};

// What the build driver sends.
struct Client {
    struct Message {
        // Any 32-bit value can arrive; values outside the names are passed
        // on unchanged for the runner to reject.
        enum class Tag : u32 {
            exit = 0,
            update = 1,
            run = 2,
            hot_update = 3,
            query_test_metadata = 4,
            run_test = 5,
        };
        struct Header {
            Tag tag;
            u32 bytes_len;
        };
    };
};

// Bytes read and not yet consumed. The unread bytes always lie in one
// contiguous run buf[head .. head + count], so a header or a body can be
// parsed in place; the storage length is 0 or a power of two.
struct ReceiveFifo {
    mem::Allocator allocator;
    std::span<u8> buf{};
    usize head = 0;
    usize count = 0;

    [[nodiscard]] std::span<u8> readableSlice() const { return buf.subspan(head, count); }
    // Drops n unread bytes from the front; the storage stays for reuse.
    void discard(usize n);
    // Free space of at least `wanted` bytes directly after the unread
    // bytes, growing (to the smallest power of two that holds count +
    // wanted) or moving the unread run to the front as needed. OutOfMemory
    // when the storage cannot grow; the unread bytes are kept either way.
    [[nodiscard]] Result<std::span<u8>> writableWithSize(usize wanted);
    // n bytes were written into the free space returned above.
    void update(usize n);
    void deinit();

  private:
    void realign();
};

struct Server {
    struct Message {
        enum class Tag : u32 {
            xov_version = 0,
            error_bundle = 1,
            emit_bin_path = 2,
            test_metadata = 3,
            test_results = 4,
        };
        struct Header {
            Tag tag;
            u32 bytes_len;
        };
        // Leads the test_metadata body; the offset arrays and the string
        // table follow it.
        struct TestMetadata {
            u32 string_bytes_len;
            u32 tests_len;
        };
        struct TestResults {
            // Bit 0 first: the compiler lays bit-fields out from the least
            // significant bit on this target, so the record is the wire word.
            struct Flags {
                u32 fail : 1;
                u32 skip : 1;
                u32 leak : 1;
                u32 log_err_count : 29;

                static constexpr u32 max_log_err_count = (u32{1} << 29) - 1;
                // The count saturates rather than wrapping into the outcome bits.
                static Flags make(bool fail, bool skip, bool leak, u64 log_err_count);
                [[nodiscard]] u32 bits() const;
            };
            u32 index;
            Flags flags;
        };
    };

    struct Options {
        mem::Allocator gpa;
        std::string_view xov_version;
        File in;
        File out;
    };

    // The test list: offsets into string_bytes, one per test in each array.
    struct TestMetadata {
        std::span<const u32> names;
        std::span<const u32> expected_panic_msgs;
        std::span<const u8> string_bytes;
    };

    // Most pieces serveMessage takes after the header.
    static constexpr usize max_pieces = 9;

    ReceiveFifo receive_fifo;
    File in;
    File out;

    // Sends the version message before returning; on a write error nothing
    // is created.
    [[nodiscard]] static Result<Server> init(const Options& options);
    void deinit();

    // The next header, with its whole body buffered at the front of the
    // receive buffer. Empty when the input ended cleanly between messages;
    // EndOfStream when it ended inside one.
    [[nodiscard]] Result<std::optional<Client::Message::Header>> receiveMessage();
    // The next 4 body bytes as a little-endian value.
    [[nodiscard]] u32 receiveBody_u32();
    // Skips body bytes the runner does not read, so that the next header
    // is framed where the driver put it.
    void discardBody(usize len);

    [[nodiscard]] Result<void> serveMessage(Message::Header header, std::span<const std::span<const u8>> bufs);
    [[nodiscard]] Result<void> serveStringMessage(Message::Tag tag, std::string_view msg);
    [[nodiscard]] Result<void> serveTestMetadata(const TestMetadata& test_metadata);
    [[nodiscard]] Result<void> serveTestResults(const Message::TestResults& msg);
};

static_assert(sizeof(Client::Message::Header) == 8);
static_assert(sizeof(Server::Message::Header) == 8);
static_assert(sizeof(Server::Message::TestMetadata) == 8);
static_assert(sizeof(Server::Message::TestResults) == 8);

// What the runner does with one received message, decided from its header
// and its whole buffered body alone, so that every input's answer can be
// checked without running a test or ending the process.
struct Dispatch {
    enum class Action : u8 {
        exit,
        serve_metadata,
        run_test,
        // Out-of-protocol requests: the session ends with status 1.
        unsupported_message,
        short_run_test_body,
        index_out_of_range,
    };
    Action action;
    // run_test / index_out_of_range: the index; unsupported_message: the
    // tag; short_run_test_body: the body length.
    u32 value = 0;
};
// body: the header's bytes_len bytes that follow it.
[[nodiscard]] Dispatch dispatch(Client::Message::Header header, std::span<const u8> body, usize tests_len);

// Writes every byte of `ranges` with as few gathered writes as the
// descriptor allows: after a short write, ranges written whole are
// skipped and the first partly written one is shortened. `ranges` is
// consumed in the process. A write that makes no progress is InputOutput
// rather than a spin. WritevFn: Result<usize>(i32 fd, const iovec*, int).
template <class WritevFn>
[[nodiscard]] Result<void> writevAll(i32 fd, std::span<iovec> ranges, WritevFn&& writev_fn) {
    usize first = 0;
    while (first < ranges.size() && ranges[first].iov_len == 0) first += 1;
    while (first < ranges.size()) {
        usize written = TRY(writev_fn(fd, ranges.data() + first, static_cast<int>(ranges.size() - first)));
        if (written == 0) return XOV_FAIL(Error::InputOutput);
        while (first < ranges.size() && written >= ranges[first].iov_len) {
            written -= ranges[first].iov_len;
            first += 1;
        }
        if (first < ranges.size()) {
            ranges[first].iov_base = static_cast<u8*>(ranges[first].iov_base) + written;
            ranges[first].iov_len -= written;
        }
    }
    return {};
}

}  // namespace xov
