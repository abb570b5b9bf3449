// Camera direction and per-frame mouse reset.
#include "src/w4_input.hpp"

#include <cmath>

namespace w4_input {

std::array<f64, 3> InputState::cameraMoveDir() const {
    f64 x = 0.0;
    f64 y = 0.0;
    f64 z = 0.0;
    if (camera_move_forward) z += 1.0;
    if (camera_move_back) z -= 1.0;
    if (camera_move_left) x -= 1.0;
    if (camera_move_right) x += 1.0;
    if (camera_move_up) y += 1.0;
    if (camera_move_down) y -= 1.0;
    const f64 len = std::sqrt((x * x + y * y) + z * z);
    if (len > direction_epsilon) {
        x /= len;
        y /= len;
        z /= len;
    }
    return {x, y, z};
}

void MouseState::clearDeltas() {
    dx = 0.0;
    dy = 0.0;
    scroll_x = 0.0;
    scroll_y = 0.0;
}

}  // namespace w4_input
