// The demangler behind symbol-table names: pinned names of each construct
// it knows, in both styles; names it must refuse (not mangled, truncated,
// too long for the buffer); and every C++ symbol of this test binary
// against c++filt. Then the symbol table on a copy of the sample without
// its DWARF: names, clones, aliases, gaps.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "debuginfo/debuginfo.hpp"
#include "debuginfo/demangle.hpp"
#include "tests/debuginfo/shell.hpp"

namespace {

using dwarf::DemangleStyle;

std::string demangled(const std::string& mangled, DemangleStyle style, usize capacity = 4096) {
    std::vector<char> buffer(capacity);
    const auto out = dwarf::demangle(mangled, std::span<char>(buffer.data(), buffer.size()), style);
    return out ? std::string(*out) : std::string("(refused)");
}

struct Case {
    const char* mangled;
    const char* full;       // as c++filt prints it
    const char* name_only;  // as a trace entry shows it
};

// Each case pins a construct: substitutions (S_, S0_, St, Sa), template
// parameters (T_), constructors and destructors, operators and their
// template arguments, local names and lambdas, ABI tags, integer and bool
// literals, conversion operators, thunks, clone suffixes, and a pack.
constexpr Case cases[] = {
    // A const on a template parameter that is const already is written once.
    {"_ZSt9use_facetIKSt5ctypeIcEERKT_RKSt6locale",
     "std::ctype<char> const& std::use_facet<std::ctype<char> const>(std::locale const&)",
     "std::use_facet<std::ctype<char> const>"},
    {"_ZN6sample11Accumulator3addEl", "sample::Accumulator::add(long)", "sample::Accumulator::add"},
    {"_ZNK6sample11Accumulator6scaledIdEET_S2_", "double sample::Accumulator::scaled<double>(double) const",
     "sample::Accumulator::scaled<double>"},
    {"_ZN6sample12_GLOBAL__N_16hiddenEi", "sample::(anonymous namespace)::hidden(int)",
     "sample::(anonymous namespace)::hidden"},
    {"_ZNK6sample11Accumulator6scaledIiEET_S2_.isra.0",
     "int sample::Accumulator::scaled<int>(int) const [clone .isra.0]",
     "sample::Accumulator::scaled<int> [clone .isra.0]"},
    {"_ZNSt6vectorIiSaIiEEC2Ev", "std::vector<int, std::allocator<int> >::vector()",
     "std::vector<int, std::allocator<int> >::vector"},
    {"_ZN1XD0Ev", "X::~X()", "X::~X"},
    {"_ZN7testing15AssertionResultlsIPKcEERS0_RKT_",
     "testing::AssertionResult& testing::AssertionResult::operator<< <char const*>(char const* const&)",
     "testing::AssertionResult::operator<< <char const*>"},
    {"_ZZN4main3runEvENKUliE_clEi", "main::run()::{lambda(int)#1}::operator()(int) const",
     "main::run::{lambda(int)#1}::operator()"},
    {"_ZN3foo3barB5cxx11Ev", "foo::bar[abi:cxx11]()", "foo::bar[abi:cxx11]"},
    {"_ZplRK3VecS1_", "operator+(Vec const&, Vec const&)", "operator+"},
    {"_ZN1AIiLi5EE1fILb1EEEvv", "void A<int, 5>::f<true>()", "A<int, 5>::f<true>"},
    {"_ZN1AcviEv", "A::operator int()", "A::operator int"},
    {"_ZThn16_N1B1fEv", "non-virtual thunk to B::f()", "non-virtual thunk to B::f"},
    {"_ZNKSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEE4sizeEv",
     "std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >::size() const",
     "std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >::size"},
    {"_ZL6helperv", "helper()", "helper"},
    {"_ZN1X1fEPVKi", "X::f(int const volatile*)", "X::f"},
    {"_Z3maxIlET_S0_S0_", "long max<long>(long, long)", "max<long>"},
    {"_ZN5debug10panicExtraIJmmEEEvPK10StackTracemSt17basic_string_viewIcSt11char_traitsIcEEDpRKT_.isra.0",
     "(refused)", "debug::panicExtra<unsigned long, unsigned long> [clone .isra.0]"},
    {"_Z1fPFviE", "(refused)", "f"},
    {"_ZSt1vIPiJEE", "std::v<int*>", "std::v<int*>"},
    {"_ZNSt8_Rb_treeIiiSt9_IdentityIiESt4lessIiESaIiEE16_M_insert_uniqueIRKiEESt4pairISt17_Rb_tree_iteratorIiEbEOT_",
     "std::pair<std::_Rb_tree_iterator<int>, bool> std::_Rb_tree<int, int, std::_Identity<int>, std::less<int>, "
     "std::allocator<int> >::_M_insert_unique<int const&>(int const&)",
     "std::_Rb_tree<int, int, std::_Identity<int>, std::less<int>, std::allocator<int> >::_M_insert_unique<int const&>"},
};

TEST(Demangle, EachConstructInBothStyles) {
    for (const Case& c : cases) {
        EXPECT_EQ(demangled(c.mangled, DemangleStyle::full), c.full) << c.mangled;
        EXPECT_EQ(demangled(c.mangled, DemangleStyle::name_only), c.name_only) << c.mangled;
    }
}

TEST(Demangle, RefusesWhatItCannotSpellWhole) {
    for (const char* name : {"main", "", "_Z", "_Zx", "_ZNE", "_ZN3foo", "_Z3fo", "_Z999999999999foo",
                             "_ZC1Ev", "_ZS0_v", "_ZT_", "_Z1fIT_Ev", "_Z1f.", "_Z3foov.1x"})
        EXPECT_EQ(demangled(name, DemangleStyle::full), "(refused)") << name;
    // Every prefix of a real name: refused or spelled, never a read past
    // the end (the sanitizer builds check that).
    const std::string whole = cases[6].mangled;
    for (usize n = 0; n < whole.size(); ++n) (void)demangled(whole.substr(0, n), DemangleStyle::full);
    // Output that does not fit is refused, not cut.
    const std::string fits = cases[0].full;
    EXPECT_EQ(demangled(cases[0].mangled, DemangleStyle::full, fits.size()), fits);
    EXPECT_EQ(demangled(cases[0].mangled, DemangleStyle::full, fits.size() - 1), "(refused)");
    // Nesting deeper than the demangler follows is refused too.
    std::string deep = "_Z1f";
    for (int i = 0; i < 200; ++i) deep += "P";
    deep += "i";
    EXPECT_EQ(demangled(deep, DemangleStyle::full), "(refused)");
}

using xov_test::linesOf;
using xov_test::runShell;
using xov_test::symbolAddress;

TEST(Demangle, AgreesWithCxxfiltOnEveryNameOfThisProgram) {
    if (access("/usr/bin/c++filt", X_OK) != 0) GTEST_SKIP() << "c++filt not installed";
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    char list[] = "/tmp/demangle_names_XXXXXX";
    const int fd = mkstemp(list);
    ASSERT_GE(fd, 0);
    close(fd);
    runShell(std::string("nm --defined-only '") + self + "' | awk '{print $NF}' | grep '^_Z' | sort -u > " + list);
    const auto names = linesOf(runShell(std::string("cat ") + list));
    const auto theirs = linesOf(runShell(std::string("c++filt < ") + list));
    unlink(list);
    ASSERT_GT(names.size(), 500u);
    ASSERT_EQ(names.size(), theirs.size());
    usize spelled = 0;
    for (usize i = 0; i < names.size(); ++i) {
        const std::string ours = demangled(names[i], DemangleStyle::full);
        if (ours == "(refused)") continue;
        spelled += 1;
        // c++filt names a lambda's destructor after the enclosing function,
        // and leaves some names it cannot spell mangled.
        if (ours.find("::~{lambda") != std::string::npos || theirs[i] == names[i]) continue;
        EXPECT_EQ(ours, theirs[i]) << names[i];
    }
    // Function pointers, arrays and packs in parameter lists are refused;
    // the rest is spelled.
    EXPECT_GE(spelled * 100, names.size() * 90) << spelled << " of " << names.size();
}

TEST(SymbolTable, NamesCodeNoDwarfDescribes) {
    // The stripped sample alone in a directory: its debug file is not
    // found, so only its symbol table can name anything.
    char dir[] = "/tmp/symbol_table_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/trace_sample";
    {
        const auto bytes = xov_test::readFile(XOV_SAMPLE_STRIPPED_PATH);
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    auto module = debug::Module::openFile(path);
    ASSERT_TRUE(module.has_value());
    EXPECT_FALSE((*module)->usesSeparateDebugFile());
    auto nameAt = [&](u64 address) -> std::string {
        auto symbol = (*module)->getSymbolAtAddress(debug::debugInfoAllocator(), address);
        if (!symbol) return "(" + std::string(errorName(symbol.error())) + ")";
        EXPECT_FALSE(symbol->line_info.has_value());
        EXPECT_EQ(symbol->compile_unit_name, path);
        return std::string(symbol->symbol_name);
    };
    const u64 hidden = symbolAddress(path, "_ZN6sample12_GLOBAL__N_16hiddenEi");
    EXPECT_EQ(nameAt(hidden), "sample::(anonymous namespace)::hidden");
    EXPECT_EQ(nameAt(hidden + 1), "sample::(anonymous namespace)::hidden");
    // Optimised builds of the sample have a clone of this one.
    if (const u64 clone = symbolAddress(path, "_ZNK6sample11Accumulator6scaledIiEET_S2_.isra.0", false)) {
        EXPECT_EQ(nameAt(clone), "sample::Accumulator::scaled<int> [clone .isra.0]");
    }
    EXPECT_EQ(nameAt(symbolAddress(path, "main")), "main");
    // The same lookup twice gives the same cached string.
    auto first = (*module)->getSymbolAtAddress(debug::debugInfoAllocator(), hidden);
    auto second = (*module)->getSymbolAtAddress(debug::debugInfoAllocator(), hidden);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->symbol_name.data(), second->symbol_name.data());
    // Below every function, and far past the last: nothing holds them.
    EXPECT_EQ(nameAt(0x10), "(MissingDebugInfo)");
    EXPECT_EQ(nameAt(0x7fffffff0000), "(MissingDebugInfo)");
    unlink(path.c_str());
    rmdir(dir);
}

TEST(SymbolTable, AliasesAreNamedByTheirPublicName) {
    // The C library defines several names at one address ("__read" and
    // "read"); whichever the linker listed first, the entry uses the one
    // a reader knows. Only a statically linked product has them inside.
    const std::string product = XOV_PRODUCT_PATH;
    const auto defined = linesOf(runShell("nm --defined-only '" + product + "'"));
    auto addressOf = [&](const std::string& name) -> u64 {
        for (const auto& line : defined) {
            std::istringstream fields(line);
            std::string address, type, symbol;
            if (fields >> address >> type >> symbol && symbol == name) return std::stoull(address, nullptr, 16);
        }
        return 0;
    };
    if (addressOf("__libc_start_main") == 0) GTEST_SKIP() << "the C library is not linked in";
    auto module = debug::Module::openFile(product);
    ASSERT_TRUE(module.has_value());
    for (const char* name : {"__libc_start_main", "read", "qsort_r"}) {
        const u64 address = addressOf(name);
        if (address == 0) continue;
        auto symbol = (*module)->getSymbolAtAddress(debug::debugInfoAllocator(), address);
        ASSERT_TRUE(symbol.has_value()) << name;
        EXPECT_EQ(symbol->symbol_name, name);
    }
}

// Nothing in the product may reach the C++ runtime's throw support (a
// library call that can throw, such as std::string_view::substr, is
// enough): it brings the exception machinery and an emergency exception
// pool that every start-up allocates, in a program built without
// exceptions whose start-up cost is measured.
TEST(ProductImage, LinksNoExceptionSupport) {
    const std::string product = XOV_PRODUCT_PATH;
    const auto defined = linesOf(runShell("nm --defined-only '" + product + "'"));
    bool static_libc = false;
    std::vector<std::string> found;
    for (const auto& line : defined) {
        std::istringstream fields(line);
        std::string address, type, symbol;
        if (!(fields >> address >> type >> symbol)) continue;
        if (symbol == "__libc_start_main") static_libc = true;
        if (symbol == "__cxa_throw" || symbol == "__cxa_allocate_exception" || symbol.starts_with("_ZSt19__throw") ||
            symbol.starts_with("_ZSt20__throw") || symbol.starts_with("_ZSt24__throw"))
            found.push_back(symbol);
    }
    if (!static_libc) GTEST_SKIP() << "the C++ runtime is not linked in";
    EXPECT_TRUE(found.empty()) << found.front();
}

}  // namespace
