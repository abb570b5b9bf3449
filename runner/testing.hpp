// What tests see: the test table record, assertions that return named
// errors with the failing site recorded, and test-time printing.
#pragma once
#include <span>
#include <string_view>

#include "support/error.hpp"
#include "support/print.hpp"

namespace builtin {

using TestFunc = Result<void> (*)(StackTrace* trace);

struct TestFn {
    std::string_view name;  // "<module>.test.<name>"
    TestFunc func;
};

// The table the runners walk; each executable defines its own.
extern const std::span<const TestFn> test_functions;

}  // namespace builtin

namespace math {

// |x - y| <= tolerance, with equal values (equal infinities included)
// always close and NaN never. A negative or NaN tolerance is a bug.
[[nodiscard]] bool approxEqAbs(f64 x, f64 y, f64 tolerance);

}  // namespace math

namespace testing {

// TestUnexpectedResult when ok is false; prints nothing.
[[nodiscard, gnu::noinline]] Result<void> expect(StackTrace* trace, bool ok);

// TestExpectedApproxEqAbs, after printing "actual {}, not within absolute
// tolerance {} of expected {}", when the values are not close.
[[nodiscard]] Result<void> expectApproxEqAbs(StackTrace* trace, f64 expected, f64 actual, f64 tolerance);
[[nodiscard, gnu::noinline]] Result<void> expectApproxEqAbsInner(StackTrace* trace, f64 expected, f64 actual,
                                                                f64 tolerance);

template <class... Args>
void print(std::string_view format, const Args&... args) {
    debug::print(format, args...);
}

}  // namespace testing
