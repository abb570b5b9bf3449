// The build driver's byte stream, arbitrary: framed by the endpoint,
// decided by the runner's dispatch, answered, and compared message by
// message with a plain model of the protocol. Any disagreement (a request
// lost, an answer to an out-of-protocol message, a different end) aborts.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "memory/allocator.hpp"
#include "runner/xov_server.hpp"

namespace {

using xov::Client;
using xov::Dispatch;
using xov::Server;

// The product's table length and receive-buffer arrangement: a 4 KiB
// fixed buffer that already holds the command line.
constexpr usize tests_len = 10;
constexpr usize command_line_len = 300;
constexpr usize max_message_len = 2048;
constexpr std::string_view version = "0.1.0";

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "server fuzz: %s\n", what);
    std::abort();
}

u32 le32(const u8* p) { return u32{p[0]} | u32{p[1]} << 8 | u32{p[2]} << 16 | u32{p[3]} << 24; }

// What the protocol says happens to each message of the stream, and how
// the session ends.
enum class End { input_closed, end_of_stream, out_of_memory, exit, protocol_error };
struct Expected {
    std::vector<Dispatch> answered;  // serve_metadata and run_test, in order
    std::optional<Dispatch> refused;  // the out-of-protocol message that ended it
    End end = End::input_closed;
};

Expected model(const u8* data, usize size) {
    Expected e;
    usize pos = 0;
    for (;;) {
        const usize rest = size - pos;
        if (rest == 0) return e;
        if (rest < 8) {
            e.end = End::end_of_stream;
            return e;
        }
        const u32 tag = le32(data + pos);
        const u64 len = le32(data + pos + 4);
        if (8 + len > max_message_len) {
            e.end = End::out_of_memory;
            return e;
        }
        if (rest - 8 < len) {
            e.end = End::end_of_stream;
            return e;
        }
        const u8* body = data + pos + 8;
        pos += 8 + len;
        if (tag == 0) {
            e.end = End::exit;
            return e;
        }
        if (tag == 4) {
            e.answered.push_back({Dispatch::Action::serve_metadata});
            continue;
        }
        if (tag == 5) {
            if (len < 4) {
                e.refused = Dispatch{Dispatch::Action::short_run_test_body, static_cast<u32>(len)};
            } else if (le32(body) >= tests_len) {
                e.refused = Dispatch{Dispatch::Action::index_out_of_range, le32(body)};
            } else {
                e.answered.push_back({Dispatch::Action::run_test, le32(body)});
                continue;
            }
        } else {
            e.refused = Dispatch{Dispatch::Action::unsupported_message, tag};
        }
        e.end = End::protocol_error;
        return e;
    }
}

int memfd(const char* name) {
    const int fd = memfd_create(name, MFD_CLOEXEC);
    if (fd < 0) fail("memfd_create");
    return fd;
}

void rewindWith(int fd, const u8* data, usize size) {
    if (ftruncate(fd, 0) != 0) fail("ftruncate");
    usize done = 0;
    while (done < size) {
        const ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) fail("pwrite");
        done += static_cast<usize>(n);
    }
    if (lseek(fd, 0, SEEK_SET) != 0) fail("lseek");
}

std::string contents(int fd) {
    std::string s;
    char buf[4096];
    off_t at = 0;
    for (;;) {
        const ssize_t n = pread(fd, buf, sizeof buf, at);
        if (n <= 0) return s;
        s.append(buf, static_cast<usize>(n));
        at += n;
    }
}

std::string le32String(u32 v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}

// Two tests' worth of table, enough to check the answer's framing.
constexpr u32 names[tests_len] = {1, 3, 1, 3, 1, 3, 1, 3, 1, 3};
constexpr u32 panic_msgs[tests_len] = {};
constexpr u8 string_bytes[] = {0, 'a', 0, 'b', 0};

std::string metadataAnswer() {
    std::string body = le32String(sizeof string_bytes) + le32String(tests_len);
    for (u32 n : names) body += le32String(n);
    for (u32 p : panic_msgs) body += le32String(p);
    body.append(reinterpret_cast<const char*>(string_bytes), sizeof string_bytes);
    return le32String(3) + le32String(static_cast<u32>(body.size())) + body;
}

std::string resultsAnswer(u32 index) { return le32String(4) + le32String(8) + le32String(index) + le32String(0); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8* data, usize size) {
    static const int in = memfd("driver-input");
    static const int out = memfd("runner-output");
    rewindWith(in, data, size);
    rewindWith(out, nullptr, 0);

    alignas(16) static u8 storage[4096];
    heap::FixedBufferAllocator fba{std::span<u8>(storage)};
    if (!fba.allocator().alloc<u8>(command_line_len)) fail("command line allocation");
    auto opened = Server::init({fba.allocator(), version, {in}, {out}});
    if (!opened) fail("init");
    Server server = *opened;

    const Expected expected = model(data, size);
    std::vector<Dispatch> answered;
    std::optional<Dispatch> refused;
    End end;
    for (;;) {
        auto received = server.receiveMessage();
        if (!received) {
            if (received.error() == Error::EndOfStream) {
                end = End::end_of_stream;
            } else if (received.error() == Error::OutOfMemory) {
                end = End::out_of_memory;
            } else {
                fail("unexpected receive error");
            }
            break;
        }
        if (!received->has_value()) {
            end = End::input_closed;
            break;
        }
        const Client::Message::Header header = **received;
        if (server.receive_fifo.count < header.bytes_len) fail("body not buffered whole");
        const auto body = server.receive_fifo.readableSlice().first(header.bytes_len);
        const Dispatch d = xov::dispatch(header, body, tests_len);
        server.discardBody(header.bytes_len);
        if (d.action == Dispatch::Action::exit) {
            end = End::exit;
            break;
        }
        if (d.action == Dispatch::Action::serve_metadata) {
            if (!server.serveTestMetadata({names, panic_msgs, string_bytes})) fail("metadata write");
        } else if (d.action == Dispatch::Action::run_test) {
            if (d.value >= tests_len) fail("run_test index beyond the table");
            if (!server.serveTestResults({d.value, Server::Message::TestResults::Flags::make(false, false, false, 0)}))
                fail("results write");
        } else {
            refused = d;
            end = End::protocol_error;
            break;
        }
        answered.push_back(d);
    }
    server.deinit();

    if (end != expected.end) fail("the session ended differently than the protocol says");
    if (answered.size() != expected.answered.size()) fail("a different number of requests was answered");
    std::string wanted = le32String(0) + le32String(version.size()) + std::string(version);
    for (usize i = 0; i < answered.size(); ++i) {
        if (answered[i].action != expected.answered[i].action || answered[i].value != expected.answered[i].value)
            fail("a request was answered differently");
        wanted += answered[i].action == Dispatch::Action::serve_metadata ? metadataAnswer()
                                                                         : resultsAnswer(answered[i].value);
    }
    if (refused.has_value() != expected.refused.has_value() ||
        (refused && (refused->action != expected.refused->action || refused->value != expected.refused->value)))
        fail("an out-of-protocol message was refused differently");
    if (contents(out) != wanted) fail("the answers on the wire are not the answers given");
    return 0;
}
