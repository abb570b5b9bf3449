// A NUL-terminated path assembled from pieces in a fixed buffer, for the
// reader's file lookups, which run where nothing may allocate; too long a
// path is marked and simply not found.
#pragma once
#include <cstring>
#include <string_view>

#include "support/types.hpp"

namespace dwarf {

struct PathBuffer {
    char bytes[4096];
    usize len = 0;
    bool overflow = false;

    PathBuffer& add(std::string_view piece) {
        if (len + piece.size() >= sizeof bytes) {
            overflow = true;
            return *this;
        }
        std::memcpy(bytes + len, piece.data(), piece.size());
        len += piece.size();
        bytes[len] = '\0';
        return *this;
    }
    [[nodiscard]] std::string_view view() const { return {bytes, len}; }
};

}  // namespace dwarf
