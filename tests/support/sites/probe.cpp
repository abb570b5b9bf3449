// Functions with several alike error-return and panic sites, built by
// check_sites.sh with each compiler, optimisation level and link-time
// optimisation. Every line marked "site" must keep a call of its own to a
// recording or panic entry point: alike error tails are what compilers
// merge, and a merged site makes a trace name another line.
#include "tests/support/sites/probe.hpp"

#include "failure/panic.hpp"

namespace probe {

Result<void> expectLike(StackTrace* trace, bool ok) {
    if (!ok) {
        XOV_RETURN_ERROR(trace);  // site
        return std::unexpected(Error::TestUnexpectedResult);
    }
    return {};
}

Result<void> checks(StackTrace* trace, int at) {
    TRY_TRACE(trace, expectLike(trace, at != 1));  // site
    TRY_TRACE(trace, expectLike(trace, at != 2));  // site
    TRY_TRACE(trace, expectLike(trace, at != 3));  // site
    TRY_TRACE(trace, expectLike(trace, at != 4));  // site
    TRY_TRACE(trace, expectLike(trace, at != 5));  // site
    return {};
}

Result<void> origins(int which) {
    if (which == 1) return XOV_FAIL(Error::EndOfStream);  // site
    if (which == 2) return XOV_FAIL(Error::EndOfStream);  // site
    if (which == 3) return XOV_FAIL(Error::EndOfStream);  // site
    return {};
}

Result<void> propagation(int at) {
    TRY(origins(at == 1 ? 1 : 0));  // site
    TRY(origins(at == 2 ? 2 : 0));  // site
    TRY(origins(at == 3 ? 3 : 0));  // site
    return {};
}

void assertions(int at) {
    XOV_ASSERT(at != 1);  // site
    XOV_ASSERT(at != 2);  // site
    XOV_ASSERT(at != 3);  // site
}

int unwraps(Result<int> a, Result<int> b) {
    const int x = MUST(a);  // site
    const int y = MUST(b);  // site
    return x + y;
}

// A local panic wrapper, as the allocator has.
XOV_NOMERGE [[noreturn, gnu::cold]] void invalidFree(usize ret_addr) {
    builtin::default_panic("Invalid free", nullptr, ret_addr);  // site
}

void frees(int at, usize ret_addr) {
    if (at == 1) invalidFree(ret_addr);  // site
    if (at == 2) invalidFree(ret_addr);  // site
    if (at == 3) invalidFree(ret_addr);  // site
}

void panics(int at) {
    if (at == 1) debug::panic("stop {d}", at);  // site
    if (at == 2) debug::panic("stop {d}", at);  // site
}

int grid[3][4];

// The compiler's own bounds checks.
int indexes(int i, int j) {
    const int row = grid[i][0];  // site
    const int column = grid[0][j];  // site
    return row + column;
}

}  // namespace probe
