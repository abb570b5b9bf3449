// debug::print: one formatted message to standard error under the
// standard-error lock, in one write when it fits in 4096 bytes (nothing is
// kept after the call returns), write errors ignored.
#pragma once
#include "support/format.hpp"

namespace debug {

void lockStdErr();
void unlockStdErr();

void printArgs(std::string_view format, std::span<const fmt::Arg> args);

template <class... Args>
void print(std::string_view format, const Args&... args) {
    const fmt::Arg packed[] = {fmt::Arg(args)..., fmt::Arg(false)};
    printArgs(format, std::span<const fmt::Arg>(packed, sizeof...(Args)));
}

}  // namespace debug
