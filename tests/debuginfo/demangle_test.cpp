// The demangler behind symbol-table names: pinned names of each construct
// it knows, in both styles; names it must refuse (not mangled, malformed,
// truncated, too long for the buffer, nested too deep); every C++ symbol of
// this test binary, of the C++ library and of the product against c++filt,
// and mutations of them. Then the symbol table on a copy of the sample
// without its DWARF: names, clones, aliases, gaps.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
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
    // A pack expansion spells its pattern once for each element.
    {"_ZN5debug10panicExtraIJmmEEEvPK10StackTracemSt17basic_string_viewIcSt11char_traitsIcEEDpRKT_.isra.0",
     "void debug::panicExtra<unsigned long, unsigned long>(StackTrace const*, unsigned long, "
     "std::basic_string_view<char, std::char_traits<char> >, unsigned long const&, unsigned long const&) "
     "[clone .isra.0]",
     "debug::panicExtra<unsigned long, unsigned long> [clone .isra.0]"},
    // An empty one keeps the separator before it unless it is last, as
    // c++filt does, and so does an empty pack among template arguments.
    {"_Z1fIJEEvDpT_i", "void f<>(, int)", "f<>"},
    {"_ZNSt6threadC2IRFvvEJEvEEOT_DpOT0_", "std::thread::thread<void (&)(), , void>(void (&)())",
     "std::thread::thread<void (&)(), , void>"},
    {"_Z1fI1AIiEJEEvv", "void f<A<int>>()", "f<A<int>>"},
    // Types whose declarator goes inside them: functions, pointers and
    // references to them, arrays, pointers to members, and a return type
    // that wraps the whole function.
    {"_Z1fPFviE", "f(void (*)(int))", "f"},
    {"_ZNKSt8functionIFviEEclEi", "std::function<void (int)>::operator()(int) const",
     "std::function<void (int)>::operator()"},
    {"_Z1fKPFviE", "f(void (* const)(int))", "f"},
    {"_Z1fM1XKFvPKcES2_", "f(void (X::*)(char const*) const, void (char const*) const)", "f"},
    {"_Z1fA10_A5_iPA3_iM1Xi", "f(int [10][5], int (*) [3], int X::*)", "f"},
    {"_ZSt7forwardIRA11_KcEOT_RNSt16remove_referenceIS3_E4typeE",
     "char const (&std::forward<char const (&) [11]>(std::remove_reference<char const (&) [11]>::type&)) [11]",
     "std::forward<char const (&) [11]>"},
    {"_ZSt7forwardIPFvvEEOT_RNSt16remove_referenceIS2_E4typeE",
     "void (*&&std::forward<void (*)()>(std::remove_reference<void (*)()>::type&))()", "std::forward<void (*)()>"},
    // A collapsed reference leaves the candidate it was made from whole.
    {"_Z1fIOiJEERT_N1AIJS1_DpT0_EEE", "int& f<int&&>(A<int&&>)", "f<int&&>"},
    // Empty packs at the end of a pack take their separators, and the
    // space of "> >", with them.
    {"_ZSt12__get_helperILm1ESt14default_deleteIKPKcEJEERT0_RSt11_Tuple_implIXT_EJS5_DpT1_EE",
     "std::default_delete<char const* const>& std::__get_helper<1ul, std::default_delete<char const* const>>"
     "(std::_Tuple_impl<1ul, std::default_delete<char const* const>>&)",
     "std::__get_helper<1ul, std::default_delete<char const* const>>"},
    // Expressions among template arguments: operands in parentheses
    // unless they are names, a qualified function's address by its name.
    {"_Z1fIiEvPN1AIXgtT_Li1EEE4typeE", "void f<int>(A<((int)>(1))>::type*)", "f<int>"},
    {"_Z1fIiEvPN1AIXntsr1BIT_E5valueEE4typeE", "void f<int>(A<!B<int>::value>::type*)", "f<int>"},
    {"_Z1fIiEvPN1AIXadL_Z1gvEEE4typeE", "void f<int>(A<&(g())>::type*)", "f<int>"},
    {"_Z1fIJidEEvPN1AIXspT_EE4typeE", "void f<int, double>(A<int, double>::type*)", "f<int, double>"},
    {"_Z1fIiEvPN1AIXcvbLi1EEXstT_EE4typeE", "void f<int>(A<(bool)(1), sizeof (int)>::type*)", "f<int>"},
    // An array bound that is an expression, an argument pack in the older
    // spelling, construction vtables, transaction clones, _Float16, and a
    // symbol version.
    {"_ZN12_GLOBAL__N_115print_type_infoILm15EEEvRNS_12PrintContextEPKSt9type_infoRAT__Kc.constprop.0",
     "void (anonymous namespace)::print_type_info<15ul>((anonymous namespace)::PrintContext&, std::type_info const*, "
     "char const (&) [15ul]) [clone .constprop.0]",
     "(anonymous namespace)::print_type_info<15ul> [clone .constprop.0]"},
    {"_ZNSt5dequeINSt10filesystem4_DirESaIS1_EE12emplace_backIIS1_EEERS1_DpOT_",
     "std::filesystem::_Dir& std::deque<std::filesystem::_Dir, std::allocator<std::filesystem::_Dir> >::"
     "emplace_back<std::filesystem::_Dir>(std::filesystem::_Dir&&)",
     "std::deque<std::filesystem::_Dir, std::allocator<std::filesystem::_Dir> >::emplace_back<std::filesystem::_Dir>"},
    {"_ZTCSd0_Si",
     "construction vtable for std::basic_istream<char, std::char_traits<char> >-in-std::basic_iostream<char, "
     "std::char_traits<char> >",
     "construction vtable for std::basic_istream<char, std::char_traits<char> >-in-std::basic_iostream<char, "
     "std::char_traits<char> >"},
    {"_ZGTtNKSt11logic_error4whatEv", "transaction clone for std::logic_error::what() const",
     "transaction clone for std::logic_error::what"},
    {"_ZTIPKDF16_", "typeinfo for _Float16 const*", "typeinfo for _Float16 const*"},
    {"_ZdaPv@GLIBCXX_3.4", "operator delete[](void*)@GLIBCXX_3.4", "operator delete[]@GLIBCXX_3.4"},
    // A generic lambda's parameters are "auto:N"; the candidates made of
    // them are refused, as c++filt spells them with the outer arguments.
    {"_Z1fIZ1gvEUlRKT_E_EvS3_", "void f<g()::{lambda(auto:1 const&)#1}>(g()::{lambda(auto:1 const&)#1})",
     "f<g::{lambda(auto:1 const&)#1}>"},
    {"_Z1fIZ1gvEUlRKT_E_EvS2_", "(refused)", "f<g::{lambda(auto:1 const&)#1}>"},
    {"_ZN4heap5TreapImXadL_ZN12_GLOBAL__N_18identityEmEEE4nextEPNS2_4NodeE",
     "heap::Treap<unsigned long, &(anonymous namespace)::identity>::next(heap::Treap<unsigned long, &(anonymous "
     "namespace)::identity>::Node*)",
     "heap::Treap<unsigned long, &(anonymous namespace)::identity>::next"},
    {"_ZSt1vIPiJEE", "std::v<int*>", "std::v<int*>"},
    // A local class of a function template as a template argument: the
    // inner function's return type is not shown, in the name or where a
    // substitution repeats it.
    {"_Z1fIZ1gIiEvvE1XEvv", "void f<g<int>()::X>()", "f<g<int>::X>"},
    {"_ZN1A1fIZNS_1gIiEEvvE1XS2_EEvv", "void A::f<A::g<int>()::X, A::g<int>()::X>()",
     "A::f<A::g<int>::X, A::g<int>::X>"},
    // A destructor of a class with an ABI tag is named without the tag;
    // one of a lambda after the function around it, as c++filt does.
    {"_ZNSt8ios_base7failureB5cxx11D1Ev", "std::ios_base::failure[abi:cxx11]::~failure()",
     "std::ios_base::failure[abi:cxx11]::~failure"},
    {"_ZZN1f1gEvENUlvE_D1Ev", "f::g()::{lambda()#1}::~g()", "f::g::{lambda()#1}::~g"},
    // A conversion operator template whose type names its own parameter
    // (T_ here is the operator's argument, not the class's pack): refused,
    // as c++filt refuses it, rather than resolved against the wrong list.
    {"_ZNK7testing8internal10ValueArrayIJPKcS3_EEcvNS0_14ParamGeneratorIT_EEIS3_EEv", "(refused)", "(refused)"},
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
    // Malformed names c++filt refuses or spells as nonsense: "St" inside a
    // nested name, a name after an operator or a destructor, a nested name
    // of one substitution, a doubled qualifier, qualifiers on data, a
    // floating-point literal, a substitution after "St", a clone of data...
    for (const char* name :
         {"_ZNStcodecvtIwc11__mbstate_tEC2EP15__locale_structm", "_ZNdaIPcED2Ev", "_ZNSoEt", "_ZNKKSt6atomicIbEcvbEv",
          "_ZNK8Progress4Node3endE", "_ZNKSt10moneypunctIcLf0EE16do_positive_signEv",
          "_ZNKStSt5ctypeIcE13_M_widen_initEv", "_ZN1a1bE.cold"}) {
        EXPECT_EQ(demangled(name, DemangleStyle::full), "(refused)") << name;
        EXPECT_EQ(demangled(name, DemangleStyle::name_only), "(refused)") << name;
    }
    // ...and in the parameters, which only the full style reads: reordered
    // qualifiers, a function template without parameters, a character no
    // identifier has, a template parameter of a function that has none, a
    // pack outside an expansion.
    for (const char* name : {"_ZN1X1fERKrN1Y1ZE", "_ZSt8_DestroyIPcEPT_", "_Z1f9ab@cdefghv", "_ZN1AIiE1fET_",
                             "_Z1fIJidEEvOT_"})
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
    // Packs nest as deep as anything else does: nine levels are spelled,
    // a thousand refused (tens of thousands would overflow a signal stack).
    auto packs = [](int levels) {
        return "_Z1fI" + std::string(static_cast<usize>(levels), 'J') + "i" + std::string(static_cast<usize>(levels), 'E') +
               "Evv";
    };
    EXPECT_EQ(demangled(packs(9), DemangleStyle::full), "void f<int>()");
    EXPECT_EQ(demangled(packs(1000), DemangleStyle::full), "(refused)");
    EXPECT_EQ(demangled(packs(1000), DemangleStyle::name_only), "(refused)");
}

// Once the answer cannot fit, the rest of a long name is not decoded: its
// tail here lies on a page that cannot be read, which a demangler still
// reading would fault on.
TEST(Demangle, StopsReadingWhenTheAnswerCannotFit) {
    const auto page = static_cast<usize>(sysconf(_SC_PAGESIZE));
    const usize pages = 4;
    void* map = mmap(nullptr, page * pages, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    char* text = static_cast<char*>(map);
    // A pack of literals, spelled "1, " each, up to the unreadable pages:
    // its answer outgrows a 1,024-byte buffer a third of the way in.
    std::string name = "_Z1fIJ";
    while (name.size() < page) name += "Li1E";
    std::memcpy(text, name.data(), page);
    ASSERT_EQ(mprotect(text + page, page * (pages - 1), PROT_NONE), 0);
    const std::string_view whole(text, page * pages);
    std::vector<char> buffer(1024);
    for (const DemangleStyle style : {DemangleStyle::full, DemangleStyle::name_only})
        EXPECT_FALSE(dwarf::demangle(whole, std::span<char>(buffer.data(), buffer.size()), style).has_value());
    munmap(map, page * pages);
}

using xov_test::linesOf;
using xov_test::runShell;
using xov_test::symbolAddress;

// The _Z names nm lists in the given files, each once.
std::vector<std::string> mangledNames(const std::string& files) {
    return linesOf(runShell("nm --defined-only " + files + " 2>/dev/null | awk '{print $NF}' | grep '^_Z' | sort -u"));
}

// c++filt's answer for each name, from one c++filt process.
std::vector<std::string> cxxfilt(const std::vector<std::string>& names) {
    char list[] = "/tmp/demangle_names_XXXXXX";
    const int fd = mkstemp(list);
    if (fd < 0) return {};
    close(fd);
    {
        std::ofstream out(list);
        for (const auto& name : names) out << name << '\n';
    }
    auto theirs = linesOf(runShell(std::string("c++filt < ") + list));
    unlink(list);
    return theirs;
}

// How our full style compares with c++filt over names: the same text (a
// name both leave mangled counts here), refused where c++filt spells it,
// or different, which includes spelling what c++filt refuses.
struct Agreement {
    usize same = 0, refused = 0, differ = 0;
    std::vector<std::string> differing;  // "mangled: ours / theirs", the first few
};

Agreement compare(const std::vector<std::string>& names, const std::vector<std::string>& theirs) {
    Agreement a;
    for (usize i = 0; i < names.size() && i < theirs.size(); ++i) {
        const std::string ours = demangled(names[i], DemangleStyle::full);
        if (ours == theirs[i] || (ours == "(refused)" && theirs[i] == names[i])) {
            a.same += 1;
        } else if (ours == "(refused)") {
            a.refused += 1;
        } else {
            a.differ += 1;
            if (a.differing.size() < 10) a.differing.push_back(names[i] + ": " + ours + " / " + theirs[i]);
        }
    }
    return a;
}

std::string figure(const Agreement& a, usize total) {
    char text[160];
    std::snprintf(text, sizeof text, "%zu names: %.2f%% as c++filt spells them, %zu refused, %zu different", total,
                  100.0 * static_cast<double>(a.same) / static_cast<double>(total), a.refused, a.differ);
    return text;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& line : lines) out += line + "\n";
    return out;
}

TEST(Demangle, AgreesWithCxxfiltOnEveryNameOfThisProgram) {
    if (access("/usr/bin/c++filt", X_OK) != 0) GTEST_SKIP() << "c++filt not installed";
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    const auto names = mangledNames(std::string("'") + self + "'");
    const auto theirs = cxxfilt(names);
    ASSERT_GT(names.size(), 500u);
    ASSERT_EQ(names.size(), theirs.size());
    // Names c++filt leaves mangled count: spelling one is a difference.
    const Agreement a = compare(names, theirs);
    std::printf("This program: %s\n", figure(a, names.size()).c_str());
    EXPECT_EQ(a.differ, 0u) << joined(a.differing);
    // Function pointers, arrays and packs in parameter lists are refused;
    // the rest is spelled.
    EXPECT_GE(a.same * 100, names.size() * 90) << figure(a, names.size());
}

// The names of the C++ library and of the product: the common forms of
// real code, measured against c++filt.
std::vector<std::string> corpus() {
    std::string library = runShell("g++ -print-file-name=libstdc++.a 2>/dev/null");
    while (!library.empty() && (library.back() == '\n' || library.back() == ' ')) library.pop_back();
    if (library.empty() || access(library.c_str(), R_OK) != 0)
        library = "/usr/lib/gcc/x86_64-linux-gnu/12/libstdc++.a";
    return mangledNames("'" + library + "' '" + XOV_PRODUCT_PATH + "'");
}

TEST(Demangle, AgreesWithCxxfiltOnTheLibraryAndTheProduct) {
    if (access("/usr/bin/c++filt", X_OK) != 0) GTEST_SKIP() << "c++filt not installed";
    const auto names = corpus();
    const auto theirs = cxxfilt(names);
    ASSERT_GT(names.size(), 5000u) << "the C++ library's names are missing";
    ASSERT_EQ(names.size(), theirs.size());
    const Agreement a = compare(names, theirs);
    std::printf("The C++ library and the product: %s\n", figure(a, names.size()).c_str());
    EXPECT_EQ(a.differ, 0u) << joined(a.differing);
    EXPECT_GE(a.same * 1000, names.size() * 995) << figure(a, names.size());
}

// Real names with a character changed, added or removed: either c++filt's
// answer or a refusal, never a spelling of our own.
TEST(Demangle, MutatedNamesAreSpelledAsCxxfiltSpellsThemOrRefused) {
    if (access("/usr/bin/c++filt", X_OK) != 0) GTEST_SKIP() << "c++filt not installed";
    const auto real = corpus();
    ASSERT_GT(real.size(), 5000u);
    const std::string alphabet = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_";
    std::mt19937 random(21);
    std::vector<std::string> names;
    for (int i = 0; i < 5000; ++i) {
        std::string name = real[random() % real.size()];
        if (name.size() < 4) continue;
        const usize at = 2 + random() % (name.size() - 2);
        const char other = alphabet[random() % alphabet.size()];
        switch (random() % 3) {
            case 0: name[at] = other; break;
            case 1: name.insert(name.begin() + static_cast<std::ptrdiff_t>(at), other); break;
            default: name.erase(at, 1); break;
        }
        names.push_back(name);
    }
    const auto theirs = cxxfilt(names);
    ASSERT_EQ(names.size(), theirs.size());
    const Agreement a = compare(names, theirs);
    std::printf("Mutated names: %s\n", figure(a, names.size()).c_str());
    EXPECT_EQ(a.differ, 0u) << joined(a.differing);
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
