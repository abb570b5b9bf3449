// A demangler for the Itanium C++ names the symbol table gives, writing
// into a caller's buffer: it runs inside fault handlers, so it never
// allocates. It knows the common subset (nested and local names,
// templates with type, integer and simple expression arguments, packs and
// their expansions, function, array and member pointer types,
// substitutions, operators, constructors and destructors, ABI tags, clone
// suffixes) and gives up on the rest (decltype among it), where the caller
// shows the mangled name. Malformed names are refused, as c++filt refuses them, as far as it
// reads them: the name-only style does not read a function's parameters.
#pragma once
#include <optional>
#include <span>
#include <string_view>

#include "support/types.hpp"

namespace dwarf {

enum class DemangleStyle : u8 {
    full,       // as c++filt prints it: "int ns::f<int>(int, char const*) const"
    name_only,  // the qualified name alone, as DWARF names functions: "ns::f<int>"
};

// The demangled text in buffer, or nullopt when the name is not a mangled
// C++ name, uses a construct this demangler does not know, or does not
// fit.
[[nodiscard]] std::optional<std::string_view> demangle(std::string_view mangled, std::span<char> buffer,
                                                       DemangleStyle style);

}  // namespace dwarf
