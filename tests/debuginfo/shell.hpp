// What tests need to look at an executable from outside: the binary tools'
// whole standard output (nm, objdump, c++filt, llvm-symbolizer, by the
// shell), a file's bytes, and its section headers.
#pragma once
#include <elf.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
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

inline std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// A whole file's bytes (none when it cannot be read).
inline std::vector<u8> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const std::streamoff size = in.tellg();
    if (size <= 0) return {};
    std::vector<u8> bytes(static_cast<size_t>(size));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), size);
    if (!in) return {};
    return bytes;
}

// Every symbol nm lists, by name: the first address of each.
inline std::map<std::string, u64> symbolAddresses(const std::string& path) {
    std::map<std::string, u64> out;
    for (const auto& line : linesOf(runShell("nm '" + path + "'"))) {
        std::istringstream fields(line);
        std::string address, type, symbol;
        if (fields >> address >> type >> symbol) out.emplace(symbol, std::stoull(address, nullptr, 16));
    }
    return out;
}

// The address nm gives the symbol; 0 (and, when required, a failure) when
// it has none.
inline u64 symbolAddress(const std::map<std::string, u64>& symbols, const std::string& name, bool required = true) {
    if (const auto found = symbols.find(name); found != symbols.end()) return found->second;
    if (required) ADD_FAILURE() << name << " has no symbol";
    return 0;
}
inline u64 symbolAddress(const std::string& path, const std::string& name, bool required = true) {
    return symbolAddress(symbolAddresses(path), name, required);
}

struct SectionInfo {
    std::string name;
    usize header_offset;  // of the Elf64_Shdr in the file
    Elf64_Shdr header;
};

// None when the file is too short for its section headers.
inline std::vector<SectionInfo> sectionsOf(const std::vector<u8>& file) {
    Elf64_Ehdr ehdr;
    if (file.size() < sizeof ehdr) return {};
    std::memcpy(&ehdr, file.data(), sizeof ehdr);
    if (ehdr.e_shoff + ehdr.e_shnum * sizeof(Elf64_Shdr) > file.size() || ehdr.e_shstrndx >= ehdr.e_shnum) return {};
    std::vector<SectionInfo> out;
    Elf64_Shdr names;
    std::memcpy(&names, file.data() + ehdr.e_shoff + ehdr.e_shstrndx * sizeof(Elf64_Shdr), sizeof names);
    for (usize i = 0; i < ehdr.e_shnum; ++i) {
        SectionInfo s;
        s.header_offset = ehdr.e_shoff + i * sizeof(Elf64_Shdr);
        std::memcpy(&s.header, file.data() + s.header_offset, sizeof s.header);
        s.name = reinterpret_cast<const char*>(file.data() + names.sh_offset + s.header.sh_name);
        out.push_back(s);
    }
    return out;
}

// A copy, so that a caller may look a section up in a list it does not keep.
inline SectionInfo section(const std::vector<SectionInfo>& sections, const std::string& name) {
    for (const auto& s : sections)
        if (s.name == name) return s;
    ADD_FAILURE() << "no section " << name;
    return {};
}

}  // namespace xov_test
