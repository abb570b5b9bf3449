// The runner's decision for each received message: every tag, body
// lengths around the 4-byte index, indices around the table's end, and
// extra body bytes, which never change the decision.
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "runner/xov_server.hpp"

namespace {

using xov::Client;
using xov::Dispatch;
using Action = Dispatch::Action;
using Tag = Client::Message::Tag;

std::vector<u8> le32Bytes(u32 v) { return {u8(v), u8(v >> 8), u8(v >> 16), u8(v >> 24)}; }

Dispatch decide(u32 tag, const std::vector<u8>& body, usize tests_len = 10) {
    return xov::dispatch({static_cast<Tag>(tag), static_cast<u32>(body.size())}, body, tests_len);
}

TEST(Dispatch, ExitAndTestListAreDecidedByTheTagAloneWhateverTheBody) {
    for (const std::vector<u8>& body : {std::vector<u8>{}, std::vector<u8>{1, 2, 3}, le32Bytes(99)}) {
        EXPECT_EQ(decide(0, body).action, Action::exit);
        EXPECT_EQ(decide(4, body).action, Action::serve_metadata);
    }
}

TEST(Dispatch, EveryOtherTagIsUnsupportedAndCarriesTheTag) {
    for (u32 tag : {1u, 2u, 3u, 6u, 0x41414141u, std::numeric_limits<u32>::max()}) {
        const Dispatch d = decide(tag, le32Bytes(0));
        EXPECT_EQ(d.action, Action::unsupported_message) << tag;
        EXPECT_EQ(d.value, tag);
    }
}

TEST(Dispatch, RunTestBodiesShorterThanAnIndexAreRefusedWithTheirLength) {
    for (u32 len = 0; len < 4; ++len) {
        const Dispatch d = decide(5, std::vector<u8>(len, 0));
        EXPECT_EQ(d.action, Action::short_run_test_body);
        EXPECT_EQ(d.value, len);
    }
}

TEST(Dispatch, RunTestIndexIsLittleEndianAndExtraBytesAreIgnored) {
    std::vector<u8> body = le32Bytes(7);
    EXPECT_EQ(decide(5, body).action, Action::run_test);
    EXPECT_EQ(decide(5, body).value, 7u);
    body.insert(body.end(), {9, 9, 9, 9, 9});
    EXPECT_EQ(decide(5, body).action, Action::run_test);
    EXPECT_EQ(decide(5, body).value, 7u);
    EXPECT_EQ(decide(5, {0x02, 0x01, 0x00, 0x00}, 0x1000).value, 0x0102u);
}

TEST(Dispatch, IndicesFromTheTableLengthOnAreOutOfRange) {
    EXPECT_EQ(decide(5, le32Bytes(9)).action, Action::run_test);
    for (u32 index : {10u, 11u, 0x80000000u, std::numeric_limits<u32>::max()}) {
        const Dispatch d = decide(5, le32Bytes(index));
        EXPECT_EQ(d.action, Action::index_out_of_range);
        EXPECT_EQ(d.value, index);
    }
    // An empty table refuses every index.
    EXPECT_EQ(decide(5, le32Bytes(0), 0).action, Action::index_out_of_range);
}

}  // namespace
