// Call-frame unwinding for the running process: the loaded module that
// holds pc, its .eh_frame through the .eh_frame_hdr search table, and the
// rules of the covering FDE applied to the context.
#include "debuginfo/unwind.hpp"

#include <elf.h>
#include <link.h>

#include "debuginfo/cfi.hpp"
#include "debuginfo/debuginfo.hpp"

namespace dwarf {

Result<UnwindContext> UnwindContext::init(const ucontext_t* context, bool (*is_valid_memory)(usize)) {
    UnwindContext ctx;
    ctx.is_valid_memory = is_valid_memory;
    const auto& g = context->uc_mcontext.gregs;
    constexpr int map[UnwindContext::register_count] = {REG_RAX, REG_RDX, REG_RCX, REG_RBX, REG_RSI, REG_RDI,
                                                        REG_RBP, REG_RSP, REG_R8,  REG_R9,  REG_R10, REG_R11,
                                                        REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP};
    for (usize i = 0; i < UnwindContext::register_count; ++i) {
        ctx.regs[i] = static_cast<u64>(g[map[i]]);
        ctx.reg_valid[i] = true;
    }
    ctx.pc = static_cast<usize>(g[REG_RIP]);
    return ctx;
}

namespace {

// What the program headers say about the module holding an address.
struct ModuleTables {
    usize address = 0;
    bool found = false;
    std::span<const u8> eh_frame_hdr;
    const ElfW(Phdr) * phdrs = nullptr;
    usize phnum = 0;
    usize bias = 0;
};

int findModule(dl_phdr_info* info, size_t, void* data) {
    auto* out = static_cast<ModuleTables*>(data);
    bool contains = false;
    for (usize i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD) continue;
        const usize start = info->dlpi_addr + ph.p_vaddr;
        if (out->address >= start && out->address - start < ph.p_memsz) contains = true;
    }
    if (!contains) return 0;
    out->found = true;
    out->phdrs = info->dlpi_phdr;
    out->phnum = info->dlpi_phnum;
    out->bias = info->dlpi_addr;
    for (usize i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type == PT_GNU_EH_FRAME)
            out->eh_frame_hdr = {reinterpret_cast<const u8*>(info->dlpi_addr + ph.p_vaddr), ph.p_memsz};
    }
    return 1;
}

// .eh_frame has no size of its own in memory: it may run to the end of the
// loaded segment that holds it, and the records' lengths do the rest.
Result<std::span<const u8>> segmentTail(const ModuleTables& m, usize address) {
    for (usize i = 0; i < m.phnum; ++i) {
        const ElfW(Phdr)& ph = m.phdrs[i];
        if (ph.p_type != PT_LOAD) continue;
        const usize start = m.bias + ph.p_vaddr;
        if (address >= start && address - start < ph.p_filesz)
            return std::span<const u8>(reinterpret_cast<const u8*>(address), start + ph.p_filesz - address);
    }
    return XOV_FAIL(Error::InvalidDebugInfo);
}

// Code built without unwind tables has its rules only in .debug_frame,
// which is not loaded: it comes from the module's file through the debug
// information, when that has already been opened (never opened from here:
// unwinding runs inside fault handlers).
Result<usize> unwindFromDebugFrame(UnwindContext& ctx) {
    if (debug::self_debug_info == nullptr) return XOV_FAIL(Error::MissingDebugInfo);
    debug::Module* module = TRY(debug::self_debug_info->getModuleForAddress(lookupAddress(ctx)));
    const std::span<const u8> bytes = TRY(module->section(".debug_frame"));
    if (bytes.empty()) return XOV_FAIL(Error::MissingDebugInfo);
    const cfi::Section debug_frame{bytes, 0, cfi::SectionKind::debug_frame, 0, module->baseAddress()};
    return cfi::unwindFrameInSection(ctx, debug_frame);
}

Result<usize> unwindFromEhFrame(UnwindContext& ctx) {
    const usize lookup = lookupAddress(ctx);
    ModuleTables m;
    m.address = lookup;
    dl_iterate_phdr(findModule, &m);
    if (!m.found || m.eh_frame_hdr.empty()) return XOV_FAIL(Error::MissingDebugInfo);
    const auto hdr = TRY(cfi::parseEhFrameHeader(m.eh_frame_hdr, reinterpret_cast<usize>(m.eh_frame_hdr.data())));
    const cfi::Section eh_frame{TRY(segmentTail(m, hdr.eh_frame_address)), hdr.eh_frame_address,
                                cfi::SectionKind::eh_frame, hdr.hdr_address};
    cfi::Cie cie;
    cfi::Fde fde;
    if (hdr.fde_count != 0) {
        const usize offset = TRY(cfi::searchTable(hdr, lookup));
        const cfi::Entry entry = TRY(cfi::parseEntry(eh_frame, offset, &cie));
        if (entry.end || entry.is_cie) return XOV_FAIL(Error::InvalidDebugInfo);
        fde = entry.fde;
        if (!fde.covers(lookup)) return XOV_FAIL(Error::MissingDebugInfo);
    } else {
        fde = TRY(cfi::findFdeLinear(eh_frame, lookup, &cie));
    }
    return cfi::unwindFrameWith(ctx, eh_frame, cie, fde);
}

}  // namespace

Result<usize> unwindFrame(UnwindContext& ctx) {
    if (ctx.pc == 0) return XOV_FAIL(Error::InvalidDebugInfo);
    const auto from_eh_frame = unwindFromEhFrame(ctx);
    if (from_eh_frame || from_eh_frame.error() != Error::MissingDebugInfo) return from_eh_frame;
    return unwindFromDebugFrame(ctx);
}

}  // namespace dwarf
