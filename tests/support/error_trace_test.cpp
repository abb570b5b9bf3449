// Error names and the error-return trace.
#include <gtest/gtest.h>

#include <set>

#include "support/error.hpp"
#include "tests/failure/function_name.hpp"

namespace {

TEST(ErrorNames, EveryErrorHasAUniqueNonZeroNumberAndName) {
    std::set<std::string_view> names;
    usize count = 0;
#define XOV_COUNT(name)                                                  \
    EXPECT_NE(static_cast<int>(Error::name), 0);                         \
    EXPECT_EQ(errorName(Error::name), std::string_view(#name));          \
    names.insert(errorName(Error::name));                                \
    ++count;
    XOV_ERROR_LIST(XOV_COUNT)
#undef XOV_COUNT
    EXPECT_EQ(names.size(), count);
    EXPECT_EQ(errorName(static_cast<Error>(0)), "(invalid error)");
    EXPECT_EQ(errorName(static_cast<Error>(60000)), "(invalid error)");
}

[[gnu::noinline]] Result<int> nested(StackTrace* trace, int depth) {
    if (depth == 0) {
        builtin::returnError(trace);
        return std::unexpected(Error::Overflow);
    }
    const int v = TRY_TRACE(trace, nested(trace, depth - 1));
    return v + 1;
}

TEST(ReturnError, FortyNestedReturnsFillAThirtyTwoSlotTraceAndKeepCounting) {
    usize addresses[32] = {};
    StackTrace trace{0, addresses};
    auto r = nested(&trace, 39);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::Overflow);
    EXPECT_EQ(trace.index, 40u);
    for (usize a : addresses) EXPECT_NE(a, 0u);
    // The origin first, then 31 propagation sites in the same function.
    EXPECT_NE(addresses[0], addresses[1]);
    for (usize i = 2; i < 32; ++i) EXPECT_EQ(addresses[i], addresses[1]);
}

TEST(ReturnError, NullTraceIsAccepted) {
    builtin::returnError(nullptr);
    SUCCEED();
}

[[gnu::noinline]] Result<void> origin() { return XOV_FAIL(Error::EndOfFile); }
[[gnu::noinline]] Result<void> middle() {
    TRY(origin());
    return {};
}

TEST(Try, RecordsOriginAndPropagationSitesInTheThreadTrace) {
    usize addresses[4] = {};
    StackTrace trace{0, addresses};
    builtin::setErrorReturnTrace(&trace);
    auto r = middle();
    builtin::setErrorReturnTrace(nullptr);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::EndOfFile);
    ASSERT_EQ(trace.index, 2u);
    // Each recorded address is a return address inside the function that
    // returned the error.
    EXPECT_EQ(test_support::functionAtReturnAddress(addresses[0]), "(anonymous namespace)::origin");
    EXPECT_EQ(test_support::functionAtReturnAddress(addresses[1]), "(anonymous namespace)::middle");

    // Without a trace nothing is recorded and nothing breaks.
    EXPECT_FALSE(middle().has_value());
    EXPECT_EQ(trace.index, 2u);
}

}  // namespace
