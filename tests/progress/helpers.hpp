// Shared pieces of the progress tests: a clean tree per test and readable
// views of records and frames.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>

#include "progress/internal.hpp"

namespace progress_test {

// Every test starts from the load-time tables.
class Tree : public ::testing::Test {
  protected:
    void SetUp() override { Progress::resetForTesting(); }
    void TearDown() override { Progress::resetForTesting(); }
};

inline std::string nameOf(const Progress::Node::Storage& s) { return std::string(s.name, strnlen(s.name, 40)); }

inline u8 slotOf(Progress::Node node) { return static_cast<u8>(node.index); }

inline Progress::Node::Storage record(std::string_view name, u32 completed, u32 total) {
    Progress::Node::Storage s{};
    s.completed_count = completed;
    s.estimated_total_count = total;
    std::memcpy(s.name, name.data(), name.size() < 40 ? name.size() : 40);
    return s;
}

inline Progress::Node::Parent parentAt(u8 position) { return static_cast<Progress::Node::Parent>(position); }
inline constexpr Progress::Node::Parent root_parent = Progress::Node::Parent::none;

// The drawn symbols, by name, for building expected frames.
inline constexpr std::string_view tee = "\x1b(0tq\x1b(B ";
inline constexpr std::string_view line = "\x1b(0x\x1b(B  ";
inline constexpr std::string_view langle = "\x1b(0mq\x1b(B ";

// A frame's expected bytes from its lines.
inline std::string frameOf(std::initializer_list<std::string_view> lines) {
    std::string out = "\x1b[?2026h\x1b[J";
    for (auto l : lines) {
        out += l;
        out += '\n';
    }
    if (lines.size() > 0) {
        out += '\r';
        for (usize k = 0; k < lines.size(); ++k) out += "\x1bM";
    }
    out += "\x1b[?2026l";
    return out;
}

}  // namespace progress_test
