// ELF section access for the debug-information reader.
#include "debuginfo/elf_image.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <zlib.h>

#include <cstring>

#include "debuginfo/byte_reader.hpp"
#include "debuginfo/compressed_section.hpp"
#include "support/sys.hpp"

namespace dwarf {

Result<ElfImage*> ElfImage::open(const char* path, mem::Allocator allocator) {
    // Non-blocking, and regular files only: a pipe or device found where a
    // debug file was looked for would block the open or never end.
    auto fd = sys::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (!fd) return XOV_FAIL(Error::MissingDebugInfo);
    if (auto regular = sys::isRegularFile(*fd); !regular || !*regular) {
        sys::close(*fd);
        return XOV_FAIL(Error::MissingDebugInfo);
    }
    auto size = sys::fileSize(*fd);
    if (!size || *size == 0) {
        sys::close(*fd);
        return XOV_FAIL(Error::MissingDebugInfo);
    }
    auto mapped = sys::mmap(nullptr, static_cast<usize>(*size), PROT_READ, MAP_PRIVATE, *fd, 0);
    sys::close(*fd);
    if (!mapped) return XOV_FAIL(Error::MissingDebugInfo);
    auto image = parse(std::span<const u8>(static_cast<const u8*>(*mapped), static_cast<usize>(*size)), allocator);
    if (!image) (void)sys::munmap(*mapped, static_cast<usize>(*size));
    return image;
}

Result<ElfImage*> ElfImage::parse(std::span<const u8> file, mem::Allocator allocator) {
    if (file.size() < sizeof(Elf64_Ehdr)) return XOV_FAIL(Error::InvalidDebugInfo);
    Elf64_Ehdr ehdr;
    std::memcpy(&ehdr, file.data(), sizeof ehdr);
    if (std::memcmp(ehdr.e_ident, ELFMAG, SELFMAG) != 0 || ehdr.e_ident[EI_CLASS] != ELFCLASS64 ||
        ehdr.e_ident[EI_DATA] != ELFDATA2LSB)
        return XOV_FAIL(Error::InvalidDebugInfo);
    if (ehdr.e_shoff == 0) return XOV_FAIL(Error::MissingDebugInfo);
    if (ehdr.e_shentsize != sizeof(Elf64_Shdr) || ehdr.e_shoff % alignof(Elf64_Shdr) != 0 ||
        ehdr.e_shoff > file.size() || file.size() - ehdr.e_shoff < sizeof(Elf64_Shdr))
        return XOV_FAIL(Error::InvalidDebugInfo);
    const auto* first = reinterpret_cast<const Elf64_Shdr*>(file.data() + ehdr.e_shoff);
    u64 count = ehdr.e_shnum;
    if (count == 0) count = first->sh_size;  // more than 0xff00 sections
    u64 names_index = ehdr.e_shstrndx;
    if (names_index == SHN_XINDEX) names_index = first->sh_link;
    if (count == 0 || count > (file.size() - ehdr.e_shoff) / sizeof(Elf64_Shdr) || names_index >= count)
        return XOV_FAIL(Error::InvalidDebugInfo);

    auto* image = TRY(allocator.create<ElfImage>());
    new (image) ElfImage();
    image->file_ = file;
    image->headers_ = std::span<const Elf64_Shdr>(first, static_cast<usize>(count));
    image->allocator_ = allocator;
    const Elf64_Shdr& names = image->headers_[static_cast<usize>(names_index)];
    if (names.sh_type == SHT_NOBITS || names.sh_offset > file.size() || names.sh_size > file.size() - names.sh_offset)
        return XOV_FAIL(Error::InvalidDebugInfo);
    image->names_ = file.subspan(static_cast<usize>(names.sh_offset), static_cast<usize>(names.sh_size));
    auto cache = TRY(allocator.alloc<Lazy<std::span<const u8>>>(static_cast<usize>(count)));
    for (auto& c : cache) c = Lazy<std::span<const u8>>{};
    image->cache_ = cache.data();
    return image;
}

std::optional<usize> ElfImage::findIndex(std::string_view name) const {
    for (usize i = 0; i < headers_.size(); ++i) {
        const u64 offset = headers_[i].sh_name;
        if (offset >= names_.size()) continue;
        auto candidate = stringAt(names_, offset);
        if (candidate && *candidate == name) return i;
    }
    return std::nullopt;
}

bool ElfImage::hasSection(std::string_view name) const {
    const auto index = findIndex(name);
    return index && headers_[*index].sh_type != SHT_NOBITS && headers_[*index].sh_size != 0;
}

Result<std::span<const u8>> ElfImage::section(std::string_view name) {
    const auto index = findIndex(name);
    if (!index) return std::span<const u8>();
    return TRY(cache_[*index].getOrInit([&] { return load(*index); }));
}

Result<std::span<const u8>> ElfImage::load(usize index) {
    const Elf64_Shdr& header = headers_[index];
    if (header.sh_type == SHT_NOBITS) return std::span<const u8>();
    if (header.sh_offset > file_.size() || header.sh_size > file_.size() - header.sh_offset)
        return XOV_FAIL(Error::InvalidDebugInfo);
    const auto raw = file_.subspan(static_cast<usize>(header.sh_offset), static_cast<usize>(header.sh_size));
    if ((header.sh_flags & SHF_COMPRESSED) == 0) return raw;
    return decompressSection(raw, allocator_);
}

Result<SymbolSection> ElfImage::symbolSection(std::string_view name) {
    const auto index = findIndex(name);
    if (!index) return SymbolSection{};
    const Elf64_Shdr& header = headers_[*index];
    if (header.sh_type != SHT_SYMTAB && header.sh_type != SHT_DYNSYM) return SymbolSection{};
    if (header.sh_link >= headers_.size() || header.sh_entsize != sizeof(Elf64_Sym) ||
        header.sh_offset % alignof(Elf64_Sym) != 0)
        return XOV_FAIL(Error::InvalidDebugInfo);
    const auto symbols = TRY(load(*index));
    const auto strings = TRY(load(header.sh_link));
    if (reinterpret_cast<usize>(symbols.data()) % alignof(Elf64_Sym) != 0) return XOV_FAIL(Error::InvalidDebugInfo);
    return SymbolSection{
        std::span<const Elf64_Sym>(reinterpret_cast<const Elf64_Sym*>(symbols.data()), symbols.size() / sizeof(Elf64_Sym)),
        strings};
}

std::span<const u8> ElfImage::buildId() {
    for (const auto& header : headers_) {
        if (header.sh_type != SHT_NOTE) continue;
        if (header.sh_offset > file_.size() || header.sh_size > file_.size() - header.sh_offset) continue;
        ByteReader r(file_.subspan(static_cast<usize>(header.sh_offset), static_cast<usize>(header.sh_size)));
        while (r.remaining() >= 12) {
            const u32 name_size = *r.readU32();
            const u32 desc_size = *r.readU32();
            const u32 type = *r.readU32();
            auto name = r.take((name_size + 3u) & ~3u);
            if (!name) break;
            const usize desc_start = r.pos;
            if (!r.skip((u64{desc_size} + 3u) & ~u64{3})) break;
            if (type == NT_GNU_BUILD_ID && name_size == 4 && std::memcmp(name->data(), "GNU", 4) == 0)
                return r.bytes.subspan(desc_start, desc_size);
        }
    }
    return {};
}

std::optional<DebugLink> ElfImage::debugLink() {
    auto bytes = section(".gnu_debuglink");
    if (!bytes || bytes->empty()) return std::nullopt;
    ByteReader r(*bytes);
    auto name = r.readCString();
    if (!name || name->empty()) return std::nullopt;
    if (!r.seek((r.pos + 3) & ~usize{3})) return std::nullopt;
    auto crc = r.readU32();
    if (!crc) return std::nullopt;
    return DebugLink{*name, *crc};
}

u64 ElfImage::describedBytes() const {
    u64 total = sizeof(Elf64_Ehdr) + headers_.size_bytes();
    for (const auto& header : headers_) {
        if (header.sh_type == SHT_NOBITS || header.sh_offset > file_.size()) continue;
        const u64 room = file_.size() - header.sh_offset;
        total += header.sh_size < room ? header.sh_size : room;
        if (total >= file_.size()) return file_.size();
    }
    return total;
}

u32 crc32(std::span<const u8> bytes) {
    uLong crc = ::crc32(0L, Z_NULL, 0);
    while (!bytes.empty()) {
        const usize chunk = bytes.size() < (1u << 30) ? bytes.size() : (1u << 30);
        crc = ::crc32(crc, bytes.data(), static_cast<uInt>(chunk));
        bytes = bytes.subspan(chunk);
    }
    return static_cast<u32>(crc);
}

}  // namespace dwarf
