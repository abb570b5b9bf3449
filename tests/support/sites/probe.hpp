// The functions of probe.cpp, called from another file so that link-time
// optimisation can inline them into their callers.
#pragma once
#include "support/error.hpp"

namespace probe {

Result<void> expectLike(StackTrace* trace, bool ok);
Result<void> checks(StackTrace* trace, int at);
Result<void> origins(int which);
Result<void> propagation(int at);
void assertions(int at);
int unwraps(Result<int> a, Result<int> b);
void frees(int at, usize ret_addr);
void panics(int at);
int indexes(int i, int j);

}  // namespace probe
