// Traces printed by the real executables: a failing test's error-return
// trace, the panic on a bad argument, the current stack and short noted
// traces, entries for inlined calls and for code only the symbol table
// names, checked against the source files they quote.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <string>
#include <vector>

#include "tests/e2e/child.hpp"
#include "tests/e2e/pattern.hpp"

namespace {

const std::string source_dir = XOV_SOURCE_DIR;

// 1-based number of the first line of file containing needle (after the
// first line containing after, when given).
unsigned lineOf(const std::string& file, const std::string& needle, const std::string& after = "") {
    std::ifstream in(source_dir + "/" + file);
    std::string line;
    unsigned number = 0;
    bool armed = after.empty();
    while (std::getline(in, line)) {
        ++number;
        if (!armed && line.find(after) != std::string::npos) armed = true;
        if (armed && line.find(needle) != std::string::npos) return number;
    }
    ADD_FAILURE() << needle << " not in " << file;
    return 0;
}

std::string sourceLine(const std::string& file, unsigned wanted) {
    std::ifstream in(source_dir + "/" + file);
    std::string line;
    for (unsigned n = 1; std::getline(in, line); ++n)
        if (n == wanted) break;
    for (char& c : line)
        if (c == '\t') c = ' ';
    return line;
}

struct Entry {
    std::string address;
    std::string file;
    unsigned line;
    unsigned column;
    std::string function;
    std::string unit;
    std::string source;  // the quoted source line
    std::string caret;
};

// Every entry with line information in the text, in order.
std::vector<Entry> entries(const std::string& text) {
    static const e2e::Pattern location("(/[^:\n ]+):([0-9]+):([0-9]+): (0x[0-9a-f]+) in ([^\n\r]+) \\(([^()\n]+)\\)$");
    std::vector<Entry> out;
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        const auto m = location.search(lines[i]);
        if (!m) continue;
        Entry e{m->str(4), m->str(1), static_cast<unsigned>(std::stoul(m->str(2))),
                static_cast<unsigned>(std::stoul(m->str(3))), m->str(5), m->str(6),
                i + 1 < lines.size() ? lines[i + 1] : "", i + 2 < lines.size() ? lines[i + 2] : ""};
        out.push_back(e);
    }
    return out;
}

void expectQuotesSource(const Entry& e, const std::string& relative) {
    EXPECT_EQ(e.file, source_dir + "/" + relative);
    EXPECT_EQ(e.unit, source_dir + "/" + relative);
    EXPECT_EQ(e.source, sourceLine(relative, e.line));
    ASSERT_GT(e.column, 0u);
    EXPECT_EQ(e.caret, std::string(e.column - 1, ' ') + "^");
}

// Frames in code without DWARF (the C library's start-up) name their
// function from the symbol table, in the unknown-source form with the
// module holding them: the executable when linked statically.
//
// Sanitizer builds link the C library dynamically, and where its separate
// debug file is installed its start-up frames carry DWARF and print in the
// ordinary form instead.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool links_libc_dynamically = true;
#else
constexpr bool links_libc_dynamically = false;
#endif
void expectSymbolTableEntry(const std::string& err, const std::string& executable) {
    static const e2e::Pattern entry("\\?\\?\\?:\\?:\\?: 0x[0-9a-f]+ in __libc_start_main \\(([^()\n]+)\\)\n");
    static const e2e::Pattern libc_dwarf_entry(
        ":[0-9]+:[0-9]+: 0x[0-9a-f]+ in __libc_start_call_main \\([^()\n]*libc-start\\.c\\)\n");
    const auto m = entry.search(err);
    if (links_libc_dynamically && !m) {
        EXPECT_TRUE(libc_dwarf_entry.foundIn(err)) << err;
        return;
    }
    ASSERT_TRUE(m.has_value()) << err;
    const std::string module = m->str(1);
    EXPECT_TRUE(module == executable || module.ends_with("/libc.so.6")) << module;
    // Nothing after the entry: no source, no caret.
    const size_t after = m->end();
    EXPECT_TRUE(after == err.size() || err.compare(after, 3, "???") == 0 || err.compare(after, 2, "OK") == 0)
        << err.substr(after);
}

TEST(TraceEndToEnd, FailingExpectNamesTheAssertionThenTheTestLine) {
    const auto r = e2e::run(e2e::fixture("expect_fails"));
    EXPECT_EQ(r.exitCode(), 1);
    const auto found = entries(r.err);
    ASSERT_GE(found.size(), 2u) << r.err;
    EXPECT_EQ(found[0].function, "testing::expect");
    EXPECT_EQ(found[0].line, lineOf("runner/testing.cpp", "XOV_RETURN_ERROR(trace);", "Result<void> expect("));
    expectQuotesSource(found[0], "runner/testing.cpp");
    EXPECT_EQ(found[1].function, "(anonymous namespace)::failsExpect");
    EXPECT_EQ(found[1].line, lineOf("tests/fixture/runner_cases.cpp", "expect(trace, 1 + 1 == 3)"));
    expectQuotesSource(found[1], "tests/fixture/runner_cases.cpp");
    // The trace sits right after the FAIL line.
    EXPECT_NE(r.err.find("FAIL (TestUnexpectedResult)\n" + found[0].file + ":"), std::string::npos) << r.err;
}

TEST(TraceEndToEnd, ForcedColourWrapsEachPartOfAnEntry) {
    auto options = e2e::fixture("expect_fails");
    options.set_env.push_back("CLICOLOR_FORCE=1");
    const auto r = e2e::run(options);
    const unsigned line = lineOf("tests/fixture/runner_cases.cpp", "expect(trace, 1 + 1 == 3)");
    const std::string file = source_dir + "/tests/fixture/runner_cases.cpp";
    const e2e::Pattern coloured("\x1b\\[1m" + e2e::literal(file) + ":" + std::to_string(line) +
                                ":([0-9]+)\x1b\\[0m: \x1b\\[2m0x[0-9a-f]+ in "
                                "\\(anonymous namespace\\)::failsExpect \\(" +
                                e2e::literal(file) + "\\)\x1b\\[0m\n[^\n]*\n *\x1b\\[32m\\^\x1b\\[0m\n");
    EXPECT_TRUE(coloured.foundIn(r.err)) << r.err;
}

TEST(TraceEndToEnd, BadArgumentPanicsWithTheArgumentCheckFirst) {
    const auto r = e2e::run(e2e::product({"--bogus"}));
    EXPECT_EQ(r.termSignal(), SIGABRT);
    const auto found = entries(r.err);
    ASSERT_GE(found.size(), 3u) << r.err;
    EXPECT_EQ(found[0].function, "test_runner::parseListenFlag");
    EXPECT_EQ(found[0].line, lineOf("runner/args.cpp", "debug::panic(\"unrecognized"));
    expectQuotesSource(found[0], "runner/args.cpp");
    EXPECT_EQ(found[1].function, "test_runner::main");
    // Further out: main, and in builds linked against a C library whose
    // debug file is installed, its start-up functions.
    bool has_main = false;
    for (size_t i = 2; i < found.size(); ++i) has_main = has_main || found[i].function == "main";
    EXPECT_TRUE(has_main) << r.err;
    // The first entry follows the panic line directly.
    EXPECT_NE(r.err.find("panic: unrecognized command line argument\n" + found[0].file + ":"), std::string::npos)
        << r.err;
    expectSymbolTableEntry(r.err, e2e::productPath());
}

TEST(TraceEndToEnd, CurrentStackFromNestedCalls) {
    const auto r = e2e::run(e2e::fixture("trace_current"));
    EXPECT_EQ(r.exitCode(), 0);
    const auto found = entries(r.err);
    ASSERT_GE(found.size(), 5u) << r.err;
    EXPECT_EQ(found[0].function, "(anonymous namespace)::dumpsInner");
    EXPECT_EQ(found[1].function, "(anonymous namespace)::dumpsOuter");
    EXPECT_EQ(found[2].function, "(anonymous namespace)::dumpsCurrentStack");
    EXPECT_EQ(found[3].function, "test_runner::mainTerminal");
    for (int i = 0; i < 3; ++i) expectQuotesSource(found[static_cast<size_t>(i)], "tests/fixture/trace_cases.cpp");
    expectSymbolTableEntry(r.err, e2e::fixturePath());
}

// An address in three functions: two helpers inlined one into the other
// and into the out-of-line function. Its entries, innermost first, each
// quote their own line: the helper's statement, then every call site.
void expectInlinedEntries(const std::vector<Entry>& found, const std::string& inner, const std::string& statement,
                          const std::string& middle, const std::string& outer) {
    const std::string file = "tests/fixture/trace_cases.cpp";
    ASSERT_GE(found.size(), 3u);
    EXPECT_EQ(found[0].function, "(anonymous namespace)::" + inner);
    EXPECT_EQ(found[0].line, lineOf(file, statement, "void " + inner + "("));
    EXPECT_EQ(found[1].function, "(anonymous namespace)::" + middle);
    EXPECT_EQ(found[1].line, lineOf(file, inner + "(", "void " + middle + "("));
    EXPECT_EQ(found[2].function, "(anonymous namespace)::" + outer);
    EXPECT_EQ(found[2].line, lineOf(file, middle + "(", "void " + outer + "("));
    for (size_t i = 0; i < 3; ++i) {
        expectQuotesSource(found[i], file);
        EXPECT_EQ(found[i].address, found[0].address);
    }
}

TEST(TraceEndToEnd, CurrentStackInInlinedCodeHasAnEntryPerInlinedCall) {
    const auto r = e2e::run(e2e::fixture("trace_inline_current"));
    EXPECT_EQ(r.exitCode(), 0);
    const auto found = entries(r.err);
    ASSERT_GE(found.size(), 5u) << r.err;
    expectInlinedEntries(found, "dumpsFromInlinedHelper", "debug::dumpCurrentStackTrace(0);", "callsInlinedHelper",
                         "holdsInlinedCalls");
    EXPECT_EQ(found[3].function, "(anonymous namespace)::dumpsFromInlinedCode");
    EXPECT_NE(found[3].address, found[0].address);
    EXPECT_EQ(found[4].function, "test_runner::mainTerminal");
}

TEST(TraceEndToEnd, StoredTraceFromInlinedCodeHasAnEntryPerInlinedCall) {
    const auto r = e2e::run(e2e::fixture("trace_inline_stored"));
    EXPECT_EQ(r.exitCode(), 0);
    const auto found = entries(r.err);
    // Three stored addresses, four entries: the first address lies in the
    // inlined helper and in the function it was inlined into.
    ASSERT_EQ(found.size(), 4u) << r.err;
    const std::string file = "tests/fixture/trace_cases.cpp";
    EXPECT_EQ(found[0].function, "(anonymous namespace)::capturesFromInlinedHelper");
    EXPECT_EQ(found[0].line, lineOf(file, "debug::captureStackTrace(0, trace);", "capturesFromInlinedHelper("));
    EXPECT_EQ(found[1].function, "(anonymous namespace)::storesTraceInInlinedCode");
    EXPECT_EQ(found[1].line, lineOf(file, "capturesFromInlinedHelper(trace);", "void storesTraceInInlinedCode("));
    EXPECT_EQ(found[1].address, found[0].address);
    EXPECT_EQ(found[2].function, "(anonymous namespace)::dumpsStoredTraceFromInlinedCode");
    EXPECT_EQ(found[3].function, "test_runner::mainTerminal");
    for (size_t i = 0; i < 3; ++i) expectQuotesSource(found[i], file);
}

TEST(TraceEndToEnd, FaultInInlinedCodeStartsWithTheInlinedStatement) {
    auto child = e2e::Child::spawn(e2e::fixture("trace_inline_fault"));
    const auto r = child.finish(std::chrono::seconds(60));
    EXPECT_EQ(r.termSignal(), SIGABRT);
    const auto found = entries(r.err);
    ASSERT_GE(found.size(), 4u) << r.err;
    // The signal context's own pc, not a return address, heads the trace.
    expectInlinedEntries(found, "writesThroughInlinedPointer", "*unmapped_target = 1;", "callsFaultingHelper",
                         "faultsInInlinedCode");
    EXPECT_EQ(found[3].function, "(anonymous namespace)::faultInInlinedCode");
}

TEST(TraceEndToEnd, ATraceInsideALoggedMessageStartsOnItsOwnLine) {
    const auto r = e2e::run(e2e::fixture("trace_logged"));
    const std::string file = source_dir + "/tests/fixture/trace_cases.cpp";
    const auto at = r.err.find("[default] (warn): where: \n" + file + ":");
    ASSERT_NE(at, std::string::npos) << r.err;
    const auto found = entries(r.err.substr(at));
    ASSERT_EQ(found.size(), 2u) << r.err;
    EXPECT_EQ(found[0].function, "(anonymous namespace)::logsItsOwnTrace");
    EXPECT_EQ(found[1].function, "(anonymous namespace)::logsATrace");
    expectQuotesSource(found[0], "tests/fixture/trace_cases.cpp");
}

TEST(TraceEndToEnd, NotedTracesShowTwoAndCountTheRest) {
    const auto r = e2e::run(e2e::fixture("trace_noted"));
    EXPECT_EQ(r.exitCode(), 0);
    const std::string first = "first initialized here:\n" + source_dir + "/tests/fixture/trace_cases.cpp:";
    EXPECT_NE(r.err.find(first), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\nthen here:\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("and once more"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("1 more traces not shown; consider increasing trace size\n"), std::string::npos) << r.err;
    const auto found = entries(r.err);
    ASSERT_EQ(found.size(), 8u) << r.err;  // two traces of four frames
    EXPECT_EQ(found[0].function, "(anonymous namespace)::noteFrom");
    EXPECT_EQ(found[1].function, "(anonymous namespace)::notesThreeTimes");
    EXPECT_EQ(found[1].line, lineOf("tests/fixture/trace_cases.cpp", "noteFrom(\"first initialized here\")"));
    EXPECT_EQ(found[5].line, lineOf("tests/fixture/trace_cases.cpp", "noteFrom(\"then here\")"));
}

TEST(TraceEndToEnd, StoredTraceAddressesMatchThePrintedEntries) {
    const auto r = e2e::run(e2e::fixture("trace_ten_frames"));
    EXPECT_EQ(r.exitCode(), 0);
    std::vector<std::string> addresses;
    size_t start = 0;
    while (start < r.out.size()) {
        const size_t end = r.out.find('\n', start);
        addresses.push_back(r.out.substr(start, end - start));
        start = end + 1;
    }
    ASSERT_EQ(addresses.size(), 10u) << r.out;
    size_t at = 0;
    for (const auto& address : addresses) {
        at = r.err.find(": " + address + " in ", at);
        ASSERT_NE(at, std::string::npos) << address << "\n" << r.err;
    }
    const auto found = entries(r.err);
    ASSERT_EQ(found.size(), 10u) << r.err;
    EXPECT_EQ(found[0].function, "(anonymous namespace)::level<0>");
    EXPECT_EQ(found[5].function, "(anonymous namespace)::level<5>");
    EXPECT_EQ(found[6].function, "(anonymous namespace)::printsTenFrames");
    EXPECT_EQ(found[9].function, "main");
}

// ---- every site its own line ----
//
// Functions with several alike error-return or panic sites, failing at the
// one XOV_FIXTURE_FAIL_AT names: first, middle and last. A compiler that
// merges alike error tails leaves one call for several sites, and the trace
// then names the wrong line.

e2e::Finished runFailingAt(const char* table, int at) {
    auto options = e2e::fixture(table);
    options.set_env.push_back("XOV_FIXTURE_FAIL_AT=" + std::to_string(at));
    return e2e::run(options);
}

const std::string trace_cases = "tests/fixture/trace_cases.cpp";

TEST(TraceSites, EachFailingCheckNamesItsOwnLine) {
    for (const int at : {1, 3, 5}) {
        SCOPED_TRACE(at);
        const auto r = runFailingAt("sites_checks", at);
        EXPECT_EQ(r.exitCode(), 1);
        const auto found = entries(r.err);
        ASSERT_EQ(found.size(), 2u) << r.err;
        EXPECT_EQ(found[0].function, "testing::expect");
        EXPECT_EQ(found[1].function, "(anonymous namespace)::checksInTurn");
        EXPECT_EQ(found[1].line, lineOf(trace_cases, "at != " + std::to_string(at) + "));", "checksInTurn("));
        expectQuotesSource(found[1], trace_cases);
    }
}

TEST(TraceSites, EachOriginAndPropagationNamesItsOwnLine) {
    for (const int at : {1, 2, 3}) {
        SCOPED_TRACE(at);
        const auto r = runFailingAt("sites_propagation", at);
        EXPECT_EQ(r.exitCode(), 1);
        const auto found = entries(r.err);
        ASSERT_EQ(found.size(), 3u) << r.err;
        const std::string n = std::to_string(at);
        EXPECT_EQ(found[0].function, "(anonymous namespace)::originates");
        EXPECT_EQ(found[0].line, lineOf(trace_cases, "if (which == " + n + ") return XOV_FAIL"));
        EXPECT_EQ(found[1].function, "(anonymous namespace)::propagates");
        EXPECT_EQ(found[1].line, lineOf(trace_cases, "TRY(originates(at == " + n));
        EXPECT_EQ(found[2].function, "(anonymous namespace)::propagatesInTurn");
        for (const auto& e : found) expectQuotesSource(e, trace_cases);
    }
}

TEST(TraceSites, EachLiteralWriteOfTheFormatterNamesItsOwnLine) {
    const char* const needles[] = {
        "if (brace > i) TRY(writer.writeAll(str::sub(format, i, brace - i)));",
        "TRY(writer.writeAll(str::sub(format, brace, 1)));",
        "TRY(writer.writeAll(\"}\"));",
    };
    for (const int at : {1, 2, 3}) {
        SCOPED_TRACE(at);
        const auto r = runFailingAt("sites_format", at);
        EXPECT_EQ(r.exitCode(), 1);
        EXPECT_NE(r.err.find("FAIL (NoSpaceLeft)"), std::string::npos) << r.err;
        const auto found = entries(r.err);
        ASSERT_EQ(found.size(), 3u) << r.err;
        EXPECT_EQ(found[0].function, "(anonymous namespace)::RefusingWriter::writeAll");
        EXPECT_EQ(found[1].function, "fmt::formatArgs");
        EXPECT_EQ(found[1].line, lineOf("support/format.cpp", needles[at - 1], "Result<void> formatArgs("));
        expectQuotesSource(found[1], "support/format.cpp");
        EXPECT_EQ(found[2].function, "(anonymous namespace)::formatFailsInTurn");
    }
}

TEST(TraceSites, EachFailedAssertionPanicsFromItsOwnLine) {
    for (const int at : {1, 2, 3}) {
        SCOPED_TRACE(at);
        const auto r = runFailingAt("sites_assertions", at);
        EXPECT_EQ(r.termSignal(), SIGABRT);
        EXPECT_NE(r.err.find("panic: reached unreachable code\n"), std::string::npos) << r.err;
        const auto found = entries(r.err);
        ASSERT_GE(found.size(), 2u) << r.err;
        EXPECT_EQ(found[0].function, "(anonymous namespace)::assertsInTurn");
        EXPECT_EQ(found[0].line, lineOf(trace_cases, "XOV_ASSERT(at != " + std::to_string(at) + ")"));
        expectQuotesSource(found[0], trace_cases);
        EXPECT_EQ(found[1].function, "(anonymous namespace)::assertionsInTurn");
    }
}

TEST(TraceSites, EachInvalidFreeCheckPanicsFromItsOwnLine) {
    const char* const needles[] = {
        "if (log2_align >= 64) panicInvalidFree(ret_addr);",
        "if (offset & ((usize{1} << class_index) - 1)) panicInvalidFree(ret_addr);",
    };
    const std::string gpa = "memory/general_purpose_allocator.cpp";
    for (const int at : {1, 2}) {
        SCOPED_TRACE(at);
        const auto r = runFailingAt("sites_invalid_frees", at);
        EXPECT_EQ(r.termSignal(), SIGABRT);
        EXPECT_NE(r.err.find("panic: Invalid free\n"), std::string::npos) << r.err;
        const auto found = entries(r.err);
        ASSERT_GE(found.size(), 3u) << r.err;
        EXPECT_EQ(found[0].function, "heap::(anonymous namespace)::panicInvalidFree");
        EXPECT_EQ(found[1].function, "heap::GeneralPurposeAllocator::freeInner");
        EXPECT_EQ(found[1].line, lineOf(gpa, needles[at - 1], "::freeInner("));
        expectQuotesSource(found[1], gpa);
    }
}

}  // namespace
