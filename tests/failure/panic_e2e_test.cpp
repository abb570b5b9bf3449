// Panic and fault reports of the fixture executable, checked from outside:
// exact report lines, the ending signal, and every printed frame resolved
// independently with llvm-symbolizer (and, for one fault, against gdb).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/debuginfo/shell.hpp"
#include "tests/e2e/child.hpp"
#include "tests/e2e/pattern.hpp"

namespace {

struct Report {
    e2e::Finished finished;
    int pid = 0;
};

// Sanitizer builds link the fixture as a position-independent executable.
// It then runs with address randomization off (as gdb runs it), so that
// its run-time addresses map back to the file's by one fixed bias.
bool fixtureIsPie() {
    static const int pie = [] {
        FILE* f = std::fopen(e2e::fixturePath().c_str(), "rb");
        if (f == nullptr) return 0;
        unsigned char header[18] = {};
        const size_t n = std::fread(header, 1, sizeof header, f);
        std::fclose(f);
        return n == sizeof header && header[16] == 3 ? 1 : 0;  // e_type ET_DYN
    }();
    return pie != 0;
}

// Where the kernel puts a position-independent executable on x86-64 when
// randomization is off.
constexpr unsigned long kPieBase = 0x555555554000ul;

e2e::SpawnOptions fixtureOptions(const std::string& table) {
    e2e::SpawnOptions options = e2e::fixture(table);
    if (fixtureIsPie()) options.argv = {"/usr/bin/setarch", "x86_64", "-R", e2e::fixturePath()};
    return options;
}

Report runTable(const std::string& table, std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    auto child = e2e::Child::spawn(fixtureOptions(table));
    Report r;
    r.pid = child.pid();
    r.finished = child.finish(timeout);
    return r;
}

// The code addresses of the frame entries, in order ("...: 0x{x} in ...").
// The entries of inlined calls repeat their frame's address.
std::vector<unsigned long> frameAddresses(const std::string& text) {
    static const e2e::Pattern entry(": 0x([0-9a-f]+) in ");
    std::vector<unsigned long> out;
    for (const e2e::Match& m : entry.findAll(text)) out.push_back(std::stoul(m.str(1), nullptr, 16));
    return out;
}

// The fixture file's own address for a run-time address; 0 when the
// address lies outside the fixture (a shared library of a sanitizer build).
unsigned long fileAddress(unsigned long address) {
    if (!fixtureIsPie()) return address;
    if (address < kPieBase || address - kPieBase >= 0x100000000ul) return 0;
    return address - kPieBase;
}

// Function names for run-time addresses of the fixture, one list per
// address: inlined functions innermost first, then the out-of-line
// function ("??" outside the fixture).
std::vector<std::vector<std::string>> symbolizeChains(const std::vector<unsigned long>& addresses) {
    std::vector<std::vector<std::string>> chains;
    for (size_t start = 0; start < addresses.size(); start += 64) {
        std::string cmd = "llvm-symbolizer --inlines --obj=" + e2e::fixturePath();
        for (size_t i = start; i < addresses.size() && i < start + 64; ++i) {
            char buf[32];
            std::snprintf(buf, sizeof buf, " 0x%lx", fileAddress(addresses[i]));
            cmd += buf;
        }
        FILE* p = popen(cmd.c_str(), "r");
        if (p == nullptr) return chains;
        char line[4096];
        std::vector<std::string> chain;
        int n = 0;
        while (std::fgets(line, sizeof line, p) != nullptr) {
            std::string s(line);
            if (s == "\n") {
                chains.push_back(std::move(chain));
                chain.clear();
                n = 0;
                continue;
            }
            if (n++ % 2 == 0) chain.push_back(s.substr(0, s.size() - 1));
        }
        pclose(p);
    }
    return chains;
}

// The out-of-line function of each address.
std::vector<std::string> symbolize(const std::vector<unsigned long>& addresses) {
    std::vector<std::string> names;
    for (const auto& chain : symbolizeChains(addresses)) names.push_back(chain.empty() ? "??" : chain.back());
    return names;
}

// A name with its template argument lists taken out: the report spells
// them as the compiler's debug information does ("at<int, 10>"), the
// symbolizer as the mangled name does ("at<int, 10ul>").
std::string withoutTemplateArguments(const std::string& name) {
    std::string out;
    int level = 0;
    for (char c : name) {
        if (c == '<') ++level;
        if (level == 0) out += c;
        if (c == '>' && level > 0) --level;
    }
    return out;
}

// Whether llvm-symbolizer's name is ours with what the symbolizer adds: a
// parameter list, a clone suffix, or a template function's return type.
bool sameAsSymbolizer(const std::string& their_name, const std::string& our_name) {
    const std::string theirs = withoutTemplateArguments(their_name);
    const std::string ours = withoutTemplateArguments(our_name);
    if (theirs.size() < ours.size()) return false;
    if (theirs.compare(0, ours.size(), ours) == 0) return true;
    return theirs.find(" " + ours + "(") != std::string::npos;
}

// Where the report resolved a frame's function itself, it must agree with
// llvm-symbolizer on the same address, entry by entry through inlined
// calls (the symbolizer adds parameter lists and clone suffixes; the
// report does not).
void expectPrintedNamesMatchSymbolizer(const std::string& text) {
    static const e2e::Pattern line_re(": 0x([0-9a-f]+) in ([^\n\r]+) \\([^()]*\\)\n");
    std::vector<unsigned long> addresses;
    std::vector<std::vector<std::string>> printed;
    unsigned long previous = 0;
    for (const e2e::Match& m : line_re.findAll(text)) {
        const unsigned long address = std::stoul(m.str(1), nullptr, 16);
        // The entries of one address follow each other; so do recursive
        // frames with the same return address, which repeat the list.
        if (printed.empty() || address != previous) {
            addresses.push_back(address);
            printed.emplace_back();
        }
        previous = address;
        printed.back().push_back(m.str(2));
    }
    const auto chains = symbolizeChains(addresses);
    ASSERT_EQ(chains.size(), printed.size());
    for (size_t i = 0; i < chains.size(); ++i) {
        if (fileAddress(addresses[i]) == 0 || printed[i].back() == "???" || chains[i].empty()) continue;
        ASSERT_EQ(printed[i].size() % chains[i].size(), 0u) << "at 0x" << std::hex << addresses[i];
        for (size_t k = 0; k < printed[i].size(); ++k) {
            const std::string& theirs = chains[i][k % chains[i].size()];
            EXPECT_TRUE(sameAsSymbolizer(theirs, printed[i][k]))
                << printed[i][k] << " | llvm: " << theirs << " at 0x" << std::hex << addresses[i];
        }
    }
}

// True when `wanted` appear among `names` in this order (others between).
bool inOrder(const std::vector<std::string>& names, const std::vector<std::string>& wanted) {
    size_t w = 0;
    for (const auto& n : names)
        if (w < wanted.size() && n.find(wanted[w]) != std::string::npos) ++w;
    return w == wanted.size();
}

std::string joined(const std::vector<std::string>& names) {
    std::string s;
    for (const auto& n : names) s += n + "\n";
    return s;
}

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::string panicLine(int tid, const std::string& msg) { return "thread " + std::to_string(tid) + " panic: " + msg + "\n"; }

TEST(PanicReport, NamesThreadAndMessageThenStackFromThePanickingFunction) {
    const Report r = runTable("panic_plain");
    EXPECT_EQ(r.finished.termSignal(), SIGABRT);
    const std::string& err = r.finished.err;
    // The main thread's kernel id is the process id.
    const std::string line = panicLine(r.pid, "plain panic 42");
    ASSERT_NE(err.find("...") , std::string::npos) << err;
    EXPECT_EQ(err.substr(err.find("...") + 3, line.size()), line) << err;
    const auto names = symbolize(frameAddresses(err.substr(err.find(line))));
    ASSERT_FALSE(names.empty()) << err;
    EXPECT_NE(names[0].find("panicsPlainly"), std::string::npos) << joined(names);
    EXPECT_TRUE(inOrder(names, {"panicsPlainly", "panicPlain", "test_runner::mainTerminal", "main"})) << joined(names);
    expectPrintedNamesMatchSymbolizer(err);
}

TEST(PanicReport, PrintsTheErrorReturnTraceBeforeTheCurrentStack) {
    const Report r = runTable("panic_with_trace");
    EXPECT_EQ(r.finished.termSignal(), SIGABRT);
    const std::string& err = r.finished.err;
    const std::string line = panicLine(r.pid, "attempt to unwrap error: OutOfMemory");
    ASSERT_NE(err.find(line), std::string::npos) << err;
    const auto names = symbolize(frameAddresses(err.substr(err.find(line))));
    // The error's origin, the function it passed through, then the stack
    // from the unwrapping site; nothing the printer did in between.
    ASSERT_GE(names.size(), 4u) << err;
    EXPECT_NE(names[0].find("failsDeep"), std::string::npos) << joined(names);
    EXPECT_NE(names[1].find("passesFailureOn"), std::string::npos) << joined(names);
    EXPECT_NE(names[2].find("panicWithTrace"), std::string::npos) << joined(names);
    EXPECT_TRUE(inOrder(names, {"panicWithTrace", "test_runner::mainTerminal"})) << joined(names);
    expectPrintedNamesMatchSymbolizer(err);
}

TEST(PanicReport, OutOfBoundsIndexNamesIndexAndLengthAndStartsAtTheIndexingFunction) {
    const Report r = runTable("panic_out_of_bounds");
    EXPECT_EQ(r.finished.termSignal(), SIGABRT);
    const std::string line = panicLine(r.pid, "index out of bounds: index 10, len 10");
    const std::string& err = r.finished.err;
    ASSERT_NE(err.find(line), std::string::npos) << err;
    const auto names = symbolize(frameAddresses(err.substr(err.find(line))));
    ASSERT_FALSE(names.empty()) << err;
    EXPECT_NE(names[0].find("indexesTen"), std::string::npos) << joined(names);
    EXPECT_TRUE(inOrder(names, {"indexesTen", "panicOutOfBounds(StackTrace*)", "main"})) << joined(names);
    expectPrintedNamesMatchSymbolizer(err);
}

TEST(PanicReport, NarrowingThatLosesBitsPanicsFromTheNarrowingFunction) {
    const Report r = runTable("panic_int_cast");
    EXPECT_EQ(r.finished.termSignal(), SIGABRT);
    const std::string line = panicLine(r.pid, "integer cast truncated bits");
    const std::string& err = r.finished.err;
    ASSERT_NE(err.find(line), std::string::npos) << err;
    const auto names = symbolize(frameAddresses(err.substr(err.find(line))));
    ASSERT_FALSE(names.empty()) << err;
    EXPECT_NE(names[0].find("narrows"), std::string::npos) << joined(names);
}

TEST(PanicReport, MessageOverTheBufferIsCutTo4096BytesAndMarked) {
    const Report r = runTable("panic_long_message");
    EXPECT_EQ(r.finished.termSignal(), SIGABRT);
    std::string text;
    for (int i = 0; i < 4096; ++i) text += static_cast<char>('0' + i % 10);
    const std::string line = panicLine(r.pid, text + "(msg truncated)");
    EXPECT_NE(r.finished.err.find(line), std::string::npos) << r.finished.err.substr(0, 200);
    // Nothing of the 4097th byte onwards.
    EXPECT_EQ(count(r.finished.err, "(msg truncated)"), 1);
}

TEST(PanicReport, MessageOfExactly4096BytesIsNotMarked) {
    const Report r = runTable("panic_exact_limit");
    EXPECT_EQ(r.finished.termSignal(), SIGABRT);
    const std::string line = panicLine(r.pid, std::string(4096, 'y'));
    EXPECT_NE(r.finished.err.find(line), std::string::npos);
    EXPECT_EQ(r.finished.err.find("(msg truncated)"), std::string::npos);
}

TEST(NestedPanic, SecondPanicDuringTheReportPrintsOneNoticeAndAborts) {
    const Report r = runTable("panic_during_panic");
    EXPECT_EQ(r.finished.termSignal(), SIGABRT);
    const std::string& err = r.finished.err;
    const std::string notice = "Panicked during a panic. Aborting.\n";
    EXPECT_EQ(count(err, notice), 1) << err.substr(err.size() > 500 ? err.size() - 500 : 0);
    // The partial first report, then the notice as the very last bytes; the
    // second panic's own message is never printed.
    ASSERT_NE(err.find(panicLine(r.pid, "first panic")), std::string::npos);
    EXPECT_LT(err.find(panicLine(r.pid, "first panic")), err.find(notice));
    EXPECT_EQ(err.substr(err.size() - notice.size()), notice);
    EXPECT_EQ(err.find("second panic"), std::string::npos);
    EXPECT_EQ(count(err, " panic: "), 1);
}

TEST(ConcurrentPanic, BothReportsAppearWholeOneAfterTheOther) {
    const Report r = runTable("panic_two_threads");
    EXPECT_EQ(r.finished.termSignal(), SIGABRT);
    const std::string& err = r.finished.err;
    const size_t first = err.find(panicLine(r.pid, "panic on the first thread"));
    ASSERT_NE(first, std::string::npos) << err.substr(0, 300);
    static const e2e::Pattern second_re("thread ([0-9]+) panic: panic on the second thread\n");
    const auto m = second_re.search(err);
    ASSERT_TRUE(m.has_value()) << err.substr(err.size() > 500 ? err.size() - 500 : 0);
    EXPECT_NE(std::stoi(m->str(1)), r.pid);
    const size_t second = m->position();
    ASSERT_LT(first, second);
    // The first report: its 3000 stored entries and its whole current
    // stack, down to main, before the second report begins.
    const std::string first_report = err.substr(first, second - first);
    const auto first_addresses = frameAddresses(first_report);
    ASSERT_GT(first_addresses.size(), 3000u);
    const std::vector<unsigned long> tail(first_addresses.begin() + 3000, first_addresses.end());
    EXPECT_TRUE(inOrder(symbolize(tail), {"panicTwoThreads", "test_runner::mainTerminal", "main"}));
    // The second report is complete too: it names the panicking thread's
    // function and the output ends on a finished line.
    const auto second_names = symbolize(frameAddresses(err.substr(second)));
    ASSERT_FALSE(second_names.empty());
    EXPECT_NE(second_names[0].find("secondThreadPanics"), std::string::npos) << joined(second_names);
    EXPECT_EQ(err.back(), '\n');
    EXPECT_EQ(count(err, " panic: "), 2);
}

// A report with each line ending as on a pipe, each thread id as N and
// each code address as 0x?: the compiler may build the runner's loop once
// for a terminal and once for a pipe, so its return address differs.
std::string comparableReport(const std::string& text) {
    std::string out;
    for (size_t k = 0; k < text.size(); ++k) {
        if (text[k] == '\r' && k + 1 < text.size() && text[k + 1] == '\n') continue;
        out += text[k];
        if (out.ends_with("thread ")) {
            while (k + 1 < text.size() && text[k + 1] >= '0' && text[k + 1] <= '9') ++k;
            out += "N";
        } else if (out.ends_with(": 0x")) {
            while (k + 1 < text.size() && std::isxdigit(static_cast<unsigned char>(text[k + 1]))) ++k;
            out += "?";
        }
    }
    return out;
}

// On a terminal the runner prints no line for a test until it ends, and a
// report erases the progress tree that names it: the report starts with
// the test's line, as on a pipe, and is otherwise the same bytes. A second
// report (another thread's) follows with no line, as on a pipe.
TEST(ReportOnTerminal, StartsWithTheRunningTestsLineAsOnAPipe) {
    const std::pair<std::string, std::string> cases[] = {{"panic_plain", "1/1 fixture.test.panics..."},
                                                         {"fault_null_read", "1/1 fixture.test.reads address 0x10..."},
                                                         {"panic_two_threads", "1/1 fixture.test.two threads panic..."}};
    for (const auto& [table, line] : cases) {
        e2e::SpawnOptions options = fixtureOptions(table);
        options.set_env.push_back("NO_COLOR=1");
        const e2e::Finished piped = e2e::run(options);
        options.stderr_pty = true;
        const e2e::Finished on_terminal = e2e::run(options);
        EXPECT_EQ(piped.termSignal(), SIGABRT) << table;
        EXPECT_EQ(on_terminal.termSignal(), SIGABRT) << table;
        ASSERT_TRUE(piped.err.starts_with(line)) << table << "\n" << piped.err.substr(0, 300);
        EXPECT_TRUE(on_terminal.err.starts_with(line)) << table << "\n" << on_terminal.err.substr(0, 300);
        EXPECT_EQ(count(on_terminal.err, line), 1) << table;
        EXPECT_EQ(count(piped.err, line), 1) << table;
        // Which of two threads reports second, and where, varies by run.
        if (table != "panic_two_threads")
            EXPECT_EQ(comparableReport(on_terminal.err), comparableReport(piped.err)) << table;
    }
}

// Who checks: the program's own checked arithmetic and slices, or the
// compiler's instrumentation (builds without a sanitizer runtime, where
// the panic handler supplies its entry points). Both feed the same panics.
enum class Checker : bool { program, compiler };

struct SafetyCase {
    const char* table;
    const char* message;
    const char* function;  // where the check failed: the report's first frame
    Checker checker = Checker::program;
};

class SafetyCheckPanic : public ::testing::TestWithParam<SafetyCase> {};

TEST_P(SafetyCheckPanic, PrintsTheCheckMessageAndStartsAtTheCheckingFunction) {
    const SafetyCase& c = GetParam();
#if !defined(XOV_SAFETY_CHECKS)
    if (c.checker == Checker::compiler) GTEST_SKIP() << "the sanitizer runtime reports these checks in this build";
#endif
    const Report r = runTable(c.table);
    EXPECT_EQ(r.finished.termSignal(), SIGABRT);
    const std::string& err = r.finished.err;
    const std::string line = panicLine(r.pid, c.message);
    ASSERT_NE(err.find(line), std::string::npos) << err;
    const auto names = symbolize(frameAddresses(err.substr(err.find(line))));
    ASSERT_FALSE(names.empty()) << err;
    EXPECT_NE(names[0].find(c.function), std::string::npos) << joined(names);
    expectPrintedNamesMatchSymbolizer(err);
}

INSTANTIATE_TEST_SUITE_P(
    Checks, SafetyCheckPanic,
    ::testing::Values(
        SafetyCase{"panic_negative_cast", "attempt to cast negative value to unsigned integer", "castsNegative"},
        SafetyCase{"panic_start_after_end", "start index 5 is larger than end index 3", "slicesBackwards"},
        SafetyCase{"panic_slice_past_end", "index out of bounds: index 9, len 8", "slicesPastTheEnd"},
        SafetyCase{"panic_overflow", "integer overflow", "addsPastTheTop"},
        SafetyCase{"panic_division_by_zero", "division by zero", "dividesCheckedByZero"}),
    [](const auto& info) { return std::string(info.param.table); });

// Named "Compiler/...": the link-time optimised fixture's run selects
// these (and the entry points' test below) by that prefix.
INSTANTIATE_TEST_SUITE_P(
    Compiler, SafetyCheckPanic,
    ::testing::Values(
        SafetyCase{"panic_compiler_overflow", "integer overflow", "overflowsPlainly", Checker::compiler},
        SafetyCase{"panic_compiler_division", "division by zero", "dividesPlainlyByZero", Checker::compiler},
        SafetyCase{"panic_compiler_shift", "shift amount is greater than the type size", "shiftsTooFar",
                   Checker::compiler},
        SafetyCase{"panic_compiler_bounds", "index out of bounds: index 10, len 10", "indexesPlainArray",
                   Checker::compiler},
        SafetyCase{"panic_compiler_grid_row", "index out of bounds: index 3, len 3", "indexesGridRow",
                   Checker::compiler},
        SafetyCase{"panic_compiler_grid_column", "index out of bounds: index 4, len 4", "indexesGridColumn",
                   Checker::compiler},
        SafetyCase{"panic_compiler_unreachable", "reached unreachable code", "reachesUnreachable",
                   Checker::compiler}),
    [](const auto& info) { return std::string(info.param.table); });

// The checks' entry points are the panic handler's alone: a sanitizer
// runtime linked beside them (as a link-time optimised GCC build's driver
// asks for) would bring its own reports and start-up code. Every check
// kind the fixture exercises is called from its code.
TEST(CompilerCheckEntryPoints, AreThePanicHandlersAndEveryCheckKindIsCalled) {
#if !defined(XOV_SAFETY_CHECKS)
    GTEST_SKIP() << "the sanitizer runtime reports these checks in this build";
#endif
    auto run = [](const std::string& command) {
        std::string out;
        FILE* p = popen(command.c_str(), "r");
        if (p == nullptr) return out;
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
        return out;
    };
    const std::string ours[] = {"add_overflow_abort", "sub_overflow_abort", "mul_overflow_abort",
                                "negate_overflow_abort", "divrem_overflow_abort", "shift_out_of_bounds_abort",
                                "out_of_bounds_abort", "builtin_unreachable", "missing_return"};
    // Link-time optimisation may add specialised copies ("...abort.constprop.0").
    const std::string symbols = run("nm --defined-only '" + e2e::fixturePath() + "'");
    static const e2e::Pattern runtime_symbol(" (__ubsan_[A-Za-z_]+|__sanitizer_[A-Za-z_]+)(\\.[a-z0-9.]+)?\n");
    std::set<std::string> defined;
    for (const e2e::Match& m : runtime_symbol.findAll(symbols)) {
        const std::string name = m.str(1);
        bool known = false;
        for (const auto& o : ours) known = known || name == "__ubsan_handle_" + o;
        EXPECT_TRUE(known) << name << " comes from a sanitizer runtime";
        defined.insert(name);
    }
    EXPECT_EQ(defined.size(), std::size(ours));
    // References from calls and jumps; a function's own label line ends
    // with a colon.
    std::istringstream code(run("objdump -d --no-show-raw-insn '" + e2e::fixturePath() + "'"));
    std::map<std::string, int> calls;
    for (std::string line; std::getline(code, line);) {
        const size_t at = line.find("<__ubsan_handle_");
        if (at == std::string::npos || line.back() == ':') continue;
        calls[line.substr(at + 16, line.find_first_of(".>", at) - at - 16)] += 1;
    }
    for (const char* kind : {"add_overflow_abort", "divrem_overflow_abort", "shift_out_of_bounds_abort",
                             "out_of_bounds_abort", "builtin_unreachable"})
        EXPECT_GT(calls[kind], 0) << "no call to the " << kind << " check";
}

// Code with frame pointers but no call-frame information: the report says
// once that unwind information is missing there, then carries on by frame
// pointers to the callers.
TEST(PanicReport, MissingUnwindInformationIsReportedOnceAndTheWalkContinues) {
    const Report r = runTable("panic_below_code_without_cfi");
    EXPECT_EQ(r.finished.termSignal(), SIGABRT);
    const std::string& err = r.finished.err;
    static const e2e::Pattern message_re(
        "\nUnwind information for `([^`]+):0x([0-9a-f]+)` was not available, trace may be incomplete\n\n");
    const auto m = message_re.search(err);
    ASSERT_TRUE(m.has_value()) << err;
    EXPECT_EQ(m->str(1), e2e::fixturePath());
    EXPECT_EQ(count(err, "Unwind information for"), 1);
    // The address named is inside the function without rules.
    const auto where = symbolize({std::stoul(m->str(2), nullptr, 16)});
    ASSERT_EQ(where.size(), 1u);
    EXPECT_EQ(where[0], "xov_call_without_cfi");
    // Before the message: the panicking function and the one without rules;
    // after it: the callers found by frame pointers, down to main.
    const size_t at = m->position();
    const auto before = symbolize(frameAddresses(err.substr(0, at)));
    ASSERT_EQ(before.size(), 2u) << err;
    EXPECT_NE(before[0].find("panicsBelowCodeWithoutCfi"), std::string::npos);
    EXPECT_EQ(before[1], "xov_call_without_cfi");
    const auto after = symbolize(frameAddresses(err.substr(at)));
    EXPECT_TRUE(inOrder(after, {"callsCodeWithoutCfi", "panicBelowCodeWithoutCfi", "test_runner::mainTerminal", "main"}))
        << joined(after);
    ASSERT_FALSE(after.empty());
    EXPECT_NE(after[0].find("callsCodeWithoutCfi"), std::string::npos);
}

struct FaultCase {
    const char* table;
    const char* line;       // fault line; "{pc}" stands for the first frame's address
    const char* function;   // the function holding the interrupted instruction
    const char* caller;     // the test function that called it
};

class FaultReport : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultReport, PrintsTheFaultLineAndTheStackFromTheInterruptedInstruction) {
    const FaultCase& c = GetParam();
    const Report r = runTable(c.table);
    EXPECT_EQ(r.finished.termSignal(), SIGABRT);
    const std::string& err = r.finished.err;
    const auto dots = err.find("...");
    ASSERT_NE(dots, std::string::npos) << err;
    const std::string report = err.substr(dots + 3);
    const auto addresses = frameAddresses(report);
    ASSERT_FALSE(addresses.empty()) << err;
    std::string line = c.line;
    if (const auto at = line.find("{pc}"); at != std::string::npos) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%lx", addresses[0]);
        line.replace(at, 4, buf);
    }
    if (const auto at = line.find("{addr040}"); at != std::string::npos) {
        // Take the address from the report; require the page offset.
        static const e2e::Pattern addr_re("^Bus error at address 0x([0-9a-f]+)\n");
        const auto m = addr_re.search(report);
        ASSERT_TRUE(m.has_value()) << report;
        EXPECT_EQ(std::stoul(m->str(1), nullptr, 16) & 0xfff, 0x40u);
        line.replace(at, 9, m->str(1));
    }
    EXPECT_EQ(report.substr(0, line.size()), line) << report;
    const auto names = symbolize(addresses);
    ASSERT_FALSE(names.empty());
    EXPECT_NE(names[0].find(c.function), std::string::npos) << joined(names);
    EXPECT_TRUE(inOrder(names, {c.function, c.caller, "test_runner::mainTerminal", "main"})) << joined(names);
    EXPECT_EQ(count(err, "panic: "), 0);
    expectPrintedNamesMatchSymbolizer(err);
}

// A panic inside a callback that glibc's qsort calls: the current stack
// is walked by call-frame rules through qsort's frames, which keep no
// frame pointers.
TEST(PanicReport, StackFromInsideAQsortComparatorReachesTheSortingFunction) {
    const Report r = runTable("panic_in_qsort_comparator");
    EXPECT_EQ(r.finished.termSignal(), SIGABRT);
    const std::string& err = r.finished.err;
    const std::string line = panicLine(r.pid, "panic in a comparator");
    ASSERT_NE(err.find(line), std::string::npos) << err;
    const auto names = symbolize(frameAddresses(err.substr(err.find(line))));
    ASSERT_FALSE(names.empty()) << err;
    EXPECT_NE(names[0].find("comparatorPanics"), std::string::npos) << joined(names);
    EXPECT_TRUE(inOrder(names, {"comparatorPanics", "sortsWithPanickingComparator", "panicInQsortComparator",
                                "test_runner::mainTerminal", "main"}))
        << joined(names);
    expectPrintedNamesMatchSymbolizer(err);
}

INSTANTIATE_TEST_SUITE_P(
    Signals, FaultReport,
    ::testing::Values(
        FaultCase{"fault_null_read", "Segmentation fault at address 0x10\n", "readsAt", "faultNullRead"},
        FaultCase{"fault_non_canonical", "General protection exception (no address available)\n", "readsAt",
                  "faultNonCanonical"},
        FaultCase{"fault_illegal_instruction", "Illegal instruction at address 0x{pc}\n", "executesUd2",
                  "faultIllegalInstruction"},
        FaultCase{"fault_divide_by_zero", "Arithmetic exception at address 0x{pc}\n", "dividesByZero",
                  "faultDivideByZero"},
        // The fault address is the mapping's page plus 0x40; only its low
        // bits are known in advance.
        FaultCase{"fault_bus_error", "Bus error at address 0x{addr040}\n", "readsAt", "faultBusError"},
        // glibc's qsort keeps no frame pointers: only call-frame rules get
        // from the comparator back to the function that sorted.
        FaultCase{"fault_in_qsort_comparator", "Segmentation fault at address 0x10\n", "readsAt",
                  "sortsWithFaultingComparator"}),
    [](const auto& info) { return std::string(info.param.table); });

// The product installs the fault handler at start-up: while it serves the
// build driver, the kernel lists the four fault signals as caught.
TEST(FaultHandler, ProductCatchesTheFourFaultSignalsOnceStarted) {
    auto child = e2e::Child::spawn(e2e::product({"--listen=-"}));
    // The version announcement comes after start-up.
    ASSERT_GE(child.readStdout(8).size(), 8u);
    FILE* f = std::fopen(("/proc/" + std::to_string(child.pid()) + "/status").c_str(), "r");
    ASSERT_NE(f, nullptr);
    char line[256];
    unsigned long long caught = 0;
    while (std::fgets(line, sizeof line, f) != nullptr)
        if (std::sscanf(line, "SigCgt: %llx", &caught) == 1) break;
    std::fclose(f);
    for (int sig : {SIGSEGV, SIGILL, SIGBUS, SIGFPE}) EXPECT_TRUE(caught >> (sig - 1) & 1) << "signal " << sig;
    EXPECT_FALSE(caught >> (SIGABRT - 1) & 1);
    child.kill(SIGTERM);
    (void)child.finish();
}

// Ending the process: a first SIGABRT that is ignored or caught is
// followed by one with the default action restored.
TEST(PanicAbort, IgnoredSigabrtStillEndsTheProcessBySigabrt) {
    const Report r = runTable("panic_abort_ignored");
    EXPECT_EQ(r.finished.termSignal(), SIGABRT);
    EXPECT_NE(r.finished.err.find(panicLine(r.pid, "abort ignored")), std::string::npos);
}

TEST(PanicAbort, CaughtSigabrtRunsTheHandlerOnceThenEndsBySigabrt) {
    const Report r = runTable("panic_abort_caught");
    EXPECT_EQ(r.finished.termSignal(), SIGABRT);
    const std::string& err = r.finished.err;
    EXPECT_NE(err.find(panicLine(r.pid, "abort caught")), std::string::npos);
    EXPECT_EQ(count(err, "caught SIGABRT\n"), 1) << err;
    // The handler ran after the whole report.
    EXPECT_EQ(err.substr(err.size() - 15), "caught SIGABRT\n");
}

TEST(FaultDuringPanic, FaultInTheTracePrinterEndsByTheDefaultAction) {
    const Report r = runTable("fault_in_trace_printer");
    EXPECT_EQ(r.finished.termSignal(), SIGSEGV);
    const std::string& err = r.finished.err;
    const std::string line = panicLine(r.pid, "panic with an unreadable trace");
    ASSERT_GE(err.size(), line.size());
    // The report's first line and nothing after it: no second report.
    EXPECT_EQ(err.substr(err.size() - line.size()), line) << err;
    EXPECT_EQ(err.find("Segmentation fault"), std::string::npos);
}

// gdb stops at the fault before our handler runs; its backtrace must list
// the same code addresses that our unwinder printed (ours are return
// addresses minus one, gdb shows the return addresses themselves).
TEST(FaultReport, FramesThroughQsortMatchGdb) {
    if (access("/usr/bin/gdb", X_OK) != 0) GTEST_SKIP() << "gdb not installed";
    const Report ours = runTable("fault_in_qsort_comparator");
    const auto addresses = frameAddresses(ours.finished.err);
    ASSERT_GE(addresses.size(), 6u);

    // gdb turns address randomization off itself.
    e2e::SpawnOptions gdb = e2e::fixture("fault_in_qsort_comparator");
    gdb.argv = {"/usr/bin/gdb", "-batch", "-nx", "-ex", "set backtrace past-main on", "-ex", "run",
                "-ex", "printf \"pc=%lx\\n\", $pc", "-ex", "bt", e2e::fixturePath()};
    gdb.stdin_null = true;
    const e2e::Finished g = e2e::run(gdb);
    static const e2e::Pattern pc_re("pc=([0-9a-f]+)");
    const auto pc = pc_re.search(g.out);
    ASSERT_TRUE(pc.has_value()) << g.out << g.err;
    std::vector<unsigned long> theirs = {std::stoul(pc->str(1), nullptr, 16)};
    // Frame 0 is the pc itself, taken above; gdb prints its address only
    // sometimes.
    static const e2e::Pattern frame_re("#[1-9][0-9]*[[:space:]]+0x([0-9a-f]+) in ");
    for (const e2e::Match& m : frame_re.findAll(g.out)) theirs.push_back(std::stoul(m.str(1), nullptr, 16) - 1);
    ASSERT_GE(theirs.size(), 6u) << g.out;
    // gdb may stop a frame or two earlier or later at the outermost end
    // (_start); every frame both show must agree.
    const size_t n = std::min(theirs.size(), addresses.size());
    ASSERT_GE(n, 8u);
    for (size_t i = 0; i < n; ++i) EXPECT_EQ(addresses[i], theirs[i]) << "frame " << i << "\n" << g.out;
}

// ---------------------------------------------------------------------------
// Reports on a damaged or exhausted stack

// The entry lines of a report, each reduced to its function name ("???"
// for unknown code), with the skipped-frames line kept as it is.
std::vector<std::string> entryLines(const std::string& text) {
    static const e2e::Pattern line_re(
        ": 0x[0-9a-f]+ in ([^\n\r]+) \\([^()]*\\)$|^\\(([0-9]+) additional stack frames skipped\\.\\.\\.\\)$");
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        if (const auto m = line_re.search(line)) out.push_back(m->matched(1) ? m->str(1) : line);
        start = end + 1;
    }
    return out;
}

constexpr size_t shown_head = 192;
constexpr size_t shown_tail = 64;

// A looped frame chain would make the walk repeat one frame for ever; a
// short timeout keeps such a run from filling memory.
TEST(CorruptedStack, ALoopedFrameChainEndsThePanicTraceWithAnUnwindError) {
    const Report r = runTable("panic_looped_frame_chain", std::chrono::seconds(10));
    EXPECT_FALSE(r.finished.timed_out);
    EXPECT_EQ(r.finished.termSignal(), SIGABRT);
    const std::string& err = r.finished.err;
    ASSERT_LT(err.size(), 20000u) << err.substr(0, 2000);
    const std::string line = panicLine(r.pid, "frame chain loops");
    ASSERT_NE(err.find(line), std::string::npos) << err;
    const std::string report = err.substr(err.find(line) + line.size());
    const auto names = entryLines(report);
    ASSERT_EQ(names.size(), 2u) << report;
    EXPECT_EQ(names[0], "(anonymous namespace)::panicsWithItsFrameChainLooped");
    EXPECT_EQ(names[1], "(anonymous namespace)::panicLoopedFrameChain");
    // The step out of the test function found no frame above it: said once,
    // as the last thing, naming the return address it could not get past.
    static const e2e::Pattern error_re(
        "\nUnwind error at address `([^`]+):0x([0-9a-f]+)` \\(error\\.InvalidCFA\\), trace may be incomplete\n\n$");
    const auto m = error_re.search(report);
    ASSERT_TRUE(m.has_value()) << report;
    EXPECT_EQ(m->str(1), e2e::fixturePath());
    EXPECT_EQ(count(report, "Unwind error"), 1);
}

TEST(CorruptedStack, ALoopedFrameChainEndsTheFaultTraceWithAnUnwindError) {
    const Report r = runTable("fault_looped_frame_chain", std::chrono::seconds(10));
    EXPECT_FALSE(r.finished.timed_out);
    EXPECT_EQ(r.finished.termSignal(), SIGABRT);
    const std::string& err = r.finished.err;
    ASSERT_LT(err.size(), 20000u) << err.substr(0, 2000);
    const std::string line = "...Segmentation fault at address 0x10\n";
    ASSERT_NE(err.find(line), std::string::npos) << err;
    const auto names = entryLines(err);
    ASSERT_EQ(names.size(), 3u) << err;
    EXPECT_EQ(names[0], "(anonymous namespace)::readsAt");
    EXPECT_EQ(names[1], "(anonymous namespace)::faultsWithItsFrameChainLooped");
    EXPECT_EQ(names[2], "(anonymous namespace)::faultLoopedFrameChain");
    EXPECT_TRUE(err.ends_with("(error.InvalidCFA), trace may be incomplete\n\n")) << err;
}

// More frames than a trace shows: the innermost entries, the count of the
// ones left out, the outermost ones; the counts add up to the real depth.
TEST(BoundedTrace, ADeepPanicShowsInnermostEntriesTheSkippedCountAndOutermostEntries) {
    const Report r = runTable("panic_deep_recursion");
    EXPECT_EQ(r.finished.termSignal(), SIGABRT);
    const std::string& err = r.finished.err;
    const std::string line = panicLine(r.pid, "panic 1000 calls deep");
    ASSERT_NE(err.find(line), std::string::npos) << err.substr(0, 500);
    const auto lines = entryLines(err.substr(err.find(line)));
    ASSERT_EQ(lines.size(), shown_head + 1 + shown_tail) << err.substr(err.size() - 3000);
    const std::string recursing = "(anonymous namespace)::recursesThenPanics";
    for (size_t i = 0; i < shown_head; ++i) ASSERT_EQ(lines[i], recursing) << "entry " << i;
    static const e2e::Pattern skipped_re("^\\(([0-9]+) additional stack frames skipped\\.\\.\\.\\)$");
    const auto m = skipped_re.search(lines[shown_head]);
    ASSERT_TRUE(m.has_value()) << lines[shown_head];
    const size_t skipped = std::stoul(m->str(1));
    const std::vector<std::string> tail(lines.begin() + shown_head + 1, lines.end());
    const size_t recursing_in_tail = static_cast<size_t>(std::count(tail.begin(), tail.end(), recursing));
    // 1001 calls of the recursing function (depths 1000 down to 0), every
    // one either shown or counted.
    EXPECT_EQ(shown_head + skipped + recursing_in_tail, 1001u);
    EXPECT_TRUE(inOrder(tail, {recursing, "panicDeepRecursion", "test_runner::mainTerminal", "main"})) << joined(tail);
}

// Deeper than any step budget a walk could have had: a stack limit raised
// far above the 16 MiB start-up sets (which leaves a higher one alone) lets
// a recursion go 3 000 000 calls deep. The stack's own size bounds the
// walk: its outermost entries are still the test, the runner and main, and
// the counts add up to the real depth. The time allowed only catches a
// walk that does not end (its speed is the benchmark's to measure).
TEST(BoundedTrace, AStackOfMillionsOfFramesStillEndsWithTheTestTheRunnerAndMain) {
    constexpr rlim_t wanted = rlim_t{1} << 30;
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_STACK, &saved), 0);
    if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max < wanted) GTEST_SKIP() << "hard stack limit too low";
    rlimit raised = saved;
    raised.rlim_cur = wanted;
    ASSERT_EQ(setrlimit(RLIMIT_STACK, &raised), 0);
    const Report r = runTable("panic_far_deep_recursion", std::chrono::seconds(120));
    ASSERT_EQ(setrlimit(RLIMIT_STACK, &saved), 0);
    EXPECT_FALSE(r.finished.timed_out);
    EXPECT_EQ(r.finished.termSignal(), SIGABRT);
    const std::string& err = r.finished.err;
    const std::string line = panicLine(r.pid, "panic 3000000 calls deep");
    ASSERT_NE(err.find(line), std::string::npos) << err.substr(0, 500);
    const auto lines = entryLines(err.substr(err.find(line)));
    ASSERT_EQ(lines.size(), shown_head + 1 + shown_tail) << err.substr(err.size() > 3000 ? err.size() - 3000 : 0);
    const std::string recursing = "(anonymous namespace)::recursesFarThenPanics";
    for (size_t i = 0; i < shown_head; ++i) ASSERT_EQ(lines[i], recursing) << "entry " << i;
    static const e2e::Pattern skipped_re("^\\(([0-9]+) additional stack frames skipped\\.\\.\\.\\)$");
    const auto m = skipped_re.search(lines[shown_head]);
    ASSERT_TRUE(m.has_value()) << lines[shown_head];
    const size_t skipped = std::stoul(m->str(1));
    const std::vector<std::string> tail(lines.begin() + shown_head + 1, lines.end());
    const size_t recursing_in_tail = static_cast<size_t>(std::count(tail.begin(), tail.end(), recursing));
    EXPECT_EQ(shown_head + skipped + recursing_in_tail, 3'000'001u);
    EXPECT_TRUE(inOrder(tail, {recursing, "panicFarDeepRecursion", "test_runner::mainTerminal", "main"}))
        << joined(tail);
    // As shallow walks end: through the C library's start-up code.
    EXPECT_TRUE(inOrder(tail, {"main", "_start"})) << joined(tail);
}

struct OverflowCase {
    const char* table;
    bool server;
    const char* runner;  // the runner function the tail must reach
};

class StackOverflow : public ::testing::TestWithParam<OverflowCase> {};

// Runaway recursion inside a test: the fault line, then the recursing
// function from the faulting instruction on, the count of the frames left
// out, and the outermost frames down to the test and the runner.
TEST_P(StackOverflow, IsReportedWithTheFaultLineAndABoundedTraceThenSigabrt) {
    const OverflowCase& c = GetParam();
    e2e::SpawnOptions options = fixtureOptions(c.table);
    std::string input;
    if (c.server) {
        options.argv.push_back("--listen=-");
        // run_test 0: tag 5, body the 4-byte index.
        input = std::string("\x05\0\0\0\x04\0\0\0\0\0\0\0", 12);
    }
    const e2e::Finished f = e2e::run(options, input);
    EXPECT_EQ(f.termSignal(), SIGABRT);
    const std::string& err = f.err;
    static const e2e::Pattern fault_re("Segmentation fault at address 0x([0-9a-f]+)\n");
    const auto fault = fault_re.search(err);
    ASSERT_TRUE(fault.has_value()) << err.substr(0, 500);
    const std::string report = err.substr(fault->position());
    const auto lines = entryLines(report);
    ASSERT_EQ(lines.size(), shown_head + 1 + shown_tail) << report.substr(0, 3000);
    const std::string recursing = "(anonymous namespace)::recursesWithoutEnd";
    for (size_t i = 0; i < shown_head; ++i) ASSERT_EQ(lines[i], recursing) << "entry " << i;
    EXPECT_TRUE(lines[shown_head].ends_with(" additional stack frames skipped...)")) << lines[shown_head];
    // Tens of thousands of calls fit in 16 MiB.
    EXPECT_GT(std::stoul(lines[shown_head].substr(1)), 10000u);
    const std::vector<std::string> tail(lines.begin() + shown_head + 1, lines.end());
    EXPECT_EQ(tail.front(), recursing);
    EXPECT_TRUE(inOrder(tail, {recursing, "faultStackOverflow", c.runner, "main"})) << joined(tail);
    // One report, ending on a whole line.
    EXPECT_EQ(count(err, "Segmentation fault"), 1);
    EXPECT_EQ(err.back(), '\n');
}

INSTANTIATE_TEST_SUITE_P(Modes, StackOverflow,
                         ::testing::Values(OverflowCase{"fault_stack_overflow", false, "test_runner::mainTerminal"},
                                           OverflowCase{"fault_stack_overflow", true, "test_runner::mainServer"}),
                         [](const auto& info) { return std::string(info.param.server ? "server" : "terminal"); });

// With 3 KiB of stack left the kernel cannot even deliver the signal on
// the thread's own stack; on the alternate stack the report is whole.
TEST(StackOverflow, AFaultWithLittleStackLeftIsReportedWhole) {
    const Report r = runTable("fault_little_stack_left");
    EXPECT_EQ(r.finished.termSignal(), SIGABRT);
    const std::string& err = r.finished.err;
    const std::string line = "...Segmentation fault at address 0x10\n";
    ASSERT_NE(err.find(line), std::string::npos) << err.substr(0, 500);
    const auto lines = entryLines(err);
    ASSERT_EQ(lines.size(), shown_head + 1 + shown_tail) << err.substr(0, 3000);
    EXPECT_EQ(lines[0], "(anonymous namespace)::readsAt");
    EXPECT_EQ(lines[1], "(anonymous namespace)::faultsNearTheStackBottom");
    const std::vector<std::string> tail(lines.begin() + shown_head + 1, lines.end());
    EXPECT_TRUE(inOrder(tail, {"faultsNearTheStackBottom", "faultLittleStackLeft", "test_runner::mainTerminal", "main"}))
        << joined(tail);
}

// Threads a test starts itself, as a job system does, have an alternate
// signal stack too: a runaway recursion on a 64 KiB stack, a plain
// pthread's or std::thread's, is reported like the main thread's, from the
// recursing function down to the thread's own start; so is a plain fault
// with 16 KiB of a thread's stack left, less than a report needs.
struct ForeignThreadCase {
    const char* table;
    const char* innermost;  // the faulting function
    const char* repeated;   // the function whose calls fill the stack
    const char* start;      // the thread's start routine
};

class ForeignThread : public ::testing::TestWithParam<ForeignThreadCase> {};

TEST_P(ForeignThread, AFaultIsReportedWholeThenSigabrt) {
    const ForeignThreadCase& c = GetParam();
    // The C++ library of a sanitizer build is a shared one, whose
    // std::thread calls pthread_create where no link-time wrapper reaches.
    if (fixtureIsPie() && std::string(c.table) == "thread_overflow_std_thread")
        GTEST_SKIP() << "std::thread lies in the shared C++ library in sanitizer builds";
    const Report r = runTable(c.table);
    EXPECT_EQ(r.finished.termSignal(), SIGABRT) << r.finished.err.substr(0, 500);
    const std::string& err = r.finished.err;
    static const e2e::Pattern fault_re("\\.\\.\\.Segmentation fault at address 0x([0-9a-f]+)\n");
    const auto fault = fault_re.search(err);
    ASSERT_TRUE(fault.has_value()) << err.substr(0, 500);
    const auto lines = entryLines(err.substr(fault->position()));
    ASSERT_FALSE(lines.empty()) << err.substr(0, 3000);
    EXPECT_EQ(lines[0], std::string("(anonymous namespace)::") + c.innermost);
    // The whole thread's stack walked: some 200 recursing calls fit in
    // 64 KiB, about as many in the 240 KiB used before the fault.
    EXPECT_GT(std::count(lines.begin(), lines.end(), std::string("(anonymous namespace)::") + c.repeated), 100)
        << joined(lines);
    EXPECT_TRUE(inOrder(lines, {c.innermost, c.repeated, c.start})) << joined(lines);
    EXPECT_EQ(count(err, "Segmentation fault"), 1);
    EXPECT_EQ(err.back(), '\n');
}

INSTANTIATE_TEST_SUITE_P(
    Threads, ForeignThread,
    ::testing::Values(
        ForeignThreadCase{"thread_overflow_pthread", "threadRecursesWithoutEnd", "threadRecursesWithoutEnd",
                          "overflowsItsStack"},
        ForeignThreadCase{"thread_overflow_std_thread", "threadRecursesWithoutEnd", "threadRecursesWithoutEnd",
                          "overflowsItsStack"},
        ForeignThreadCase{"thread_fault_little_stack_left", "readsNullPlus", "faultsWith16KiBLeft",
                          "faultsNearItsStackBottom"}),
    [](const auto& info) { return std::string(info.param.table); });

// A parent's signal mask survives execve: started with the fault signals
// blocked, the program still reports a null read and a stack overflow and
// ends by SIGABRT, instead of dying silently by the default action.
TEST(StartUp, UnblocksTheFaultSignalsAParentBlocked) {
    const std::pair<const char*, const char*> runs[] = {{"fault_null_read", "faultNullRead"},
                                                        {"fault_stack_overflow", "faultStackOverflow"}};
    for (const auto& [table, test_function] : runs) {
        e2e::SpawnOptions options = fixtureOptions(table);
        options.blocked_signals = {SIGSEGV, SIGILL, SIGBUS, SIGFPE, SIGABRT};
        const e2e::Finished f = e2e::run(options);
        EXPECT_EQ(f.termSignal(), SIGABRT) << table << "\n" << f.err.substr(0, 500);
        const auto fault = f.err.find("...Segmentation fault at address 0x");
        ASSERT_NE(fault, std::string::npos) << table << "\n" << f.err.substr(0, 500);
        const auto lines = entryLines(f.err.substr(fault));
        EXPECT_TRUE(inOrder(lines, {test_function, "test_runner::mainTerminal", "main"})) << table << "\n"
                                                                                           << joined(lines);
    }
}

// The report path's deepest use of the alternate stack, measured after a
// whole report (the first one, which also opens the debug information):
// it must leave at least half the stack unused.
TEST(AlternateStack, TheReportPathUsesLessThanHalfOfIt) {
    static const e2e::Pattern peak_re("alternate stack peak: ([0-9]+) of ([0-9]+) bytes\n");
    // The overflow's report walks tens of thousands of frames; coloured
    // output adds the colour sequences' formatting to the plain fault's.
    const std::pair<const char*, bool> runs[] = {
        {"fault_measures_alt_stack", false}, {"fault_measures_alt_stack", true}, {"overflow_measures_alt_stack", false}};
    for (const auto& [table, colour] : runs) {
        e2e::SpawnOptions options = fixtureOptions(table);
        if (colour) options.set_env.push_back("CLICOLOR_FORCE=1");
        const e2e::Finished f = e2e::run(options);
        EXPECT_EQ(f.termSignal(), SIGABRT);
        const auto m = peak_re.search(f.err);
        ASSERT_TRUE(m.has_value()) << table << "\n" << f.err.substr(0, 500);
        const unsigned long peak = std::stoul(m->str(1));
        const unsigned long size = std::stoul(m->str(2));
        std::printf("%s%s: report path peak %lu of %lu bytes of alternate stack\n", table,
                    colour ? " (colour)" : "", peak, size);
        EXPECT_GT(peak, 0u);
        EXPECT_LE(2 * peak, size) << table;
    }
}

// Start-up, before the first test: the soft stack limit raised to the 16 MiB
// the executable declares (capped at the hard limit), and the alternate
// signal stack installed, though start-up no longer asks the kernel where
// the stack lies. The child inherits a soft limit of 8 MiB from this test.
TEST(StartUp, RaisesTheStackLimitAndInstallsTheAlternateStackBeforeTheFirstTest) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_STACK, &saved), 0);
    constexpr rlim_t MiB = 1024 * 1024;
    rlimit lowered = saved;
    lowered.rlim_cur = std::min<rlim_t>(8 * MiB, saved.rlim_max);
    ASSERT_EQ(setrlimit(RLIMIT_STACK, &lowered), 0);
    const Report r = runTable("start_up_state");
    ASSERT_EQ(setrlimit(RLIMIT_STACK, &saved), 0);
    EXPECT_EQ(r.finished.exitCode(), 0) << r.finished.err;
    const unsigned long long expected = std::min<rlim_t>(16 * MiB, saved.rlim_max);
    const e2e::Pattern line_re("stack limit ([0-9]+); alternate stack ([0-9]+) bytes\n");
    const auto m = line_re.search(r.finished.err);
    ASSERT_TRUE(m.has_value()) << r.finished.err;
    EXPECT_EQ(std::stoull(m->str(1)), expected);
    EXPECT_GE(std::stoull(m->str(2)), 64u * 1024);
}

// A call through a pointer to no code: the report shows the faulting
// address as its first entry, then the caller from the return address the
// call left at the stack pointer, and everything above it.
TEST(FaultReport, ACallThroughAPointerToNoCodeShowsTheCallerAndEverythingAbove) {
    for (const char* table : {"fault_null_call", "fault_data_call"}) {
        const Report r = runTable(table);
        EXPECT_EQ(r.finished.termSignal(), SIGABRT) << table;
        const std::string& err = r.finished.err;
        static const e2e::Pattern fault_re("\\.\\.\\.Segmentation fault at address 0x([0-9a-f]+)\n");
        const auto fault = fault_re.search(err);
        ASSERT_TRUE(fault.has_value()) << err;
        const auto addresses = frameAddresses(err.substr(fault->position()));
        ASSERT_GE(addresses.size(), 2u) << err;
        // The pc the call jumped to is the faulting address itself.
        EXPECT_EQ(addresses[0], std::stoul(fault->str(1), nullptr, 16)) << err;
        if (std::string(table) == "fault_null_call") EXPECT_EQ(addresses[0], 0u);
        const std::vector<unsigned long> rest(addresses.begin() + 1, addresses.end());
        const auto names = symbolize(rest);
        ASSERT_FALSE(names.empty());
        EXPECT_NE(names[0].find("callsThrough"), std::string::npos) << joined(names);
        const char* test = std::string(table) == "fault_null_call" ? "faultNullCall" : "faultDataCall";
        EXPECT_TRUE(inOrder(names, {"callsThrough", test, "test_runner::mainTerminal", "main"})) << joined(names);
        EXPECT_EQ(count(err, "Unwind"), 0) << err;
        expectPrintedNamesMatchSymbolizer(err);
    }
}

// Memory under the walk that cannot be read (a stack page made unreadable,
// a saved frame pointer into an unreadable page) ends the trace after the
// entries read so far, with the unwind error, and the process by SIGABRT.
TEST(CorruptedStack, UnreadableMemoryUnderTheWalkEndsTheTraceNotTheReport) {
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"panic_stack_page_unreadable",
         {"(anonymous namespace)::panicsWithAPageAboveUnreadable",
          "(anonymous namespace)::keepsItsFrameRecordOnAPageOfItsOwn"}},
        {"panic_frame_pointer_unreadable",
         {"(anonymous namespace)::panicsWithItsSavedFramePointerUnreadable",
          "(anonymous namespace)::panicFramePointerUnreadable"}},
    };
    for (const auto& [table, innermost] : cases) {
        const Report r = runTable(table, std::chrono::seconds(20));
        EXPECT_FALSE(r.finished.timed_out);
        EXPECT_EQ(r.finished.termSignal(), SIGABRT) << table << "\n" << r.finished.err;
        const std::string& err = r.finished.err;
        static const e2e::Pattern panic_re("thread [0-9]+ panic: [^\n]+\n");
        const auto m = panic_re.search(err);
        ASSERT_TRUE(m.has_value()) << err;
        const auto names = entryLines(err.substr(m->position()));
        ASSERT_GE(names.size(), innermost.size()) << err;
        for (size_t i = 0; i < innermost.size(); ++i) EXPECT_EQ(names[i], innermost[i]) << table << "\n" << err;
        EXPECT_EQ(count(err, "Unwind error at address"), 1) << err;
        EXPECT_TRUE(err.ends_with("trace may be incomplete\n\n")) << err;
    }
}

// A copy of the fixture in a directory of its own, made by a shell command
// given the fixture's path and the copy's path; removed with its directory.
struct FixtureCopy {
    std::string dir;
    std::string path;

    explicit FixtureCopy(const std::string& make) {
        char templ[] = "/tmp/xov_fixture_copy_XXXXXX";
        if (mkdtemp(templ) == nullptr) return;
        dir = templ;
        path = dir + "/xov_fixture";
        const std::string command = "F='" + e2e::fixturePath() + "' C='" + path + "'; " + make;
        if (std::system(command.c_str()) != 0) path.clear();
    }
    ~FixtureCopy() {
        if (!dir.empty()) (void)std::system(("rm -rf '" + dir + "'").c_str());
    }

    e2e::Finished run(const std::string& table) const {
        e2e::SpawnOptions options = fixtureOptions(table);
        options.argv.back() = path;
        return e2e::run(options);
    }
};

// The debug file, found by the copy's debug link, is mapped when the test
// cuts it to nothing: entries from it become entries of unknown source and
// the report goes on to the end.
TEST(DamagedDebugInfo, ADebugFileTruncatedWhileMappedLeavesTheReportWhole) {
    const FixtureCopy copy(
        "objcopy --only-keep-debug \"$F\" \"$C.debug\" && "
        "objcopy --strip-debug --add-gnu-debuglink=\"$C.debug\" \"$F\" \"$C\"");
    ASSERT_FALSE(copy.path.empty());
    const e2e::Finished f = copy.run("panic_debug_file_truncated");
    EXPECT_EQ(f.termSignal(), SIGABRT) << f.err;
    const std::string& err = f.err;
    static const e2e::Pattern panic_re("thread [0-9]+ panic: debug file truncated\n");
    const auto m = panic_re.search(err);
    ASSERT_TRUE(m.has_value()) << err;
    const std::string report = err.substr(m->end());
    const auto addresses = frameAddresses(report);
    ASSERT_GE(addresses.size(), 4u) << report;
    // Every entry of the copy's code is of unknown source, named by its
    // module (a C library linked dynamically is another module).
    static const e2e::Pattern entry_re(": 0x([0-9a-f]+) in ([^\n]+)$");
    const std::string unknown_tail = " in ??? (" + copy.path + ")";
    size_t in_copy = 0;
    for (const std::string& line : xov_test::linesOf(report)) {
        const auto m = entry_re.search(line);
        if (!m) continue;
        const unsigned long address = std::stoul(m->str(1), nullptr, 16);
        if (address == 0 || fileAddress(address) == 0) continue;
        in_copy += 1;
        EXPECT_TRUE(line.starts_with("???:?:?: 0x") && line.ends_with(unknown_tail)) << line;
    }
    EXPECT_GE(in_copy, 4u) << report;
    EXPECT_TRUE(inOrder(symbolize(addresses), {"panicDebugFileTruncated", "test_runner::mainTerminal", "main"}))
        << report;
    EXPECT_EQ(err.back(), '\n');
}

// One byte changed in the call-frame rules' CIE that nearly every function
// shares: its data alignment factor. Every step by those rules then looks
// plausible and is wrong, and they never reach the panic's first address;
// the report says so once and shows the stack by frame pointers.
TEST(DamagedDebugInfo, ADamagedSharedCieStillGivesTheWholePanicTrace) {
    const std::vector<u8> bytes = xov_test::readFile(e2e::fixturePath());
    const auto sections = xov_test::sectionsOf(bytes);
    const Elf64_Shdr& eh_frame = xov_test::section(sections, ".eh_frame").header;
    ASSERT_GT(eh_frame.sh_size, 0u);
    const usize base = eh_frame.sh_offset;
    auto word = [&](usize at) {
        u32 v;
        std::memcpy(&v, bytes.data() + base + at, sizeof v);
        return v;
    };
    // The CIE most FDEs point at.
    std::map<usize, size_t> uses;
    for (usize at = 0; at + 8 <= eh_frame.sh_size && word(at) != 0; at += 4 + word(at))
        if (word(at + 4) != 0) uses[at + 4 - word(at + 4)] += 1;
    ASSERT_FALSE(uses.empty());
    const usize cie = std::max_element(uses.begin(), uses.end(), [](const auto& a, const auto& b) {
                          return a.second < b.second;
                      })->first;
    // length, id, version, augmentation string, code alignment (ULEB128),
    // then the data alignment factor: -8, one byte.
    usize at = base + cie + 9;
    while (bytes[at] != 0) ++at;
    ++at;
    while ((bytes[at] & 0x80) != 0) ++at;
    ++at;
    ASSERT_EQ(bytes[at], 0x78);
    char patch[128];
    std::snprintf(patch, sizeof patch, "cp \"$F\" \"$C\" && printf '\\174' | dd of=\"$C\" bs=1 seek=%zu conv=notrunc 2>/dev/null",
                  static_cast<size_t>(at));
    const FixtureCopy copy(patch);
    ASSERT_FALSE(copy.path.empty());
    const e2e::Finished f = copy.run("panic_plain");
    EXPECT_EQ(f.termSignal(), SIGABRT);
    const std::string& err = f.err;
    static const e2e::Pattern panic_re("thread [0-9]+ panic: plain panic 42\n");
    const auto m = panic_re.search(err);
    ASSERT_TRUE(m.has_value()) << err;
    const std::string report = err.substr(m->end());
    static const e2e::Pattern error_re(
        "^Unwind error at address `([^`]+):0x([0-9a-f]+)` \\(error\\.InvalidDebugInfo\\), trace may be incomplete\n\n");
    const auto e = error_re.search(report);
    ASSERT_TRUE(e.has_value()) << report;
    EXPECT_EQ(e->str(1), copy.path);
    EXPECT_EQ(count(err, "Unwind"), 1) << report;
    // The address the walk was to start at: the return address into the
    // panicking function.
    const auto where = symbolize({std::stoul(e->str(2), nullptr, 16) - 1});
    ASSERT_EQ(where.size(), 1u);
    EXPECT_NE(where[0].find("panicsPlainly"), std::string::npos) << where[0];
    const auto names = symbolize(frameAddresses(report));
    ASSERT_FALSE(names.empty()) << report;
    EXPECT_NE(names[0].find("panicsPlainly"), std::string::npos) << joined(names);
    EXPECT_TRUE(inOrder(names, {"panicsPlainly", "panicPlain", "test_runner::mainTerminal", "main"})) << joined(names);
}

// A thread that faults while another writes a panic report waits for that
// report, then is reported itself; the process ends by SIGABRT.
TEST(FaultDuringPanic, AFaultOnAnotherThreadWaitsForTheWholePanicReport) {
    const Report r = runTable("fault_during_panic_other_thread");
    EXPECT_EQ(r.finished.termSignal(), SIGABRT);
    const std::string& err = r.finished.err;
    const size_t panic_at = err.find(panicLine(r.pid, "panic while another thread faults"));
    ASSERT_NE(panic_at, std::string::npos) << err.substr(0, 300);
    const size_t fault_at = err.find("Segmentation fault at address 0x10\n");
    ASSERT_NE(fault_at, std::string::npos) << err.substr(err.size() > 2000 ? err.size() - 2000 : 0);
    ASSERT_LT(panic_at, fault_at);
    // The panic report: 3000 stored entries, then the current stack down
    // to main, all before the fault's report begins.
    const auto panic_names = entryLines(err.substr(panic_at, fault_at - panic_at));
    ASSERT_GT(panic_names.size(), 3000u);
    const std::vector<std::string> current(panic_names.begin() + 3000, panic_names.end());
    EXPECT_TRUE(inOrder(current, {"faultDuringPanicOnAnotherThread", "test_runner::mainTerminal", "main"}))
        << joined(current);
    const auto fault_names = entryLines(err.substr(fault_at));
    ASSERT_GE(fault_names.size(), 2u);
    EXPECT_EQ(fault_names[0], "(anonymous namespace)::readsAt");
    EXPECT_EQ(fault_names[1], "(anonymous namespace)::secondThreadFaults");
    EXPECT_EQ(count(err, " panic: "), 1);
    EXPECT_EQ(err.back(), '\n');
}

}  // namespace
