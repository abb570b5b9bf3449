// The ten tests of the input module, in the order of the test table.
#include <cmath>

#include "runner/testing.hpp"
#include "src/w4_input.hpp"

namespace w4_input::test {

namespace {

using testing::expect;
using testing::expectApproxEqAbs;

constexpr MouseState default_mouse{};
constexpr InputState default_state{};

Result<void> keyModsIsOneByte(StackTrace* trace) {
    TRY_TRACE(trace, expect(trace, sizeof(KeyMods) == 1));
    return {};
}

// Position, motion and scrolling 0, no button held.
constexpr bool mouseAtDefaults(const MouseState& m) {
    return m.x == 0.0 && m.y == 0.0 && m.dx == 0.0 && m.dy == 0.0 && m.scroll_x == 0.0 && m.scroll_y == 0.0 &&
           !m.left_pressed && !m.right_pressed && !m.middle_pressed;
}

Result<void> mouseStateInitialValues(StackTrace* trace) {
    constexpr bool motion_zero = default_mouse.x == 0.0 && default_mouse.y == 0.0 && default_mouse.dx == 0.0 &&
                                 default_mouse.dy == 0.0 && default_mouse.scroll_x == 0.0 &&
                                 default_mouse.scroll_y == 0.0;
    constexpr bool buttons_up =
        !default_mouse.left_pressed && !default_mouse.right_pressed && !default_mouse.middle_pressed;
    TRY_TRACE(trace, expect(trace, motion_zero));
    TRY_TRACE(trace, expect(trace, buttons_up));
    return {};
}

Result<void> inputStateInitialState(StackTrace* trace) {
    constexpr InputState s = default_state;
    constexpr bool empty = s.keys_pressed.count() == 0 && s.keys_just_pressed.count() == 0 &&
                           s.keys_just_released.count() == 0 && s.events.items_len == 0 &&
                           s.events.capacity == 0 && s.events.items_ptr == nullptr && s.mods.bits == 0;
    constexpr bool defaults = s.camera_speed == 1.0 && s.max_events == 256 && mouseAtDefaults(s.mouse) &&
                              !s.camera_move_forward && !s.camera_move_back && !s.camera_move_left &&
                              !s.camera_move_right && !s.camera_move_up && !s.camera_move_down && !s.camera_orbit &&
                              !s.should_close && !s.toggle_wireframe && !s.toggle_pipeline && !s.reset_camera;
    TRY_TRACE(trace, expect(trace, empty));
    TRY_TRACE(trace, expect(trace, defaults));
    return {};
}

Result<void> cameraMoveDirNoInput(StackTrace* trace) {
    const InputState state{};
    const auto dir = state.cameraMoveDir();
    TRY_TRACE(trace, expect(trace, dir[0] == 0.0));
    TRY_TRACE(trace, expect(trace, dir[1] == 0.0));
    TRY_TRACE(trace, expect(trace, dir[2] == 0.0));
    return {};
}

Result<void> cameraMoveDirForward(StackTrace* trace) {
    InputState state = default_state;
    state.camera_move_forward = true;
    const auto dir = state.cameraMoveDir();
    // The computed value is the "expected" argument, 1.0 the "actual" one.
    TRY_TRACE(trace, expectApproxEqAbs(trace, dir[2], 1.0, direction_epsilon));
    return {};
}

Result<void> cameraMoveDirNormalizedDiagonal(StackTrace* trace) {
    InputState state = default_state;
    state.camera_move_forward = true;
    state.camera_move_right = true;
    const auto dir = state.cameraMoveDir();
    const f64 len = std::sqrt((dir[0] * dir[0] + dir[1] * dir[1]) + dir[2] * dir[2]);
    TRY_TRACE(trace, expectApproxEqAbs(trace, len, 1.0, direction_epsilon));
    return {};
}

Result<void> inputEventTaggedUnionSize(StackTrace* trace) {
    TRY_TRACE(trace, expect(trace, sizeof(InputEvent) == 40));
    return {};
}

Result<void> mouseButtonEnumValues(StackTrace* trace) {
    TRY_TRACE(trace, expect(trace, static_cast<u8>(MouseButton::left) == 0));
    TRY_TRACE(trace, expect(trace, static_cast<u8>(MouseButton::right) == 1));
    TRY_TRACE(trace, expect(trace, static_cast<u8>(MouseButton::middle) == 2));
    return {};
}

Result<void> keyActionEnumValues(StackTrace* trace) {
    TRY_TRACE(trace, expect(trace, static_cast<u8>(KeyAction::release) == 0));
    TRY_TRACE(trace, expect(trace, static_cast<u8>(KeyAction::press) == 1));
    TRY_TRACE(trace, expect(trace, static_cast<u8>(KeyAction::repeat) == 2));
    return {};
}

Result<void> mouseStateClearDeltas(StackTrace* trace) {
    MouseState ms{.x = 0, .y = 0, .dx = 10, .dy = 5, .scroll_x = 1, .scroll_y = 2};
    ms.clearDeltas();
    TRY_TRACE(trace, expect(trace, ms.dx == 0.0));
    TRY_TRACE(trace, expect(trace, ms.dy == 0.0));
    TRY_TRACE(trace, expect(trace, ms.scroll_x == 0.0));
    TRY_TRACE(trace, expect(trace, ms.scroll_y == 0.0));
    TRY_TRACE(trace, expect(trace, ms.x == 0.0));
    return {};
}

}  // namespace

constexpr builtin::TestFn table[] = {
    {"w4_input.test.Input: KeyMods is 1 byte", keyModsIsOneByte},
    {"w4_input.test.Input: MouseState initial values", mouseStateInitialValues},
    {"w4_input.test.Input: InputState initial state", inputStateInitialState},
    {"w4_input.test.Input: cameraMoveDir with no input", cameraMoveDirNoInput},
    {"w4_input.test.Input: cameraMoveDir forward", cameraMoveDirForward},
    {"w4_input.test.Input: cameraMoveDir normalized diagonal", cameraMoveDirNormalizedDiagonal},
    {"w4_input.test.Input: InputEvent tagged union size", inputEventTaggedUnionSize},
    {"w4_input.test.Input: MouseButton enum values", mouseButtonEnumValues},
    {"w4_input.test.Input: KeyAction enum values", keyActionEnumValues},
    {"w4_input.test.Input: MouseState clearDeltas", mouseStateClearDeltas},
};

}  // namespace w4_input::test

namespace builtin {
constinit const std::span<const TestFn> test_functions{w4_input::test::table};
}
