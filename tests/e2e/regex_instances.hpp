// std::regex over std::string, compiled once, in the end-to-end library.
// Its parser and matcher are templates that each test file using them
// would otherwise instantiate and optimise anew (about six seconds of CPU
// per file and build); the shared precompiled test header includes this,
// so those files only call the instances in regex_instances.cpp. A test
// executable using std::regex therefore links xov_e2e (the instances are
// not in every test executable: some read their own symbols).
#pragma once
#include <regex>
#include <string>

namespace xov_test_regex {
using Iterator = std::string::const_iterator;
using MatchAllocator = std::allocator<std::sub_match<Iterator>>;
}  // namespace xov_test_regex

extern template class std::basic_regex<char>;
extern template class std::__detail::_Scanner<char>;
extern template class std::__detail::_Compiler<std::regex_traits<char>>;
extern template class std::__detail::_NFA<std::regex_traits<char>>;
// What regex_search, regex_match and sregex_iterator run.
extern template bool std::__detail::__regex_algo_impl<xov_test_regex::Iterator, xov_test_regex::MatchAllocator, char,
                                                      std::regex_traits<char>>(
    xov_test_regex::Iterator, xov_test_regex::Iterator,
    std::match_results<xov_test_regex::Iterator, xov_test_regex::MatchAllocator>&, const std::basic_regex<char>&,
    std::regex_constants::match_flag_type, std::__detail::_RegexExecutorPolicy, bool);
