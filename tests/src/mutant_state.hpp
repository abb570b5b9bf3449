// Forced into a copy of the product's test file (tests/src/CMakeLists.txt):
// every InputState that file builds has the field XOV_MUTANT_MOUSE_FIELD of
// its mouse off its default, which its InputState test must catch.
#pragma once
#include "src/w4_input.hpp"

namespace w4_input {

struct MutantInputState : InputState {
    constexpr MutantInputState() { mouse.XOV_MUTANT_MOUSE_FIELD = 1; }
};

}  // namespace w4_input

#define InputState MutantInputState
