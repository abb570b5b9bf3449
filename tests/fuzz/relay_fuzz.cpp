// Arbitrary bytes on a child process's relay pipe, arriving over several
// frames: every snapshot must stay inside the tables with parents that
// point inside the snapshot, and every frame drawn from it must fit its
// buffer. Each snapshot is also relayed to a parent pipe of one page that
// is never read while the frames run. The first input byte says how the
// rest is cut into frames, how large the terminal is, whether both pipes
// are in blocking mode on our side (the relay must never wait on them),
// and whether both readers' partners hang up: the child closes its end
// after its last bytes (one more frame reads the end of file) and the
// parent closes its end after the first message (every later send must
// be BrokenPipe). The same bytes, read as the XOV_PROGRESS value a parent
// hands down, must parse exactly as an unsigned decimal of at most 31 bits.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "progress/internal.hpp"

namespace {

using Progress::Node;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "relay fuzz: %s\n", what);
    std::abort();
}

struct Pipe {
    int read_end = -1;
    int write_end = -1;

    void closeRead() {
        if (read_end >= 0) close(read_end);
        read_end = -1;
    }
    void closeWrite() {
        if (write_end >= 0) close(write_end);
        write_end = -1;
    }
};

Pipe openPipe(usize capacity) {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) fail("pipe2");
    (void)fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(capacity));
    return {fds[0], fds[1]};
}

void makeBlocking(int fd) {
    if (fcntl(fd, F_SETFL, 0) != 0) fail("fcntl");
}

// What the parent finds in its pipe: whole messages only, each with the
// root first.
void checkParentStream(int fd) {
    static u8 bytes[1 << 16];
    usize len = 0;
    for (ssize_t n; len < sizeof bytes && (n = read(fd, bytes + len, sizeof bytes - len)) > 0;)
        len += static_cast<usize>(n);
    if (len == 0) fail("the first message did not reach an empty parent pipe");
    for (usize at = 0; at < len;) {
        const usize n = bytes[at];
        if (n == 0 || n > Progress::node_capacity) fail("a parent message with a bad node count");
        if (at + 1 + 49 * n > len) fail("a cut message in the parent pipe");
        if (std::strncmp(reinterpret_cast<const char*>(bytes + at + 1 + 8), "fuzz", 5) != 0)
            fail("a parent message without its root");
        at += 1 + 49 * n;
    }
}

void checkSnapshot(const Progress::Serialized& s) {
    if (s.parents.size() != s.storage.size()) fail("parents and records differ in length");
    if (s.parents.size() > Progress::node_capacity) fail("snapshot longer than the tables");
    for (usize k = 0; k < s.parents.size(); ++k) {
        const Node::Parent p = s.parents[k];
        if (p == Node::Parent::none) continue;
        if (p == Node::Parent::unused) fail("an unused parent in a snapshot");
        if (static_cast<u8>(p) >= s.parents.size()) fail("a parent outside the snapshot");
    }
}

// The environment value as text, checked against a plain reading of it.
void checkIpcFdText(std::string_view text) {
    const Result<u32> parsed = Progress::parseIpcFd(text);
    if (text.empty()) {
        if (parsed || parsed.error() != Error::InvalidCharacter) fail("an empty descriptor was accepted");
        return;
    }
    u64 value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            if (parsed || parsed.error() != Error::InvalidCharacter) fail("a non-digit was accepted");
            return;
        }
        value = value * 10 + static_cast<u64>(c - '0');
        if (value > 0x7FFF'FFFF) {
            if (parsed || parsed.error() != Error::Overflow) fail("a descriptor above 31 bits was accepted");
            return;
        }
    }
    if (!parsed || *parsed != value) fail("a valid descriptor was read wrong");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8* data, usize size) {
    checkIpcFdText(std::string_view(reinterpret_cast<const char*>(data), size < 16 ? size : 16));
    if (size < 1) return 0;
    const u8 control = data[0];
    data += 1;
    size -= 1;
    const usize frames = 1 + (control & 3);
    const u16 rows = static_cast<u16>((control >> 2) & 7) * 4;
    const u16 cols = (control & 0x20) != 0 ? 0 : 80;
    const bool blocking = (control & 0x40) != 0;
    const bool hang_up = (control & 0x80) != 0;

    // A hang-up must end the relay with an error value, not the process.
    static const bool sigpipe_ignored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;
    if (!sigpipe_ignored) fail("signal");

    Progress::resetForTesting();
    // Room for a whole fuzz input, so each frame's bytes are all there.
    Pipe child = openPipe(1 << 20);
    // One page: the first message fills it; later ones find it full.
    Pipe parent = openPipe(4096);
    if (blocking) {
        makeBlocking(child.read_end);
        makeBlocking(parent.write_end);
    }

    const Node root = Progress::initTree("fuzz", 3);
    const Node sibling = root.start("before the relay", 7);
    const Node relay = root.startRelay("child", child.read_end);

    static Progress::Serialized::Buffer buffer;
    static char draw[4096];
    usize at = 0;
    const usize total_frames = frames + (hang_up ? 1 : 0);
    for (usize f = 0; f < total_frames; ++f) {
        if (f < frames) {
            const usize chunk = f + 1 == frames ? size - at : (size - at) / (frames - f);
            if (chunk > 0) {
                const ssize_t n = write(child.write_end, data + at, chunk);
                if (n != static_cast<ssize_t>(chunk)) fail("pipe write");
            }
            at += chunk;
        }
        if (hang_up && f + 1 == frames) child.closeWrite();
        const Progress::Serialized s = Progress::serialize(buffer);
        checkSnapshot(s);
        if (s.storage.empty() || std::strncmp(s.storage[0].name, "fuzz", 5) != 0) fail("the root was lost");
        const Progress::Frame frame = Progress::composeFrame(draw, s, rows, cols);
        if (frame.bytes.data() != draw || frame.bytes.size() > sizeof draw) fail("frame outside its buffer");

        const Result<void> sent = Progress::writeIpc(parent.write_end, s);
        if (parent.read_end >= 0) {
            if (!sent) fail("a send to an open parent pipe failed");
            if (Progress::remaining_write_trash_bytes != 0) fail("a pipe took part of a message");
        } else if (sent || sent.error() != Error::BrokenPipe) {
            fail("a send to a parent that hung up was not BrokenPipe");
        }
        if (hang_up && f == 0) {
            checkParentStream(parent.read_end);
            parent.closeRead();
        }
    }
    if (!hang_up) checkParentStream(parent.read_end);
    relay.end();
    sibling.end();
    child.closeRead();
    child.closeWrite();
    parent.closeRead();
    parent.closeWrite();
    Progress::resetForTesting();
    return 0;
}
