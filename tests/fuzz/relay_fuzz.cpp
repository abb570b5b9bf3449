// Arbitrary bytes on a child process's relay pipe, arriving over several
// frames: every snapshot must stay inside the tables with parents that
// point inside the snapshot, and every frame drawn from it must fit its
// buffer. The first input byte says how the rest is cut into frames and
// how large the terminal is. The same bytes, read as the XOV_PROGRESS
// value a parent hands down, must parse exactly as an unsigned decimal of
// at most 31 bits.
#include <fcntl.h>
#include <unistd.h>

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
};

Pipe openPipe() {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) fail("pipe2");
    // Room for a whole fuzz input, so each frame's bytes are all there.
    (void)fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
    return {fds[0], fds[1]};
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

    Progress::resetForTesting();
    static const Pipe pipe = openPipe();
    // Leftovers of the previous input would make runs depend on each other.
    char drain[4096];
    while (read(pipe.read_end, drain, sizeof drain) > 0) {
    }

    const Node root = Progress::initTree("fuzz", 3);
    const Node sibling = root.start("before the relay", 7);
    const Node relay = root.startRelay("child", pipe.read_end);

    static Progress::Serialized::Buffer buffer;
    static char draw[4096];
    usize at = 0;
    for (usize f = 0; f < frames; ++f) {
        const usize chunk = f + 1 == frames ? size - at : (size - at) / (frames - f);
        if (chunk > 0) {
            const ssize_t n = write(pipe.write_end, data + at, chunk);
            if (n != static_cast<ssize_t>(chunk)) fail("pipe write");
        }
        at += chunk;
        const Progress::Serialized s = Progress::serialize(buffer);
        checkSnapshot(s);
        if (s.storage.empty() || std::strncmp(s.storage[0].name, "fuzz", 5) != 0) fail("the root was lost");
        const Progress::Frame frame = Progress::composeFrame(draw, s, rows, cols);
        if (frame.bytes.data() != draw || frame.bytes.size() > sizeof draw) fail("frame outside its buffer");
    }
    relay.end();
    sibling.end();
    Progress::resetForTesting();
    return 0;
}
