// The function a recorded return address returns into, as this program's
// own debug information names it: tests that check where a trace or a
// caller's address points compare names, not distances from a function's
// start, which the compiler's layout decides.
#pragma once
#include <string>

#include "debuginfo/debuginfo.hpp"

namespace test_support {

// The call lies just before the return address, in the same function
// (the return address itself may already start the next one).
inline std::string functionAtReturnAddress(usize return_address) {
    auto info = debug::getSelfDebugInfo();
    if (!info) return "(no info)";
    auto module = (*info)->getModuleForAddress(return_address - 1);
    if (!module) return "(no module)";
    auto symbol = (*module)->getSymbolAtAddress(debug::debugInfoAllocator(), return_address - 1);
    return symbol ? std::string(symbol->symbol_name) : "(no symbol)";
}

}  // namespace test_support
