// The checked helpers on the side that must not panic: values at the edge
// of every check pass through unchanged. (Their panics run in the fixture
// executable, end to end.)
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "support/checked.hpp"

namespace {

TEST(CheckedIndexing, LastElementAndFullSliceAreInBounds) {
    int items[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(checked::at(items, 9), 9);
    checked::at(items, 0) = 42;
    EXPECT_EQ(items[0], 42);
    const std::span<int> all = checked::slice(std::span<int>(items), 0, 10);
    EXPECT_EQ(all.size(), 10u);
    EXPECT_EQ(all.data(), items);
    EXPECT_TRUE(checked::slice(std::span<int>(items), 10, 10).empty());
    EXPECT_EQ(checked::slice(std::span<int>(items), 3, 5)[1], 4);
}

TEST(CheckedNarrowing, ValuesAtTheLimitsOfTheTargetFit) {
    EXPECT_EQ(checked::intCast<u8>(255u), 255);
    EXPECT_EQ(checked::intCast<u8>(0), 0);
    EXPECT_EQ(checked::intCast<i8>(-128), -128);
    EXPECT_EQ(checked::intCast<i8>(127L), 127);
    EXPECT_EQ(checked::intCast<u64>(INT64_MAX), static_cast<u64>(INT64_MAX));
    EXPECT_EQ(checked::intCast<i64>(static_cast<u64>(INT64_MAX)), INT64_MAX);
    EXPECT_EQ(checked::intCast<u32>(static_cast<i64>(UINT32_MAX)), UINT32_MAX);
}

TEST(CheckedArithmetic, ResultsAtTheLimitsDoNotOverflow) {
    EXPECT_EQ(checked::add(INT32_MAX - 1, 1), INT32_MAX);
    EXPECT_EQ(checked::sub(INT32_MIN + 1, 1), INT32_MIN);
    EXPECT_EQ(checked::mul<u32>(65536u, 65535u), 0xffff0000u);
    EXPECT_EQ(checked::div(INT32_MIN, 1), INT32_MIN);
    EXPECT_EQ(checked::div(-7, 2), -3);
}

}  // namespace
