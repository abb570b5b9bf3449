// Substrings without std::string_view::substr, whose out-of-range throw
// links the C++ runtime's exception support into a program built without
// exceptions, and with it an emergency exception pool that every start-up
// allocates (73 KB). Callers check their positions already; a position
// past the end gives an empty view rather than a throw.
#pragma once
#include <algorithm>
#include <string_view>

#include "support/types.hpp"

namespace str {

[[nodiscard]] inline std::string_view sub(std::string_view s, usize pos, usize n = std::string_view::npos) {
    if (pos > s.size()) return {};
    return {s.data() + pos, std::min(n, s.size() - pos)};
}

}  // namespace str
