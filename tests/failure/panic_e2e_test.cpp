// Panic and fault reports of the fixture executable, checked from outside:
// exact report lines, the ending signal, and every printed frame resolved
// independently with llvm-symbolizer (and, for one fault, against gdb).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/child.hpp"

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

Report runTable(const std::string& table) {
    auto child = e2e::Child::spawn(fixtureOptions(table));
    Report r;
    r.pid = child.pid();
    r.finished = child.finish(std::chrono::seconds(60));
    return r;
}

// The code addresses of the frame entries, in order ("...: 0x{x} in ...").
std::vector<unsigned long> frameAddresses(const std::string& text) {
    static const std::regex entry(R"(: 0x([0-9a-f]+) in )");
    std::vector<unsigned long> out;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), entry); it != std::sregex_iterator(); ++it)
        out.push_back(std::stoul((*it)[1].str(), nullptr, 16));
    return out;
}

// The fixture file's own address for a run-time address; 0 when the
// address lies outside the fixture (a shared library of a sanitizer build).
unsigned long fileAddress(unsigned long address) {
    if (!fixtureIsPie()) return address;
    if (address < kPieBase || address - kPieBase >= 0x100000000ul) return 0;
    return address - kPieBase;
}

// Function names for run-time addresses of the fixture, outermost function
// only ("??" outside the fixture).
std::vector<std::string> symbolize(const std::vector<unsigned long>& addresses) {
    std::vector<std::string> names;
    for (size_t start = 0; start < addresses.size(); start += 64) {
        std::string cmd = "llvm-symbolizer --no-inlines --obj=" + e2e::fixturePath();
        for (size_t i = start; i < addresses.size() && i < start + 64; ++i) {
            char buf[32];
            std::snprintf(buf, sizeof buf, " 0x%lx", fileAddress(addresses[i]));
            cmd += buf;
        }
        FILE* p = popen(cmd.c_str(), "r");
        if (p == nullptr) return names;
        char line[4096];
        int n = 0;
        while (std::fgets(line, sizeof line, p) != nullptr) {
            std::string s(line);
            if (s == "\n") {
                n = 0;
                continue;
            }
            if (n++ == 0) names.push_back(s.substr(0, s.size() - 1));
        }
        pclose(p);
    }
    return names;
}

// Where the report resolved a frame's function itself, it must agree with
// llvm-symbolizer on the same address (the symbolizer adds parameter lists
// and clone suffixes; the report does not).
void expectPrintedNamesMatchSymbolizer(const std::string& text) {
    static const std::regex line_re(R"(: 0x([0-9a-f]+) in (.+) \([^()]*\)\n)");
    std::vector<unsigned long> addresses;
    std::vector<std::string> printed;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), line_re); it != std::sregex_iterator(); ++it) {
        const unsigned long address = std::stoul((*it)[1].str(), nullptr, 16);
        if ((*it)[2].str() == "???" || fileAddress(address) == 0) continue;
        addresses.push_back(address);
        printed.push_back((*it)[2].str());
    }
    const auto names = symbolize(addresses);
    ASSERT_EQ(names.size(), printed.size());
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(names[i].substr(0, printed[i].size()), printed[i]) << "at 0x" << std::hex << addresses[i];
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

TEST(PanicReport, namesThreadAndMessageThenStackFromThePanickingFunction) {
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

TEST(PanicReport, printsTheErrorReturnTraceBeforeTheCurrentStack) {
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

TEST(PanicReport, outOfBoundsIndexNamesIndexAndLengthAndStartsAtTheIndexingFunction) {
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

TEST(PanicReport, narrowingThatLosesBitsPanicsFromTheNarrowingFunction) {
    const Report r = runTable("panic_int_cast");
    EXPECT_EQ(r.finished.termSignal(), SIGABRT);
    const std::string line = panicLine(r.pid, "integer cast truncated bits");
    const std::string& err = r.finished.err;
    ASSERT_NE(err.find(line), std::string::npos) << err;
    const auto names = symbolize(frameAddresses(err.substr(err.find(line))));
    ASSERT_FALSE(names.empty()) << err;
    EXPECT_NE(names[0].find("narrows"), std::string::npos) << joined(names);
}

TEST(PanicReport, messageOverTheBufferIsCutTo4096BytesAndMarked) {
    const Report r = runTable("panic_long_message");
    EXPECT_EQ(r.finished.termSignal(), SIGABRT);
    std::string text;
    for (int i = 0; i < 4096; ++i) text += static_cast<char>('0' + i % 10);
    const std::string line = panicLine(r.pid, text + "(msg truncated)");
    EXPECT_NE(r.finished.err.find(line), std::string::npos) << r.finished.err.substr(0, 200);
    // Nothing of the 4097th byte onwards.
    EXPECT_EQ(count(r.finished.err, "(msg truncated)"), 1);
}

TEST(PanicReport, messageOfExactly4096BytesIsNotMarked) {
    const Report r = runTable("panic_exact_limit");
    EXPECT_EQ(r.finished.termSignal(), SIGABRT);
    const std::string line = panicLine(r.pid, std::string(4096, 'y'));
    EXPECT_NE(r.finished.err.find(line), std::string::npos);
    EXPECT_EQ(r.finished.err.find("(msg truncated)"), std::string::npos);
}

TEST(NestedPanic, secondPanicDuringTheReportPrintsOneNoticeAndAborts) {
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

TEST(ConcurrentPanic, bothReportsAppearWholeOneAfterTheOther) {
    const Report r = runTable("panic_two_threads");
    EXPECT_EQ(r.finished.termSignal(), SIGABRT);
    const std::string& err = r.finished.err;
    const size_t first = err.find(panicLine(r.pid, "panic on the first thread"));
    ASSERT_NE(first, std::string::npos) << err.substr(0, 300);
    static const std::regex second_re(R"(thread (\d+) panic: panic on the second thread\n)");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(err, m, second_re)) << err.substr(err.size() > 500 ? err.size() - 500 : 0);
    EXPECT_NE(std::stoi(m[1].str()), r.pid);
    const size_t second = static_cast<size_t>(m.position(0));
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

struct SafetyCase {
    const char* table;
    const char* message;
    const char* function;  // where the check failed: the report's first frame
};

class SafetyCheckPanic : public ::testing::TestWithParam<SafetyCase> {};

TEST_P(SafetyCheckPanic, printsTheCheckMessageAndStartsAtTheCheckingFunction) {
    const SafetyCase& c = GetParam();
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

// The compiler's own checks feed the same panics (builds without a
// sanitizer runtime, where the panic handler supplies their entry points).
class CompilerCheckPanic : public ::testing::TestWithParam<SafetyCase> {};

TEST_P(CompilerCheckPanic, printsTheCheckMessageAndStartsAtTheCheckingFunction) {
#if !defined(XOV_SAFETY_CHECKS)
    GTEST_SKIP() << "the sanitizer runtime reports these checks in this build";
#endif
    const SafetyCase& c = GetParam();
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
    Compiler, CompilerCheckPanic,
    ::testing::Values(SafetyCase{"panic_compiler_overflow", "integer overflow", "overflowsPlainly"},
                      SafetyCase{"panic_compiler_division", "division by zero", "dividesPlainlyByZero"},
                      SafetyCase{"panic_compiler_shift", "shift amount is greater than the type size", "shiftsTooFar"},
                      SafetyCase{"panic_compiler_bounds", "index out of bounds: index 10, len 10", "indexesPlainArray"},
                      SafetyCase{"panic_compiler_unreachable", "reached unreachable code", "reachesUnreachable"}),
    [](const auto& info) { return std::string(info.param.table); });

// The checks' entry points are the panic handler's alone: a sanitizer
// runtime linked beside them (as a link-time optimised GCC build's driver
// asks for) would bring its own reports and start-up code. Every check
// kind the fixture exercises is called from its code.
TEST(CompilerCheckEntryPoints, areThePanicHandlersAndEveryCheckKindIsCalled) {
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
    static const std::regex runtime_symbol(R"( (__ubsan_[A-Za-z_]+|__sanitizer_[A-Za-z_]+)(\.[a-z0-9.]+)?\n)");
    std::set<std::string> defined;
    for (auto it = std::sregex_iterator(symbols.begin(), symbols.end(), runtime_symbol);
         it != std::sregex_iterator(); ++it) {
        const std::string name = (*it)[1].str();
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
TEST(PanicReport, missingUnwindInformationIsReportedOnceAndTheWalkContinues) {
    const Report r = runTable("panic_below_code_without_cfi");
    EXPECT_EQ(r.finished.termSignal(), SIGABRT);
    const std::string& err = r.finished.err;
    static const std::regex message_re(
        R"(\nUnwind information for `([^`]+):0x([0-9a-f]+)` was not available, trace may be incomplete\n\n)");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(err, m, message_re)) << err;
    EXPECT_EQ(m[1].str(), e2e::fixturePath());
    EXPECT_EQ(count(err, "Unwind information for"), 1);
    // The address named is inside the function without rules.
    const auto where = symbolize({std::stoul(m[2].str(), nullptr, 16)});
    ASSERT_EQ(where.size(), 1u);
    EXPECT_EQ(where[0], "xov_call_without_cfi");
    // Before the message: the panicking function and the one without rules;
    // after it: the callers found by frame pointers, down to main.
    const size_t at = static_cast<size_t>(m.position(0));
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

TEST_P(FaultReport, printsTheFaultLineAndTheStackFromTheInterruptedInstruction) {
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
        static const std::regex addr_re(R"(^Bus error at address 0x([0-9a-f]+)\n)");
        std::smatch m;
        ASSERT_TRUE(std::regex_search(report, m, addr_re)) << report;
        EXPECT_EQ(std::stoul(m[1].str(), nullptr, 16) & 0xfff, 0x40u);
        line.replace(at, 9, m[1].str());
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
TEST(PanicReport, stackFromInsideAQsortComparatorReachesTheSortingFunction) {
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
TEST(FaultHandler, productCatchesTheFourFaultSignalsOnceStarted) {
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
TEST(PanicAbort, ignoredSigabrtStillEndsTheProcessBySigabrt) {
    const Report r = runTable("panic_abort_ignored");
    EXPECT_EQ(r.finished.termSignal(), SIGABRT);
    EXPECT_NE(r.finished.err.find(panicLine(r.pid, "abort ignored")), std::string::npos);
}

TEST(PanicAbort, caughtSigabrtRunsTheHandlerOnceThenEndsBySigabrt) {
    const Report r = runTable("panic_abort_caught");
    EXPECT_EQ(r.finished.termSignal(), SIGABRT);
    const std::string& err = r.finished.err;
    EXPECT_NE(err.find(panicLine(r.pid, "abort caught")), std::string::npos);
    EXPECT_EQ(count(err, "caught SIGABRT\n"), 1) << err;
    // The handler ran after the whole report.
    EXPECT_EQ(err.substr(err.size() - 15), "caught SIGABRT\n");
}

TEST(FaultDuringPanic, faultInTheTracePrinterEndsByTheDefaultAction) {
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
TEST(FaultReport, framesThroughQsortMatchGdb) {
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
    std::smatch m;
    static const std::regex pc_re(R"(pc=([0-9a-f]+))");
    ASSERT_TRUE(std::regex_search(g.out, m, pc_re)) << g.out << g.err;
    std::vector<unsigned long> theirs = {std::stoul(m[1].str(), nullptr, 16)};
    // Frame 0 is the pc itself, taken above; gdb prints its address only
    // sometimes.
    static const std::regex frame_re(R"(#[1-9]\d*\s+0x([0-9a-f]+) in )");
    for (auto it = std::sregex_iterator(g.out.begin(), g.out.end(), frame_re); it != std::sregex_iterator(); ++it)
        theirs.push_back(std::stoul((*it)[1].str(), nullptr, 16) - 1);
    ASSERT_GE(theirs.size(), 6u) << g.out;
    // gdb may stop a frame or two earlier or later at the outermost end
    // (_start); every frame both show must agree.
    const size_t n = std::min(theirs.size(), addresses.size());
    ASSERT_GE(n, 8u);
    for (size_t i = 0; i < n; ++i) EXPECT_EQ(addresses[i], theirs[i]) << "frame " << i << "\n" << g.out;
}

}  // namespace
