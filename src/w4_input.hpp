// The engine's input vocabulary: keys, mouse buttons, modifier flags, input
// events, and the per-frame mouse and input state.
#pragma once
#include <array>
#include <cstddef>

#include "support/types.hpp"

namespace w4_input {

// Letters use their upper-case ASCII code, space its ASCII code, every
// other key a code from 256 up. All codes stay below 512, the capacity of
// the key bit sets.
enum class Key : u16 {
    a = 65,
    b = 66,
    c = 67,
    d = 68,
    e = 69,
    f = 70,
    q = 81,
    r = 82,
    s = 83,
    w = 87,
    x = 88,
    z = 90,
    space = 32,
    escape = 256,
    enter = 257,
    tab = 258,
    left_shift = 340,
    right_shift = 344,
    left_ctrl = 341,
    right_ctrl = 345,
    left_alt = 342,
    right_alt = 346,
    up = 265,
    down = 264,
    left = 263,
    right = 262,
    f1 = 290,
    f2 = 291,
    f3 = 292,
    f4 = 293,
    f5 = 294,
    f12 = 301,
};

// The window system's key action values.
enum class KeyAction : u8 { release = 0, press = 1, repeat = 2 };

// A 3-bit value stored in one byte.
enum class MouseButton : u8 { left = 0, right = 1, middle = 2 };

// Modifier flags packed into one byte, read and written as one integer.
struct KeyMods {
    u8 bits = 0;

    static constexpr u8 shift = 1u << 0;
    static constexpr u8 control = 1u << 1;
    static constexpr u8 alt = 1u << 2;
    static constexpr u8 super = 1u << 3;
    static constexpr u8 caps_lock = 1u << 4;
    static constexpr u8 num_lock = 1u << 5;

    [[nodiscard]] constexpr bool has(u8 flag) const { return (bits & flag) != 0; }
    friend constexpr bool operator==(KeyMods, KeyMods) = default;
};

// A tagged variant: a 32-byte payload, then the tag in one byte.
struct InputEvent {
    enum class Tag : u8 {
        key_press = 0,
        key_release = 1,
        key_repeat = 2,
        mouse_move = 3,
        mouse_press = 4,
        mouse_release = 5,
        mouse_scroll = 6,
        char_input = 7,
    };

    struct KeyEventData {
        u32 scancode;
        Key key;
        KeyMods mods;
    };
    struct MouseMoveData {
        f64 x;
        f64 y;
        f64 dx;
        f64 dy;
    };
    struct MouseButtonData {
        f64 x;
        f64 y;
        MouseButton button;
        KeyMods mods;
    };
    struct MouseScrollData {
        f64 x_offset;
        f64 y_offset;
        f64 x;
        f64 y;
    };

    union Payload {
        KeyEventData key_press;
        KeyEventData key_release;
        KeyEventData key_repeat;
        MouseMoveData mouse_move;
        MouseButtonData mouse_press;
        MouseButtonData mouse_release;
        MouseScrollData mouse_scroll;
        u32 char_input;  // a 21-bit Unicode code point
    };

    Payload payload;
    Tag tag;
};

struct MouseState {
    f64 x = 0;
    f64 y = 0;
    f64 dx = 0;
    f64 dy = 0;
    f64 scroll_x = 0;
    f64 scroll_y = 0;
    bool left_pressed = false;
    bool right_pressed = false;
    bool middle_pressed = false;

    // Zeroes the per-frame motion and scroll; position and buttons stay.
    void clearDeltas();
};

// 512 bits, one per key code: code k is bit k % 64 of word k / 64.
struct KeySet {
    std::array<u64, 8> words{};

    [[nodiscard]] constexpr bool isSet(Key key) const {
        const auto code = static_cast<u16>(key);
        return (words[code / 64] >> (code % 64)) & 1u;
    }
    constexpr void set(Key key) {
        const auto code = static_cast<u16>(key);
        words[code / 64] |= u64{1} << (code % 64);
    }
    [[nodiscard]] constexpr usize count() const {
        usize n = 0;
        for (const u64 w : words) n += static_cast<usize>(__builtin_popcountll(w));
        return n;
    }
};

// A growable list without an allocator field: the owner passes the
// allocator to every operation that changes the storage.
template <class T>
struct Unmanaged {
    T* items_ptr = nullptr;
    usize items_len = 0;
    usize capacity = 0;
};

struct InputState {
    KeySet keys_pressed;
    KeySet keys_just_pressed;
    KeySet keys_just_released;
    MouseState mouse;
    f64 camera_speed = 1.0;
    Unmanaged<InputEvent> events;
    u32 max_events = 256;
    KeyMods mods;
    bool camera_move_forward = false;
    bool camera_move_back = false;
    bool camera_move_left = false;
    bool camera_move_right = false;
    bool camera_move_up = false;
    bool camera_move_down = false;
    bool camera_orbit = false;
    bool should_close = false;
    bool toggle_wireframe = false;
    bool toggle_pipeline = false;
    bool reset_camera = false;

    // The normalised camera movement direction (x, y, z): forward is +z,
    // right is +x, up is +y; the zero vector when the flags cancel out.
    [[nodiscard]] std::array<f64, 3> cameraMoveDir() const;
};

// Threshold below which the direction is treated as zero, and the
// tolerance the tests compare with.
inline constexpr f64 direction_epsilon = 1e-10;

static_assert(sizeof(KeyMods) == 1);
static_assert(sizeof(MouseButton) == 1);
static_assert(sizeof(InputEvent) == 40 && alignof(InputEvent) == 8);
static_assert(offsetof(InputEvent, tag) == 32);
static_assert(sizeof(InputEvent::Payload) == 32);
static_assert(sizeof(KeySet) * 8 == 512);

}  // namespace w4_input
