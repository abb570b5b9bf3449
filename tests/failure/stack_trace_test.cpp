// Stack-trace text byte for byte, the stack walk, capture and colour
// choice.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <csetjmp>
#include <cstdlib>
#include <thread>
#include <fstream>
#include <string>
#include <vector>

#include "failure/panic.hpp"
#include "failure/stack_trace.hpp"
#include "tests/failure/function_name.hpp"
#include "tests/runner/stderr_capture.hpp"

namespace {

using io::tty::Config;
using test_support::functionAtReturnAddress;

struct StringWriter final : Writer {
    std::string text;
    Result<void> writeAll(std::string_view bytes) override {
        text.append(bytes);
        return {};
    }
};

class SourceFile {
  public:
    explicit SourceFile(const std::string& contents) {
        char path[] = "/tmp/trace_source_XXXXXX";
        const int fd = mkstemp(path);
        (void)!write(fd, contents.data(), contents.size());
        close(fd);
        path_ = path;
    }
    ~SourceFile() { unlink(path_.c_str()); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

std::string entry(const std::string& file, u64 line, u64 column, Config config = Config::no_color) {
    StringWriter w;
    const debug::LineInfo info{line, column, file};
    EXPECT_TRUE(debug::printLineInfo(w, info, 0x10, "fn", "cu", config).has_value());
    return w.text;
}

const std::string sample_source = "first\n\tint\tx = 1;\nthird line\nlast without newline";

TEST(TraceEntry, ColumnSeventeenGivesLocationSourceAndCaretLines) {
    SourceFile f("0123456789abcdefghij\n");
    EXPECT_EQ(entry(f.path(), 1, 17),
              f.path() + ":1:17: 0x10 in fn (cu)\n0123456789abcdefghij\n" + std::string(16, ' ') + "^\n");
}

TEST(TraceEntry, ColumnOneIsJustTheCaretAndColumnZeroAnEmptyLine) {
    SourceFile f(sample_source);
    EXPECT_EQ(entry(f.path(), 3, 1), f.path() + ":3:1: 0x10 in fn (cu)\nthird line\n^\n");
    EXPECT_EQ(entry(f.path(), 3, 0), f.path() + ":3:0: 0x10 in fn (cu)\nthird line\n\n");
}

TEST(TraceEntry, TabsPrintAsOneSpaceSoTheCaretStaysAligned) {
    SourceFile f(sample_source);
    EXPECT_EQ(entry(f.path(), 2, 6), f.path() + ":2:6: 0x10 in fn (cu)\n int x = 1;\n     ^\n");
}

TEST(TraceEntry, LastLineWithoutNewlineStillEndsWithOne) {
    SourceFile f(sample_source);
    EXPECT_EQ(entry(f.path(), 4, 2), f.path() + ":4:2: 0x10 in fn (cu)\nlast without newline\n ^\n");
}

TEST(TraceEntry, LineBeyondTheEndOrMissingFileGivesTheFirstLineOnly) {
    SourceFile f(sample_source);
    EXPECT_EQ(entry(f.path(), 5, 3), f.path() + ":5:3: 0x10 in fn (cu)\n");
    EXPECT_EQ(entry(f.path(), 99, 3), f.path() + ":99:3: 0x10 in fn (cu)\n");
    EXPECT_EQ(entry("/nonexistent/dir/file.cpp", 1, 1), "/nonexistent/dir/file.cpp:1:1: 0x10 in fn (cu)\n");
}

TEST(TraceEntry, LinesAcrossChunkBoundaries) {
    // Line 1 ends exactly at the first chunk's last byte; line 3 spans two
    // chunks; line 4 is the rest.
    const std::string line1(4095, 'a');
    const std::string line2 = "second";
    const std::string line3 = std::string(3000, 'c') + std::string(3000, 'd');
    SourceFile f(line1 + "\n" + line2 + "\n" + line3 + "\n" + "four");
    // Lines this long are shown cut.
    const std::string cut = " [cut]";
    EXPECT_EQ(entry(f.path(), 1, 0), f.path() + ":1:0: 0x10 in fn (cu)\n" + line1.substr(0, 1024) + cut + "\n\n");
    EXPECT_EQ(entry(f.path(), 2, 0), f.path() + ":2:0: 0x10 in fn (cu)\n" + line2 + "\n\n");
    EXPECT_EQ(entry(f.path(), 3, 0), f.path() + ":3:0: 0x10 in fn (cu)\n" + line3.substr(0, 1024) + cut + "\n\n");
    EXPECT_EQ(entry(f.path(), 4, 0), f.path() + ":4:0: 0x10 in fn (cu)\nfour\n\n");
    // A file of exactly one full chunk with no newline at all.
    SourceFile g(std::string(4096, 'x'));
    EXPECT_EQ(entry(g.path(), 1, 0), g.path() + ":1:0: 0x10 in fn (cu)\n" + std::string(1024, 'x') + cut + "\n\n");
}

TEST(TraceEntry, AColumnPastTheLineEndPutsTheCaretJustAfterIt) {
    SourceFile f(sample_source);
    EXPECT_EQ(entry(f.path(), 3, 4000000000u), f.path() + ":3:4000000000: 0x10 in fn (cu)\nthird line\n" +
                                                   std::string(10, ' ') + "^\n");
    EXPECT_EQ(entry(f.path(), 3, 11), f.path() + ":3:11: 0x10 in fn (cu)\nthird line\n" + std::string(10, ' ') + "^\n");
}

TEST(TraceEntry, LineZeroGivesTheLocationLineAlone) {
    // Compiler-generated code: there is no source line to quote, not even
    // the file's first (which reading "line 0" would find).
    SourceFile f(sample_source);
    EXPECT_EQ(entry(f.path(), 0, 0), f.path() + ":0:0: 0x10 in fn (cu)\n");
    EXPECT_EQ(entry(f.path(), 0, 5), f.path() + ":0:5: 0x10 in fn (cu)\n");
    EXPECT_EQ(entry(f.path(), 0, 5, Config::escape_codes),
              "\x1b[1m" + f.path() + ":0:5\x1b[0m: \x1b[2m0x10 in fn (cu)\x1b[0m\n");
}

TEST(TraceEntry, ADirectoryGivesNoSourceLineButWriterErrorsAreReturned) {
    // A directory opens but cannot be read: the entry ends after its
    // location line, as for a missing file, and the trace goes on.
    StringWriter w;
    const debug::LineInfo info{1, 1, "/tmp"};
    ASSERT_TRUE(debug::printLineInfo(w, info, 0x10, "fn", "cu", Config::no_color).has_value());
    EXPECT_EQ(w.text, "/tmp:1:1: 0x10 in fn (cu)\n");
    // The writer failing on the source line is not a file's fault.
    SourceFile f(sample_source);
    char small[64];
    FixedBufferWriter fixed(std::span<char>(small, f.path().size() + 30));
    auto printed = debug::printLineInfo(fixed, debug::LineInfo{3, 1, f.path()}, 0x10, "fn", "cu", Config::no_color);
    ASSERT_FALSE(printed.has_value());
    EXPECT_EQ(printed.error(), Error::NoSpaceLeft);
}

TEST(TraceEntry, ALineLongerThanTheShownMaximumIsCutWithAMarkerAndTheCaretStaysOnIt) {
    const std::string marker = " [cut]";
    SourceFile f(std::string(3000, 'a') + "\n" + std::string(1024, 'b') + "\n" + std::string(1024, 'c') +
                 "\r\n" + std::string(1025, 'd') + "\n" + std::string(5000, 'e'));
    EXPECT_EQ(entry(f.path(), 1, 10), f.path() + ":1:10: 0x10 in fn (cu)\n" + std::string(1024, 'a') + marker +
                                          "\n" + std::string(9, ' ') + "^\n");
    // A column in the part not shown points at the marker.
    EXPECT_EQ(entry(f.path(), 1, 2500), f.path() + ":1:2500: 0x10 in fn (cu)\n" + std::string(1024, 'a') + marker +
                                            "\n" + std::string(1024, ' ') + "^\n");
    // Exactly the maximum, with or without a CR before the newline, is
    // whole; one byte more is cut.
    EXPECT_EQ(entry(f.path(), 2, 0), f.path() + ":2:0: 0x10 in fn (cu)\n" + std::string(1024, 'b') + "\n\n");
    EXPECT_EQ(entry(f.path(), 3, 0), f.path() + ":3:0: 0x10 in fn (cu)\n" + std::string(1024, 'c') + "\n\n");
    EXPECT_EQ(entry(f.path(), 4, 0), f.path() + ":4:0: 0x10 in fn (cu)\n" + std::string(1024, 'd') + marker + "\n\n");
    // The last line, without a newline.
    EXPECT_EQ(entry(f.path(), 5, 0), f.path() + ":5:0: 0x10 in fn (cu)\n" + std::string(1024, 'e') + marker + "\n\n");
}

TEST(TraceEntry, ACutNeverSplitsAUtf8Sequence) {
    // "x" and 600 two-byte letters: the 512th letter would straddle the
    // maximum, so 511 are shown.
    std::string letters;
    for (int i = 0; i < 600; ++i) letters += "\xc3\xa9";
    SourceFile f("x" + letters + "\n");
    EXPECT_EQ(entry(f.path(), 1, 0), f.path() + ":1:0: 0x10 in fn (cu)\nx" + letters.substr(0, 1022) + " [cut]\n\n");
}

TEST(TraceEntry, ControlBytesShowAsHexEscapesAndTheCaretCountsThem) {
    // ESC would recolour the terminal, CR would overwrite the line; tabs
    // stay one space and a CR ending the line is part of its ending.
    SourceFile f(std::string("a\x1b[31mb\x7f\tc\x00\rd\x01\r\n", 16) + "next\r\n");
    EXPECT_EQ(entry(f.path(), 1, 7), f.path() + ":1:7: 0x10 in fn (cu)\na\\x1b[31mb\\x7f c\\x00\\x0dd\\x01\n" +
                                         std::string(9, ' ') + "^\n");
    EXPECT_EQ(entry(f.path(), 1, 11), f.path() + ":1:11: 0x10 in fn (cu)\na\\x1b[31mb\\x7f c\\x00\\x0dd\\x01\n" +
                                          std::string(16, ' ') + "^\n");
    EXPECT_EQ(entry(f.path(), 2, 5), f.path() + ":2:5: 0x10 in fn (cu)\nnext\n" + std::string(4, ' ') + "^\n");
    // Escapes count towards the maximum: 300 ESC bytes show 256 of them.
    SourceFile g(std::string(300, '\x1b') + "\n");
    std::string escaped;
    for (int i = 0; i < 256; ++i) escaped += "\\x1b";
    EXPECT_EQ(entry(g.path(), 1, 0), g.path() + ":1:0: 0x10 in fn (cu)\n" + escaped + " [cut]\n\n");
}

// Bytes this process has read through read system calls so far.
u64 bytesReadSoFar() {
    std::ifstream io("/proc/self/io");
    std::string key;
    u64 value = 0;
    while (io >> key >> value)
        if (key == "rchar:") return value;
    ADD_FAILURE() << "no rchar in /proc/self/io";
    return 0;
}

TEST(TraceEntry, EntriesOfOneReportReadABigSourceFileThroughOnce) {
    // A 64 MiB sparse file: 15 MiB of zero bytes as line 1, three short
    // lines, and the rest zero bytes again. Without what the report
    // remembers, each entry would read up to 15 MiB again.
    char path[] = "/tmp/trace_source_big_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string lines = "\nalpha\n\tbeta\ngamma\n";
    ASSERT_EQ(pwrite(fd, lines.data(), lines.size(), 15 << 20), static_cast<ssize_t>(lines.size()));
    ASSERT_EQ(ftruncate(fd, 64 << 20), 0);
    close(fd);
    const std::string file = path;
    std::string zeros;
    for (int i = 0; i < 256; ++i) zeros += "\\x00";
    const std::string texts[] = {"alpha\n", " beta\n", "gamma\n", zeros + " [cut]\n"};

    debug::SourceFiles files;
    const u64 before = bytesReadSoFar();
    for (u64 i = 0; i < 120; ++i) {
        const u64 line = 2 + (i * 7 + i / 5) % 4;
        StringWriter w;
        ASSERT_TRUE(debug::printLineInfo(w, debug::LineInfo{line, 0, file}, 0x10, "fn", "cu", Config::no_color, files)
                        .has_value());
        ASSERT_EQ(w.text, file + ":" + std::to_string(line) + ":0: 0x10 in fn (cu)\n" + texts[line - 2] + "\n") << i;
    }
    const u64 read = bytesReadSoFar() - before;
    unlink(path);
    EXPECT_LT(read, u64{17} << 20);
}

TEST(TraceEntry, EntriesOfOneReportFindEarlierLinesAgain) {
    // Line 1 and lines that start a remembered stretch are found again
    // after later lines were sought.
    std::string contents;
    for (int i = 1; i <= 40000; ++i) contents += "line " + std::to_string(i) + "\n";
    SourceFile f(contents);
    debug::SourceFiles files;
    for (const u64 line : {40000u, 1u, 39999u, 2u, 1u, 20000u, 12345u, 40002u, 7u}) {
        StringWriter w;
        ASSERT_TRUE(debug::printLineInfo(w, debug::LineInfo{line, 0, f.path()}, 0x10, "fn", "cu", Config::no_color,
                                         files)
                        .has_value());
        const std::string text = line <= 40000 ? "line " + std::to_string(line) + "\n\n" : "";
        EXPECT_EQ(w.text, f.path() + ":" + std::to_string(line) + ":0: 0x10 in fn (cu)\n" + text) << line;
    }
}

TEST(StoredTrace, WriterErrorsEndThePrintingAndAreReturned) {
    usize addresses[3] = {0x11, 0x12, 0x13};
    auto info = debug::getSelfDebugInfo();
    ASSERT_TRUE(info.has_value());
    char small[40];
    FixedBufferWriter w(small);
    auto written = debug::writeStackTrace(StackTrace{3, addresses}, w, **info, Config::no_color);
    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error(), Error::NoSpaceLeft);
    EXPECT_EQ(w.written(), std::string_view("???:?:?: 0x10 in ??? (??\?)\n???:?:?: 0x11"));  // 40 bytes
}

TEST(TraceEntry, ColouredEntryPutsEscapesExactlyAroundEachPart) {
    SourceFile f(sample_source);
    EXPECT_EQ(entry(f.path(), 3, 2, Config::escape_codes),
              "\x1b[1m" + f.path() + ":3:2\x1b[0m: \x1b[2m0x10 in fn (cu)\x1b[0m\nthird line\n \x1b[32m^\x1b[0m\n");
}

TEST(TraceEntry, UnknownSourceForm) {
    StringWriter w;
    ASSERT_TRUE(debug::printLineInfo(w, std::nullopt, 0xabc, "???", "mod", Config::no_color).has_value());
    EXPECT_EQ(w.text, "???:?:?: 0xabc in ??? (mod)\n");
    StringWriter c;
    ASSERT_TRUE(debug::printLineInfo(c, std::nullopt, 0xabc, "???", "mod", Config::escape_codes).has_value());
    EXPECT_EQ(c.text, "\x1b[1m???:?:?\x1b[0m: \x1b[2m0xabc in ??? (mod)\x1b[0m\n");
}

TEST(TraceEntry, ColourTable) {
    StringWriter w;
    for (auto color : {io::tty::Color::black, io::tty::Color::white, io::tty::Color::bright_black,
                       io::tty::Color::bright_white, io::tty::Color::dim, io::tty::Color::bold, io::tty::Color::reset})
        ASSERT_TRUE(io::tty::setColor(Config::escape_codes, w, color).has_value());
    EXPECT_EQ(w.text, "\x1b[30m\x1b[37m\x1b[90m\x1b[97m\x1b[2m\x1b[1m\x1b[0m");
    StringWriter none;
    ASSERT_TRUE(io::tty::setColor(Config::no_color, none, io::tty::Color::red).has_value());
    EXPECT_EQ(none.text, "");
}

// Addresses in no module resolve to the unknown-source form naming no
// module, which makes whole traces comparable byte for byte.
TEST(StoredTrace, TwelveAddressesInTenSlotsPrintTenEntriesAndTheSkippedLine) {
    usize addresses[10];
    for (usize i = 0; i < 10; ++i) addresses[i] = 0x11 + i;
    const StackTrace trace{12, addresses};
    auto info = debug::getSelfDebugInfo();
    ASSERT_TRUE(info.has_value());
    std::string expected;
    for (usize i = 0; i < 10; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "???:?:?: 0x%zx in ??? (??\?)\n", 0x10 + i);
        expected += line;
    }
    StringWriter plain;
    ASSERT_TRUE(debug::writeStackTrace(trace, plain, **info, Config::no_color).has_value());
    EXPECT_EQ(plain.text, expected + "(2 additional stack frames skipped...)\n");

    StringWriter coloured;
    ASSERT_TRUE(debug::writeStackTrace(trace, coloured, **info, Config::escape_codes).has_value());
    EXPECT_TRUE(coloured.text.ends_with("\x1b[1m(2 additional stack frames skipped...)\n\x1b[0m")) << coloured.text;
}

TEST(StoredTrace, IndexZeroPrintsNothingAndFormatAddsTheLeadingNewline) {
    usize addresses[4] = {};
    auto info = debug::getSelfDebugInfo();
    ASSERT_TRUE(info.has_value());
    StringWriter w;
    ASSERT_TRUE(debug::writeStackTrace(StackTrace{0, addresses}, w, **info, Config::no_color).has_value());
    EXPECT_EQ(w.text, "");

    addresses[0] = 0x21;
    setenv("NO_COLOR", "1", 1);
    char buf[256];
    auto formatted = fmt::bufPrint(buf, "trace:{}", StackTrace{1, addresses});
    unsetenv("NO_COLOR");
    ASSERT_TRUE(formatted.has_value());
    EXPECT_EQ(*formatted, "trace:\n???:?:?: 0x20 in ??? (??\?)\n");
}

TEST(UnwindMessages, MissingInformationAndOtherErrorsInDim) {
    auto info = debug::getSelfDebugInfo();
    ASSERT_TRUE(info.has_value());
    StringWriter w;
    debug::printUnwindError(**info, w, 0x10, Error::MissingDebugInfo, Config::no_color);
    EXPECT_EQ(w.text, "Unwind information for `???:0x10` was not available, trace may be incomplete\n\n");
    StringWriter c;
    debug::printUnwindError(**info, c, 0x10, Error::InvalidCFA, Config::escape_codes);
    EXPECT_EQ(c.text, "\x1b[2mUnwind error at address `???:0x10` (error.InvalidCFA), trace may be incomplete\n\n\x1b[0m");
}

// ---------------------------------------------------------------------------
// Walking and capturing

[[gnu::noinline]] void captureInner(StackTrace* trace, usize first_address) {
    debug::captureStackTrace(first_address, trace);
    __asm__ volatile("" ::: "memory");
}
[[gnu::noinline]] void captureMiddle(StackTrace* trace, usize first_address) {
    captureInner(trace, first_address);
    __asm__ volatile("" ::: "memory");
}
[[gnu::noinline]] void captureOuter(StackTrace* trace, usize first_address) {
    captureMiddle(trace, first_address);
    __asm__ volatile("" ::: "memory");
}

TEST(Capture, WalksFramePointersFromTheCallerOutwards) {
    usize addresses[16] = {};
    StackTrace trace{0, addresses};
    captureOuter(&trace, 0);
    ASSERT_GE(trace.index, 4u);
    EXPECT_EQ(functionAtReturnAddress(addresses[0]), "(anonymous namespace)::captureInner");
    EXPECT_EQ(functionAtReturnAddress(addresses[1]), "(anonymous namespace)::captureMiddle");
    EXPECT_EQ(functionAtReturnAddress(addresses[2]), "(anonymous namespace)::captureOuter");
}

usize outer_frame = 0;

[[gnu::noinline]] void captureFromOuterFrame(StackTrace* trace, usize first_address) {
    debug::captureStackTraceFrom(outer_frame, first_address, trace);
    __asm__ volatile("" ::: "memory");
}
[[gnu::noinline]] void keepsItsFrame(StackTrace* trace, usize first_address) {
    outer_frame = reinterpret_cast<usize>(__builtin_frame_address(0));
    captureFromOuterFrame(trace, first_address);
    __asm__ volatile("" ::: "memory");
}
// Both ways from the same first address, its caller's call.
[[gnu::noinline]] void captureBothWays(StackTrace* inner, StackTrace* outer) {
    const usize first = reinterpret_cast<usize>(__builtin_return_address(0));
    debug::captureStackTrace(first, inner);
    keepsItsFrame(outer, first);
    __asm__ volatile("" ::: "memory");
}
[[gnu::noinline]] void bothWaysMiddle(StackTrace* inner, StackTrace* outer) {
    captureBothWays(inner, outer);
    __asm__ volatile("" ::: "memory");
}
[[gnu::noinline]] void bothWaysOuter(StackTrace* inner, StackTrace* outer) {
    bothWaysMiddle(inner, outer);
    __asm__ volatile("" ::: "memory");
}

// From a frame above the caller's, the walk gives the same trace as from
// captureStackTrace's own frame, having stepped through fewer frames.
TEST(Capture, FromAGivenFrameAboveTheCallerGivesTheSameTrace) {
    usize from_inner[16] = {};
    StackTrace inner{0, from_inner};
    usize from_outer[16] = {};
    StackTrace outer{0, from_outer};
    bothWaysOuter(&inner, &outer);
    ASSERT_GE(inner.index, 2u);
    EXPECT_EQ(functionAtReturnAddress(from_inner[0]), "(anonymous namespace)::bothWaysMiddle");
    EXPECT_EQ(functionAtReturnAddress(from_inner[1]), "(anonymous namespace)::bothWaysOuter");
    ASSERT_EQ(outer.index, inner.index);
    for (usize i = 0; i < inner.index; ++i) EXPECT_EQ(from_outer[i], from_inner[i]) << i;
}

TEST(Capture, StartsAtTheGivenReturnAddressAndStopsWhenFull) {
    usize full[16] = {};
    StackTrace reference{0, full};
    captureOuter(&reference, 0);
    ASSERT_GE(reference.index, 3u);

    usize two[2] = {};
    StackTrace trace{0, two};
    captureOuter(&trace, full[1]);  // start at captureMiddle's call
    EXPECT_EQ(trace.index, 2u);
    EXPECT_EQ(two[0], full[1]);
    EXPECT_EQ(two[1], full[2]);
}

TEST(Capture, AFirstAddressNotOnTheStackGivesAnEmptyTrace) {
    usize addresses[8] = {};
    StackTrace trace{5, addresses};
    captureOuter(&trace, 0x1234);
    EXPECT_EQ(trace.index, 0u);
}

TEST(Capture, EachThreadWalksItsOwnStack) {
    usize addresses[16] = {};
    StackTrace trace{0, addresses};
    std::thread worker([&] { captureOuter(&trace, 0); });
    worker.join();
    ASSERT_GE(trace.index, 3u);
    EXPECT_EQ(functionAtReturnAddress(addresses[0]), "(anonymous namespace)::captureInner");
    EXPECT_EQ(functionAtReturnAddress(addresses[2]), "(anonymous namespace)::captureOuter");
}

// The capture reads frames on the thread's own stack without the
// iterator; both must see the same frames and end in the same place.
[[gnu::noinline]] void captureAndIterate(StackTrace* captured, StackTrace* iterated) {
    debug::captureStackTrace(0, captured);
    auto it = debug::StackIterator::init(std::nullopt, reinterpret_cast<usize>(__builtin_frame_address(0)));
    usize n = 0;
    while (n < iterated->instruction_addresses.size()) {
        const auto address = it.next();
        if (!address) break;
        iterated->instruction_addresses[n++] = *address;
    }
    iterated->index = n;
    __asm__ volatile("" ::: "memory");
}

template <int depth>
[[gnu::noinline]] void captureAndIterateAtDepth(StackTrace* captured, StackTrace* iterated) {
    if constexpr (depth == 0) captureAndIterate(captured, iterated);
    else captureAndIterateAtDepth<depth - 1>(captured, iterated);
    __asm__ volatile("" ::: "memory");
}

void expectCaptureMatchesIterator() {
    usize captured_words[256] = {};
    usize iterated_words[256] = {};
    StackTrace captured{0, captured_words};
    StackTrace iterated{0, iterated_words};
    captureAndIterateAtDepth<20>(&captured, &iterated);
    // The capture starts one frame earlier: at the return into
    // captureAndIterate itself.
    ASSERT_GE(captured.index, 22u);
    ASSERT_LT(captured.index, 256u);  // the whole walk, to its end
    EXPECT_EQ(functionAtReturnAddress(captured_words[0]), "(anonymous namespace)::captureAndIterate");
    ASSERT_EQ(captured.index - 1, iterated.index);
    for (usize i = 0; i < iterated.index; ++i) EXPECT_EQ(captured_words[i + 1], iterated_words[i]) << i;
}

TEST(Capture, SeesTheFramesTheIteratorSeesToTheEndOfTheWalk) {
    expectCaptureMatchesIterator();
    std::thread worker(expectCaptureMatchesIterator);
    worker.join();
}

// Captures while this frame's saved frame pointer reads as `replace`
// makes it; returns the return address into the caller.
[[gnu::noinline]] usize captureWithSavedFp(StackTrace* trace, usize (*replace)(usize fp, usize saved),
                                           usize first_address = 0) {
    auto* fp = static_cast<volatile usize*>(__builtin_frame_address(0));
    const usize saved = fp[0];
    fp[0] = replace(reinterpret_cast<usize>(fp), saved);
    debug::captureStackTrace(first_address, trace);
    fp[0] = saved;
    __asm__ volatile("" ::: "memory");
    return reinterpret_cast<usize>(__builtin_return_address(0));
}

TEST(Capture, BrokenChainsOnTheOwnStackEndTheWalk) {
    usize words[16] = {};
    StackTrace trace{0, words};
    // A saved frame pointer below its frame: this frame is not a frame.
    captureWithSavedFp(&trace, [](usize fp, usize) { return fp - 64; });
    EXPECT_EQ(trace.index, 1u);
    EXPECT_EQ(functionAtReturnAddress(words[0]), "(anonymous namespace)::captureWithSavedFp");

    // A misaligned one: the frame counts, the walk ends at the next.
    trace = StackTrace{0, words};
    usize caller = captureWithSavedFp(&trace, [](usize, usize saved) { return saved + 4; });
    EXPECT_EQ(trace.index, 2u);
    EXPECT_EQ(words[1], caller);

    // Zero: the last frame.
    trace = StackTrace{0, words};
    caller = captureWithSavedFp(&trace, [](usize, usize) { return usize{0}; });
    EXPECT_EQ(trace.index, 2u);
    EXPECT_EQ(words[1], caller);

    // Above the stack's mapping: the rest is checked page by page, and an
    // unmapped page ends the walk.
    trace = StackTrace{0, words};
    caller = captureWithSavedFp(&trace, [](usize, usize) { return ~usize{0} - 4095; });
    EXPECT_EQ(trace.index, 2u);
    EXPECT_EQ(words[1], caller);
}

usize frames_elsewhere = 0;

// Off its own stack the walk reads frames only after checking their pages,
// and a walk that leaves the stack before reaching its first address
// goes on looking for it there. A worker's stack lies below the main
// thread's, so frames on the main thread's stack are above it and mapped.
TEST(Capture, AWalkLeavingTheOwnStackStillSkipsToTheFirstAddress) {
    alignas(16) usize frames[6] = {};
    frames[0] = reinterpret_cast<usize>(&frames[2]);
    frames[1] = 0x401000;
    frames[2] = reinterpret_cast<usize>(&frames[4]);
    frames[3] = 0x402000;
    frames[4] = 0;
    frames[5] = 0x403000;
    frames_elsewhere = reinterpret_cast<usize>(&frames[0]);
    usize words[8] = {};
    StackTrace trace{0, words};
    std::thread worker([&] {
        int local = 0;
        ASSERT_GT(frames_elsewhere, reinterpret_cast<usize>(&local));
        captureWithSavedFp(&trace, [](usize, usize) { return frames_elsewhere; }, 0x402000);
    });
    worker.join();
    ASSERT_EQ(trace.index, 2u);
    EXPECT_EQ(words[0], 0x402000u);
    EXPECT_EQ(words[1], 0x403000u);

    // Never found there either: nothing is stored.
    trace = StackTrace{0, words};
    std::thread missing([&] { captureWithSavedFp(&trace, [](usize, usize) { return frames_elsewhere; }, 0x999000); });
    missing.join();
    EXPECT_EQ(trace.index, 0u);
}

// In a fresh process's main thread: the start-up stack is known from the
// limit start-up hands over, from the frame it was told at up to the
// executable's name at the top, before any capture; a second note changes
// nothing; a note on another thread teaches it nothing wrong.
void noteTheStartUpStack() {
    rlimit limit{};
    if (getrlimit(RLIMIT_STACK, &limit) != 0) std::exit(3);
    if (debug::knownStack()) std::exit(4);  // nothing captured yet
    int local = 0;
    const auto here = reinterpret_cast<usize>(&local);
    debug::noteStartUpStack(limit.rlim_cur);
    const auto known = debug::knownStack();
    if (!known) std::exit(5);
    if (known->hi != getauxval(AT_EXECFN) || known->lo > here || here >= known->hi) std::exit(6);
    debug::noteStartUpStack(4096);
    if (debug::knownStack()->lo != known->lo) std::exit(7);
    int result = 0;
    std::thread([&] {
        debug::noteStartUpStack(limit.rlim_cur);
        int mine = 0;
        if (debug::knownStack()) result = 8;  // not the start-up stack
        if (!debug::isValidMemory(reinterpret_cast<usize>(&mine) & ~usize{7})) result = 9;
    }).join();
    if (result != 0) std::exit(result);
    // Deeper frames are still walked on the fast path.
    usize addresses[8] = {};
    StackTrace trace{0, addresses};
    captureMiddle(&trace, 0);
    std::exit(trace.index >= 2 && functionAtReturnAddress(addresses[0]) == "(anonymous namespace)::captureInner" ? 0 : 10);
}

TEST(CaptureDeathTest, StartUpTellsTheMainThreadWhereItsStackIs) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(noteTheStartUpStack(), ::testing::ExitedWithCode(0), "");
}

usize signal_addresses[8];
StackTrace signal_trace{0, signal_addresses};

[[gnu::noinline]] void captureInHandler(int) {
    debug::captureStackTrace(0, &signal_trace);
    __asm__ volatile("" ::: "memory");
}

// The known-stack shortcut must not learn an alternate signal stack: it
// may be unmapped later while the thread lives on.
TEST(Capture, ASignalHandlerOnAnAlternateStackDoesNotTeachItsStack) {
    std::thread worker([] {
        void* alt = mmap(nullptr, 65536, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(alt, MAP_FAILED);
        stack_t ss{};
        ss.ss_sp = alt;
        ss.ss_size = 65536;
        ASSERT_EQ(sigaltstack(&ss, nullptr), 0);
        struct sigaction act {}, old {};
        act.sa_handler = captureInHandler;
        act.sa_flags = SA_ONSTACK;
        sigemptyset(&act.sa_mask);
        ASSERT_EQ(sigaction(SIGUSR2, &act, &old), 0);
        raise(SIGUSR2);  // this thread's first walk runs on the alternate stack
        sigaction(SIGUSR2, &old, nullptr);
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
        ASSERT_GE(signal_trace.index, 1u);
        EXPECT_EQ(functionAtReturnAddress(signal_addresses[0]), "(anonymous namespace)::captureInHandler");
        const usize inside = reinterpret_cast<usize>(alt) + 32768;
        munmap(alt, 65536);
        EXPECT_FALSE(debug::isValidMemory(inside));
        // Off the signal stack the thread's own stack is learned and used.
        int local = 0;
        EXPECT_TRUE(debug::isValidMemory(reinterpret_cast<usize>(&local) & ~usize{7}));
    });
    worker.join();
}

TEST(StackIterator, ValidMemoryIsMappedMemoryIncludingTheNextWord) {
    int local = 0;
    EXPECT_TRUE(debug::isValidMemory(reinterpret_cast<usize>(&local) & ~usize{7}));
    EXPECT_FALSE(debug::isValidMemory(0));
    EXPECT_FALSE(debug::isValidMemory(8));

    void* pages = mmap(nullptr, 8192, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    const usize base = reinterpret_cast<usize>(pages);
    EXPECT_TRUE(debug::isValidMemory(base + 4088));  // both words on mapped pages
    ASSERT_EQ(munmap(reinterpret_cast<void*>(base + 4096), 4096), 0);
    EXPECT_TRUE(debug::isValidMemory(base + 4080));
    EXPECT_FALSE(debug::isValidMemory(base + 4088));  // the return address would be unmapped
    EXPECT_FALSE(debug::isValidMemory(base + 4096));
    munmap(pages, 4096);
    EXPECT_FALSE(debug::isValidMemory(base));
}

// Mapped is not readable: a page made PROT_NONE (which msync accepts) is
// no valid memory, on the thread's own stack or off it, and a frame-pointer
// walk that reaches it ends there instead of faulting. The fault handler
// turns the tried read's fault into the answer.
TEST(StackIterator, APageMadeUnreadableIsNotValidMemoryAndEndsAWalk) {
    debug::attachSegfaultHandler();
    void* pages = mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    const usize base = reinterpret_cast<usize>(pages);
    ASSERT_EQ(mprotect(reinterpret_cast<void*>(base + 4096), 4096, PROT_NONE), 0);
    EXPECT_TRUE(debug::isValidMemory(base + 4080));
    EXPECT_FALSE(debug::isValidMemory(base + 4088));
    EXPECT_FALSE(debug::isValidMemory(base + 4096));
    // A frame whose saved frame pointer leads into the unreadable page.
    auto* frame = static_cast<usize*>(pages);
    frame[0] = base + 4096;
    frame[1] = 0x401000;
    auto it = debug::StackIterator::init(std::nullopt, base);
    EXPECT_EQ(it.next(), std::optional<usize>(0x401000));
    EXPECT_EQ(it.next(), std::nullopt);
    usize first = 0;
    usize second = 0;
    EXPECT_FALSE(debug::readFrameWords(base + 4096, first, second));
    EXPECT_TRUE(debug::readFrameWords(base, first, second));
    EXPECT_EQ(first, base + 4096);
    EXPECT_EQ(second, 0x401000u);
    munmap(pages, 8192);
    debug::resetSegfaultHandler();
}

TEST(StackIterator, BrokenFrameChainsEndTheWalkQuietly) {
    // A descending saved frame pointer, a misaligned one and a null one.
    alignas(16) usize frames[6] = {};
    frames[0] = reinterpret_cast<usize>(&frames[0]) - 64;  // saved fp below this frame
    frames[1] = 0x401000;
    auto descending = debug::StackIterator::init(std::nullopt, reinterpret_cast<usize>(&frames[0]));
    EXPECT_FALSE(descending.next().has_value());

    frames[2] = reinterpret_cast<usize>(&frames[4]) + 1;  // misaligned next frame
    frames[3] = 0x401234;
    auto misaligned = debug::StackIterator::init(std::nullopt, reinterpret_cast<usize>(&frames[2]));
    EXPECT_EQ(misaligned.next(), std::optional<usize>(0x401234));
    EXPECT_FALSE(misaligned.next().has_value());

    frames[4] = 0;
    frames[5] = 0x405678;
    auto last = debug::StackIterator::init(std::nullopt, reinterpret_cast<usize>(&frames[4]));
    EXPECT_EQ(last.next(), std::optional<usize>(0x405678));
    EXPECT_FALSE(last.next().has_value());

    auto null_fp = debug::StackIterator::init(std::nullopt, 0);
    EXPECT_FALSE(null_fp.next().has_value());
}

// A saved frame pointer equal to its own frame's address (the loop a
// clobbered stack leaves) is not a caller: the walk ends there instead of
// returning the same frame for ever.
TEST(StackIterator, AFramePointingAtItselfEndsTheWalk) {
    alignas(16) usize frames[4] = {};
    frames[0] = reinterpret_cast<usize>(&frames[2]);
    frames[1] = 0x401000;
    frames[2] = reinterpret_cast<usize>(&frames[2]);  // points at itself
    frames[3] = 0x402000;
    auto it = debug::StackIterator::init(std::nullopt, reinterpret_cast<usize>(&frames[0]));
    std::vector<usize> seen;
    for (int i = 0; i < 8; ++i) {
        const auto next = it.next();
        if (!next) break;
        seen.push_back(*next);
    }
    EXPECT_EQ(seen, std::vector<usize>{0x401000});
}

// The same loop with a first address that never comes: skipping ends too.
TEST(StackIterator, SkippingToAnAddressOverALoopedChainEnds) {
    alignas(16) usize frames[2] = {};
    frames[0] = reinterpret_cast<usize>(&frames[0]);
    frames[1] = 0x401000;
    auto it = debug::StackIterator::init(usize{0x999999}, reinterpret_cast<usize>(&frames[0]));
    EXPECT_FALSE(it.next().has_value());
    EXPECT_LE(it.steps, 2u);
}

// Records what a bounded walk hands out, one line per call.
struct WalkRecorder final : debug::WalkSink {
    std::vector<std::string> calls;
    Result<void> entry(usize address) override {
        calls.push_back("entry " + std::to_string(address));
        return {};
    }
    Result<void> skipped(usize count) override {
        calls.push_back("skipped " + std::to_string(count));
        return {};
    }
    void unwindError(const debug::StackIterator::UnwindError& error) override {
        calls.push_back("error " + std::to_string(error.address));
    }
};

// A frame-pointer chain of n frames whose return addresses are 1001,
// 1002, ...: entry k (0-based) is printed as 1000 + k.
struct FakeChain {
    std::vector<usize> words;
    explicit FakeChain(usize n) : words(2 * n + 2) {
        for (usize i = 0; i < n; ++i) {
            words[2 * i] = i + 1 < n ? reinterpret_cast<usize>(&words[2 * i + 2]) : 0;
            words[2 * i + 1] = 1001 + i;
        }
    }
    debug::StackIterator walk() { return debug::StackIterator::init(std::nullopt, reinterpret_cast<usize>(words.data())); }
};

std::vector<std::string> boundedWalk(usize frames, std::optional<usize> first_entry = std::nullopt) {
    FakeChain chain(frames);
    auto it = chain.walk();
    WalkRecorder recorder;
    EXPECT_TRUE(debug::walkBounded(it, recorder, first_entry).has_value());
    return recorder.calls;
}

std::vector<std::string> entriesFrom(usize first, usize count) {
    std::vector<std::string> out;
    for (usize i = 0; i < count; ++i) out.push_back("entry " + std::to_string(1000 + first + i));
    return out;
}

TEST(BoundedWalk, AWalkWithinTheCapShowsEveryEntryAndNoCount) {
    const usize cap = debug::trace_head_entries + debug::trace_tail_entries;
    EXPECT_EQ(boundedWalk(3), entriesFrom(0, 3));
    EXPECT_EQ(boundedWalk(cap), entriesFrom(0, cap));
}

TEST(BoundedWalk, ALongerWalkShowsTheInnermostThenTheCountThenTheOutermost) {
    const usize head = debug::trace_head_entries;
    const usize tail = debug::trace_tail_entries;
    for (const usize n : {head + tail + 1, head + tail + 5, usize{1000}, usize{100000}}) {
        std::vector<std::string> want = entriesFrom(0, head);
        want.push_back("skipped " + std::to_string(n - head - tail));
        const auto outer = entriesFrom(n - tail, tail);
        want.insert(want.end(), outer.begin(), outer.end());
        EXPECT_EQ(boundedWalk(n), want) << n << " frames";
    }
}

TEST(BoundedWalk, TheSignalContextsOwnEntryCountsAsAnInnermostEntry) {
    const usize head = debug::trace_head_entries;
    const usize tail = debug::trace_tail_entries;
    const auto calls = boundedWalk(1000, usize{42});
    ASSERT_EQ(calls.size(), head + tail + 1);
    EXPECT_EQ(calls[0], "entry 42");
    EXPECT_EQ(calls[1], "entry 1000");
    EXPECT_EQ(calls[head - 1], "entry " + std::to_string(1000 + head - 2));
    EXPECT_EQ(calls[head], "skipped " + std::to_string(1000 - (head - 1) - tail));
    EXPECT_EQ(calls.back(), "entry 1999");
}

TEST(BoundedWalk, APrintErrorEndsTheWalkWithThatError) {
    struct FailsAtThird final : debug::WalkSink {
        int entries = 0;
        Result<void> entry(usize) override {
            if (++entries == 3) return std::unexpected(Error::BrokenPipe);
            return {};
        }
        Result<void> skipped(usize) override { return {}; }
        void unwindError(const debug::StackIterator::UnwindError&) override {}
    } sink;
    FakeChain chain(1000);
    auto it = chain.walk();
    const auto r = debug::walkBounded(it, sink, std::nullopt);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::BrokenPipe);
    EXPECT_EQ(sink.entries, 3);
}

// Outside any stack: a frame register pointing here puts the frame's CFA
// below the stack pointer.
alignas(16) usize low_frame[2] = {0, 0x409999};

// The call-frame rules of this function derive its CFA from the frame
// register. Pointed below the stack, the step would go down: it is a failed
// unwind, reported once, and the walk goes on by frame pointers from the
// frame it started at.
TEST(StackIterator, ACallFrameStepThatDoesNotMoveUpIsAFailedUnwind) {
    ucontext_t context;
    ASSERT_EQ(getcontext(&context), 0);
    auto info = debug::getSelfDebugInfo();
    ASSERT_TRUE(info.has_value());
    auto it = debug::StackIterator::initWithContext(std::nullopt, *info, &context);
    ASSERT_TRUE(it.has_value());
    dwarf::UnwindContext& ctx = it->unwind_state->dwarf_context;
    const usize pc = ctx.pc;
    ctx.regs[6] = reinterpret_cast<usize>(&low_frame[0]);
    const auto first = it->next();
    const auto error = it->getLastError();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->err, Error::InvalidCFA);
    EXPECT_EQ(error->address, pc);  // the frame the step started from
    EXPECT_TRUE(it->unwind_state->failed);
    EXPECT_EQ(first, std::optional<usize>(0x409999));
    EXPECT_FALSE(it->next().has_value());
    EXPECT_FALSE(it->getLastError().has_value());
    it->deinit();
}

TEST(StackIterator, AFailedUnwindIsReportedOnceAndTheWalkFallsBackToFramePointers) {
    ucontext_t context;
    ASSERT_EQ(getcontext(&context), 0);
    auto info = debug::getSelfDebugInfo();
    ASSERT_TRUE(info.has_value());
    auto it = debug::StackIterator::initWithContext(std::nullopt, *info, &context);
    ASSERT_TRUE(it.has_value());
    // A pc in no module: no call-frame information can cover it.
    it->unwind_state->dwarf_context.pc = 0x10;
    alignas(16) usize frame[2] = {0, 0x409999};
    it->unwind_state->dwarf_context.regs[6] = reinterpret_cast<usize>(&frame[0]);
    it->unwind_state->dwarf_context.reg_valid[6] = true;
    const auto first = it->next();
    const auto error = it->getLastError();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->address, 0x10u);
    EXPECT_FALSE(it->getLastError().has_value());  // taken once
    EXPECT_TRUE(it->unwind_state->failed);
    // The frame-pointer walk continued from the context's frame register.
    EXPECT_EQ(first, std::optional<usize>(0x409999));
    it->deinit();
}

[[gnu::noinline]] std::string currentTraceFromHere() {
    auto info = debug::getSelfDebugInfo();
    StringWriter w;
    EXPECT_TRUE(debug::writeCurrentStackTrace(w, **info, Config::no_color, 0).has_value());
    __asm__ volatile("" ::: "memory");
    return w.text;
}

TEST(CurrentTrace, FirstEntryIsTheCallerWithItsSourceLine) {
    const std::string text = currentTraceFromHere();
    const std::string first_line = text.substr(0, text.find('\n'));
    EXPECT_TRUE(first_line.starts_with(std::string(__FILE__) + ":")) << text;
    EXPECT_NE(first_line.find(" in (anonymous namespace)::currentTraceFromHere ("), std::string::npos) << text;
    EXPECT_NE(text.find("debug::writeCurrentStackTrace(w, **info"), std::string::npos) << text;
}

sigjmp_buf fault_jump;
int trap_line = 0;

void dumpOnIllegalInstruction(int, siginfo_t*, void* context) {
    debug::dumpStackTraceFromBase(static_cast<const ucontext_t*>(context));
    siglongjmp(fault_jump, 1);
}

[[gnu::noinline]] void executesIllegalInstruction() {
    trap_line = __LINE__ + 1;
    __builtin_trap();
}

[[gnu::noinline]] void callsIllegalInstruction() {
    executesIllegalInstruction();
    __asm__ volatile("" ::: "memory");
}

TEST(SignalContextTrace, StartsAtTheInterruptedInstructionItself) {
    struct sigaction act {}, old {};
    act.sa_sigaction = dumpOnIllegalInstruction;
    act.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&act.sa_mask);
    ASSERT_EQ(sigaction(SIGILL, &act, &old), 0);
    setenv("NO_COLOR", "1", 1);
    StderrCapture capture;
    if (sigsetjmp(fault_jump, 1) == 0) callsIllegalInstruction();
    const std::string out = capture.take();
    unsetenv("NO_COLOR");
    sigaction(SIGILL, &old, nullptr);

    const std::string first_line = out.substr(0, out.find('\n'));
    EXPECT_TRUE(first_line.starts_with(std::string(__FILE__) + ":" + std::to_string(trap_line) + ":")) << out;
    EXPECT_NE(first_line.find(" in (anonymous namespace)::executesIllegalInstruction ("), std::string::npos) << out;
    // The interrupted pc is printed as is, not one byte back.
    const usize printed_pc = std::stoul(first_line.substr(first_line.find(": 0x") + 4), nullptr, 16);
    EXPECT_NE(out.find(" in (anonymous namespace)::callsIllegalInstruction ("), std::string::npos) << out;
    EXPECT_EQ(functionAtReturnAddress(printed_pc + 1), "(anonymous namespace)::executesIllegalInstruction");
}

[[gnu::noinline]] void noteHere(debug::ConfigurableTrace<2, 4, true>& trace, const char* note) {
    trace.addNoInline(note);
    __asm__ volatile("" ::: "memory");
}

TEST(ConfigurableTrace, AThirdAdditionIsOnlyCounted) {
    debug::ConfigurableTrace<2, 4, true> trace;
    noteHere(trace, "first");
    noteHere(trace, "second");
    noteHere(trace, "third");
    EXPECT_EQ(trace.index, 3u);
    EXPECT_EQ(trace.notes[0], "first");
    EXPECT_EQ(trace.notes[1], "second");
    EXPECT_EQ(functionAtReturnAddress(trace.addrs[0][0]), "(anonymous namespace)::noteHere");
    EXPECT_EQ(trace.addrs[0][0], trace.addrs[1][0]);

    setenv("NO_COLOR", "1", 1);
    StderrCapture capture;
    trace.dump();
    const std::string out = capture.take();
    unsetenv("NO_COLOR");
    ASSERT_TRUE(out.starts_with("first:\n" + std::string(__FILE__) + ":")) << out;
    EXPECT_NE(out.find("\nsecond:\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("third"), std::string::npos) << out;
    EXPECT_TRUE(out.ends_with("\n1 more traces not shown; consider increasing trace size\n")) << out;
}

TEST(ConfigurableTrace, DisabledHoldsNothing) {
    debug::ConfigurableTrace<2, 4, false> trace;
    trace.addNoInline("ignored");
    EXPECT_EQ(trace.index, 0u);
    EXPECT_EQ(trace.addrs.size(), 0u);
    EXPECT_EQ(trace.notes.size(), 0u);
}

// ---------------------------------------------------------------------------
// Colour choice

class ColourEnvironment : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"NO_COLOR", "CLICOLOR_FORCE", "TERM"}) {
            const char* value = getenv(name);
            saved_.push_back({name, value ? std::optional<std::string>(value) : std::nullopt});
            unsetenv(name);
        }
        ASSERT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
    }
    void TearDown() override {
        for (auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
        close(master_);
        close(slave_);
    }
    // Runs f with standard error on the pseudo-terminal.
    Config onTerminalStderr() {
        const int saved = dup(2);
        dup2(slave_, 2);
        const Config config = io::tty::detectConfig(2);
        dup2(saved, 2);
        close(saved);
        return config;
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
    int master_ = -1;
    int slave_ = -1;
};

TEST_F(ColourEnvironment, TerminalsGetColourUnlessDumbOrNoColor) {
    EXPECT_EQ(onTerminalStderr(), Config::escape_codes);
    setenv("TERM", "dumb", 1);
    EXPECT_EQ(onTerminalStderr(), Config::no_color);
    // TERM=dumb only speaks for standard output and error.
    EXPECT_EQ(io::tty::detectConfig(slave_), Config::escape_codes);
    unsetenv("TERM");
    setenv("NO_COLOR", "", 1);  // present but empty still counts
    EXPECT_EQ(onTerminalStderr(), Config::no_color);
}

TEST_F(ColourEnvironment, CliColorForceColoursRedirectedOutput) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_EQ(io::tty::detectConfig(fds[1]), Config::no_color);
    setenv("CLICOLOR_FORCE", "", 1);
    EXPECT_EQ(io::tty::detectConfig(fds[1]), Config::escape_codes);
    setenv("NO_COLOR", "1", 1);
    EXPECT_EQ(io::tty::detectConfig(fds[1]), Config::no_color);
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
