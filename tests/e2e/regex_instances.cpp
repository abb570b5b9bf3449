// The instances tests/e2e/regex_instances.hpp declares.
#include "tests/e2e/regex_instances.hpp"

template class std::basic_regex<char>;
template class std::__detail::_Scanner<char>;
template class std::__detail::_Compiler<std::regex_traits<char>>;
template class std::__detail::_NFA<std::regex_traits<char>>;
template bool std::__detail::__regex_algo_impl<xov_test_regex::Iterator, xov_test_regex::MatchAllocator, char,
                                               std::regex_traits<char>>(
    xov_test_regex::Iterator, xov_test_regex::Iterator,
    std::match_results<xov_test_regex::Iterator, xov_test_regex::MatchAllocator>&, const std::basic_regex<char>&,
    std::regex_constants::match_flag_type, std::__detail::_RegexExecutorPolicy, bool);
