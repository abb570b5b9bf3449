// The input module beyond its own ten tests: direction vectors, key sets
// and layout; and its test table run on mutated copies of the product.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "src/w4_input.hpp"
#include "tests/e2e/child.hpp"

namespace {

using w4_input::InputEvent;
using w4_input::InputState;
using w4_input::Key;

std::array<double, 3> dirFor(bool fwd, bool back, bool left, bool right, bool up, bool down) {
    InputState s;
    s.camera_move_forward = fwd;
    s.camera_move_back = back;
    s.camera_move_left = left;
    s.camera_move_right = right;
    s.camera_move_up = up;
    s.camera_move_down = down;
    return s.cameraMoveDir();
}

TEST(CameraMoveDir, AxesAndSigns) {
    using A = std::array<double, 3>;
    EXPECT_EQ(dirFor(false, false, false, false, false, false), (A{0, 0, 0}));
    EXPECT_EQ(dirFor(true, false, false, false, false, false), (A{0, 0, 1}));
    EXPECT_EQ(dirFor(false, true, false, false, false, false), (A{0, 0, -1}));
    EXPECT_EQ(dirFor(false, false, true, false, false, false), (A{-1, 0, 0}));
    EXPECT_EQ(dirFor(false, false, false, true, false, false), (A{1, 0, 0}));
    EXPECT_EQ(dirFor(false, false, false, false, true, false), (A{0, 1, 0}));
    EXPECT_EQ(dirFor(false, false, false, false, false, true), (A{0, -1, 0}));
}

TEST(CameraMoveDir, OppositeFlagsCancelWithoutDividing) {
    using A = std::array<double, 3>;
    const auto fb = dirFor(true, true, false, false, false, false);
    EXPECT_EQ(fb, (A{0, 0, 0}));
    EXPECT_FALSE(std::signbit(fb[2]));  // exactly +0, not a -0 from dividing
    EXPECT_EQ(dirFor(true, true, true, true, true, true), (A{0, 0, 0}));
}

TEST(CameraMoveDir, DiagonalsAreUnitLength) {
    const auto two = dirFor(true, false, false, true, false, false);
    EXPECT_EQ(two[0], 0.7071067811865475);
    EXPECT_EQ(two[1], 0.0);
    EXPECT_EQ(two[2], 0.7071067811865475);
    const auto three = dirFor(true, false, true, false, false, true);
    EXPECT_DOUBLE_EQ(three[0], -0.5773502691896258);
    EXPECT_DOUBLE_EQ(three[1], -0.5773502691896258);
    EXPECT_DOUBLE_EQ(three[2], 0.5773502691896258);
    const double len = std::sqrt((three[0] * three[0] + three[1] * three[1]) + three[2] * three[2]);
    EXPECT_NEAR(len, 1.0, 1e-10);
}

TEST(CameraMoveDir, CameraSpeedDoesNotChangeTheDirection) {
    InputState s;
    s.camera_move_right = true;
    for (double speed : {0.0, -3.0, 1e300, std::nan("")}) {
        s.camera_speed = speed;
        const auto d = s.cameraMoveDir();
        EXPECT_EQ(d[0], 1.0);
        EXPECT_EQ(d[1], 0.0);
        EXPECT_EQ(d[2], 0.0);
    }
}

TEST(MouseState, ClearDeltasKeepsPositionAndButtons) {
    w4_input::MouseState m{.x = 3, .y = 4, .dx = 10, .dy = 5, .scroll_x = 1, .scroll_y = 2, .left_pressed = true,
                           .right_pressed = false, .middle_pressed = true};
    m.clearDeltas();
    EXPECT_EQ(m.dx, 0.0);
    EXPECT_EQ(m.dy, 0.0);
    EXPECT_EQ(m.scroll_x, 0.0);
    EXPECT_EQ(m.scroll_y, 0.0);
    EXPECT_EQ(m.x, 3.0);
    EXPECT_EQ(m.y, 4.0);
    EXPECT_TRUE(m.left_pressed);
    EXPECT_FALSE(m.right_pressed);
    EXPECT_TRUE(m.middle_pressed);
}

TEST(KeySet, CodeKLivesInBitKMod64OfWordKDiv64) {
    w4_input::KeySet set;
    set.set(Key::right_alt);  // 346 = 5 * 64 + 26
    EXPECT_EQ(set.words[5], u64{1} << 26);
    set.set(Key::space);
    EXPECT_EQ(set.words[0], u64{1} << 32);
    EXPECT_TRUE(set.isSet(Key::right_alt));
    EXPECT_FALSE(set.isSet(Key::left_alt));
    EXPECT_EQ(set.count(), 2u);
}

TEST(Keys, CodesMatchTheTable) {
    EXPECT_EQ(static_cast<u16>(Key::a), 'A');
    EXPECT_EQ(static_cast<u16>(Key::z), 'Z');
    EXPECT_EQ(static_cast<u16>(Key::space), ' ');
    EXPECT_EQ(static_cast<u16>(Key::escape), 256);
    EXPECT_EQ(static_cast<u16>(Key::left_alt), 342);
    EXPECT_EQ(static_cast<u16>(Key::right_shift), 344);
    EXPECT_EQ(static_cast<u16>(Key::right), 262);
    EXPECT_EQ(static_cast<u16>(Key::up), 265);
    EXPECT_EQ(static_cast<u16>(Key::f5), 294);
    EXPECT_EQ(static_cast<u16>(Key::f12), 301);
    EXPECT_EQ(sizeof(Key), 2u);
}

TEST(Layout, EventPayloadsAndTag) {
    EXPECT_EQ(sizeof(InputEvent), 40u);
    EXPECT_EQ(alignof(InputEvent), 8u);
    EXPECT_EQ(offsetof(InputEvent, tag), 32u);
    EXPECT_EQ(offsetof(InputEvent::KeyEventData, key), 4u);
    EXPECT_EQ(offsetof(InputEvent::KeyEventData, mods), 6u);
    EXPECT_EQ(offsetof(InputEvent::MouseButtonData, button), 16u);
    EXPECT_EQ(offsetof(InputEvent::MouseScrollData, y), 24u);
    EXPECT_EQ(sizeof(w4_input::KeyMods), 1u);
    EXPECT_EQ(sizeof(w4_input::KeySet), 64u);
    InputEvent e{};
    e.tag = InputEvent::Tag::char_input;
    e.payload.char_input = 0x10FFFF;
    EXPECT_EQ(static_cast<u8>(e.tag), 7);
}

// Copies of the product in which every InputState has one mouse field off
// its default: only the InputState test fails, naming its defaults check.
TEST(TestTable, InputStateInitialStateCatchesAMouseFieldOffItsDefault) {
    for (const char* field : {"dx", "scroll_y", "middle_pressed"}) {
        SCOPED_TRACE(field);
        e2e::SpawnOptions options;
        options.argv.push_back(std::string(XOV_MUTANT_DIR) + "/w4_input_mutant_" + field);
        const auto r = e2e::run(options);
        EXPECT_EQ(r.exitCode(), 1);
        EXPECT_NE(r.err.find("3/10 w4_input.test.Input: InputState initial state...FAIL (TestUnexpectedResult)\n"),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("9 passed; 0 skipped; 1 failed.\n"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("expect(trace, defaults));"), std::string::npos) << r.err;
    }
}

}  // namespace
