// The debug-information tests compare with the binary tools (nm, objdump,
// c++filt, llvm-symbolizer): their whole standard output, by the shell.
#pragma once
#include <cstdio>
#include <string>

namespace xov_test {

inline std::string runShell(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    pclose(pipe);
    return out;
}

}  // namespace xov_test
