// Three nested calls without frame pointers or unwind tables; each records
// its own return address, and the innermost calls at_bottom.
#pragma once
#include "support/types.hpp"

namespace dbgframe {

// [0] levelA's return address (into the caller), [1] levelB's (into
// levelA), [2] levelC's (into levelB).
extern usize recorded_returns[3];

usize levelA(usize (*at_bottom)(usize));
usize levelB(usize (*at_bottom)(usize));
usize levelC(usize (*at_bottom)(usize));

}  // namespace dbgframe
