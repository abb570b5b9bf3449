// The debug-information tests compare with the binary tools (nm, objdump,
// c++filt, llvm-symbolizer): their whole standard output, by the shell.
#pragma once
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/types.hpp"

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

// A whole file's bytes (none when it cannot be read).
inline std::vector<u8> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<u8>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace xov_test
