// Three nested calls, each recording its own return address, the innermost
// calling at_bottom. One source, built once per namespace with its own
// flags (tests/debuginfo/CMakeLists.txt):
//   nofp      without frame pointers: only call-frame rules walk it;
//   dbgframe  without frame pointers or unwind tables: its rules exist only
//             in .debug_frame, and the loaded .eh_frame knows nothing of it.
#pragma once
#include "support/types.hpp"

// [0] levelA's return address (into the caller), [1] levelB's (into
// levelA), [2] levelC's (into levelB).
#define XOV_UNWIND_CHAIN_DECLARATIONS                \
    extern usize recorded_returns[3];                \
    usize levelA(usize (*at_bottom)(usize));         \
    usize levelB(usize (*at_bottom)(usize));         \
    usize levelC(usize (*at_bottom)(usize));

namespace nofp {
XOV_UNWIND_CHAIN_DECLARATIONS
}  // namespace nofp

namespace dbgframe {
XOV_UNWIND_CHAIN_DECLARATIONS
}  // namespace dbgframe

#undef XOV_UNWIND_CHAIN_DECLARATIONS
