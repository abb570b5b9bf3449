// Call-frame information: CIE/FDE records of .eh_frame and .debug_frame,
// the rule-table program that they carry, and the DWARF expressions their
// rules may use. Everything here reads bounded byte ranges and fixed-size
// tables: it runs inside panic and fault handlers, so bad bytes give a named
// error and nothing is allocated.
#pragma once
#include <optional>
#include <span>

#include "debuginfo/byte_reader.hpp"
#include "debuginfo/dwarf_constants.hpp"
#include "debuginfo/unwind.hpp"
#include "support/error.hpp"
#include "support/types.hpp"

namespace dwarf::cfi {

enum class SectionKind : u8 { eh_frame, debug_frame };

// One call-frame table. `address` is where bytes[0] lives at run time (for
// pc-relative pointers); data_base is for data-relative pointers.
struct Section {
    std::span<const u8> bytes;
    usize address = 0;
    SectionKind kind = SectionKind::eh_frame;
    usize data_base = 0;
    // Added to the absolute addresses of a .debug_frame (which are the
    // file's own) to give run-time addresses.
    usize load_bias = 0;
};

// Reads one pointer in `encoding`. `field_address` is the run-time address
// of the field (for pcrel); `func_base` for funcrel (0 when not known).
// Indirect pointers are read through `memory_ok`.
[[nodiscard]] Result<u64> readEncodedPointer(ByteReader& reader, u8 encoding, const Section& section,
                                             usize func_base = 0, bool (*memory_ok)(usize) = nullptr);

struct Cie {
    usize offset = 0;  // of the record in the section
    u8 version = 0;
    u64 code_alignment = 0;
    i64 data_alignment = 0;
    u64 return_address_register = 0;
    u8 fde_pointer_encoding = pe::absptr;
    u8 lsda_encoding = pe::omit;
    u8 address_size = 8;
    bool is_signal_frame = false;
    bool has_augmentation_data = false;
    std::span<const u8> initial_instructions;
};

struct Fde {
    usize offset = 0;
    usize cie_offset = 0;
    u64 pc_begin = 0;
    u64 pc_range = 0;
    std::span<const u8> instructions;

    [[nodiscard]] bool covers(u64 pc) const { return pc >= pc_begin && pc - pc_begin < pc_range; }
};

// A record of the section: exactly one of cie/fde; `next` is the offset of
// the following record; a zero terminator gives end = true.
struct Entry {
    bool end = false;
    bool is_cie = false;
    Cie cie;
    Fde fde;
    usize next = 0;
};

[[nodiscard]] Result<Cie> parseCie(const Section& section, usize offset);
// Parses the record at `offset`; for an FDE, also its CIE (into *cie_out).
[[nodiscard]] Result<Entry> parseEntry(const Section& section, usize offset, Cie* cie_out);
// Walks every record for the FDE covering pc: MissingDebugInfo when none.
[[nodiscard]] Result<Fde> findFdeLinear(const Section& section, u64 pc, Cie* cie_out);

// The .eh_frame_hdr: where .eh_frame starts and the sorted search table.
struct EhFrameHeader {
    usize eh_frame_address = 0;
    u8 table_encoding = pe::omit;
    u64 fde_count = 0;
    std::span<const u8> table;
    usize table_address = 0;
    usize hdr_address = 0;
};
[[nodiscard]] Result<EhFrameHeader> parseEhFrameHeader(std::span<const u8> bytes, usize address);
// Binary search of the table: the section offset of the FDE whose start is
// the greatest not above pc; MissingDebugInfo when pc is below them all.
[[nodiscard]] Result<usize> searchTable(const EhFrameHeader& hdr, u64 pc);

enum class RuleKind : u8 { unspecified, undefined, same_value, offset, val_offset, reg, expression, val_expression };

struct RegisterRule {
    RuleKind kind = RuleKind::unspecified;
    i64 offset = 0;  // offset / val_offset: CFA-relative bytes
    u16 reg = 0;     // reg: the register holding the value
    std::span<const u8> expression;
};

struct CfaRule {
    enum class Kind : u8 { none, reg_offset, expression };
    Kind kind = Kind::none;
    u16 reg = 0;
    i64 offset = 0;
    std::span<const u8> expression;
};

// The rules of one row of the table, for the 17 tracked registers. Rules
// for registers outside them (vector registers) are accepted and dropped.
struct Row {
    u64 location = 0;
    CfaRule cfa;
    RegisterRule regs[UnwindContext::register_count];
    u64 args_size = 0;
};

// Depth of DW_CFA_remember_state nesting.
inline constexpr usize max_remembered_rows = 16;

// Runs the CIE's initial instructions and the FDE's up to the row that
// covers pc.
[[nodiscard]] Result<Row> runProgram(const Cie& cie, const Fde& fde, const Section& section, u64 pc);

// Evaluates a DWARF expression over the context's registers; `initial` is
// pushed first when present (the CFA for register rules). Memory reads go
// through ctx.is_valid_memory.
inline constexpr usize expression_stack_size = 64;
[[nodiscard]] Result<u64> evaluateExpression(std::span<const u8> expression, const UnwindContext& ctx,
                                             std::optional<u64> initial);

// Applies a row to ctx: computes the CFA and the caller's registers, sets
// pc to the return address (0 when it is undefined), and returns it.
[[nodiscard]] Result<usize> applyRow(const Row& row, const Cie& cie, UnwindContext& ctx);

// Runs the FDE's program up to ctx's lookup address and applies the row.
[[nodiscard]] Result<usize> unwindFrameWith(UnwindContext& ctx, const Section& section, const Cie& cie,
                                            const Fde& fde);
// The same for any table held in memory (a .debug_frame, or a table built
// by hand): finds the FDE by walking the records.
[[nodiscard]] Result<usize> unwindFrameInSection(UnwindContext& ctx, const Section& section);

// Reads the 8 bytes at address when ctx.is_valid_memory allows it.
[[nodiscard]] Result<u64> readMemory(const UnwindContext& ctx, usize address);

}  // namespace dwarf::cfi
