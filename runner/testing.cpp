// Assertions used by tests.
#include "runner/testing.hpp"

#include <cmath>

#include "support/panic.hpp"

namespace math {

bool approxEqAbs(f64 x, f64 y, f64 tolerance) {
    if (!(tolerance >= 0.0)) builtin::unreachable();  // also catches NaN
    if (x == y) return true;
    if (std::isnan(x) || std::isnan(y)) return false;
    return std::fabs(x - y) <= tolerance;
}

}  // namespace math

namespace testing {

Result<void> expect(StackTrace* trace, bool ok) {
    if (!ok) {
        XOV_RETURN_ERROR(trace);
        return std::unexpected(Error::TestUnexpectedResult);
    }
    return {};
}

Result<void> expectApproxEqAbs(StackTrace* trace, f64 expected, f64 actual, f64 tolerance) {
    return expectApproxEqAbsInner(trace, expected, actual, tolerance);
}

Result<void> expectApproxEqAbsInner(StackTrace* trace, f64 expected, f64 actual, f64 tolerance) {
    if (math::approxEqAbs(expected, actual, tolerance)) return {};
    print("actual {}, not within absolute tolerance {} of expected {}\n", actual, tolerance, expected);
    XOV_RETURN_ERROR(trace);
    return std::unexpected(Error::TestExpectedApproxEqAbs);
}

}  // namespace testing
