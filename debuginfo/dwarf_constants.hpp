// The numbers of the DWARF format by name: forms, attributes, tags, unit
// types, expression and call-frame opcodes, line-program opcodes and entry
// contents, range-list entries and pointer encodings. Plain constants in
// one namespace per kind, so they read the same in `case` labels and in
// hand-built byte arrays (`dwarf::form::strx1`, `dwarf::op::breg0`).
// Names that are C++ keywords take a trailing underscore (`op::and_`).
#pragma once
#include "support/types.hpp"

namespace dwarf {

// The first word of a unit's initial length: dwarf64 announces a 64-bit
// length after it, and the values from reserved up to it mean nothing yet.
namespace initial_length {
inline constexpr u32 reserved = 0xfffffff0, dwarf64 = 0xffffffff;
}  // namespace initial_length

// DW_FORM_*: how an attribute's value is encoded.
namespace form {
inline constexpr u16 addr = 0x01, block2 = 0x03, block4 = 0x04, data2 = 0x05, data4 = 0x06, data8 = 0x07,
                     string = 0x08, block = 0x09, block1 = 0x0a, data1 = 0x0b, flag = 0x0c, sdata = 0x0d,
                     strp = 0x0e, udata = 0x0f, ref_addr = 0x10, ref1 = 0x11, ref2 = 0x12, ref4 = 0x13,
                     ref8 = 0x14, ref_udata = 0x15, indirect = 0x16, sec_offset = 0x17, exprloc = 0x18,
                     flag_present = 0x19, strx = 0x1a, addrx = 0x1b, ref_sup4 = 0x1c, strp_sup = 0x1d,
                     data16 = 0x1e, line_strp = 0x1f, ref_sig8 = 0x20, implicit_const = 0x21, loclistx = 0x22,
                     rnglistx = 0x23, ref_sup8 = 0x24, strx1 = 0x25, strx2 = 0x26, strx3 = 0x27, strx4 = 0x28,
                     addrx1 = 0x29, addrx2 = 0x2a, addrx3 = 0x2b, addrx4 = 0x2c;
// GNU extensions: split-DWARF indexes before version 5, and references
// into a supplementary (dwz) file.
inline constexpr u16 gnu_addr_index = 0x1f01, gnu_str_index = 0x1f02, gnu_ref_alt = 0x1f20,
                     gnu_strp_alt = 0x1f21;
}  // namespace form

// DW_AT_*: attribute names. declaration_link (0x47) points from a
// definition to the declaration it completes.
namespace at {
inline constexpr u16 sibling = 0x01, location = 0x02, name = 0x03, byte_size = 0x0b, stmt_list = 0x10,
                     low_pc = 0x11, high_pc = 0x12, language = 0x13, comp_dir = 0x1b, const_value = 0x1c,
                     inline_ = 0x20, producer = 0x25, prototyped = 0x27, abstract_origin = 0x31,
                     decl_file = 0x3a, decl_line = 0x3b, declaration = 0x3c, external = 0x3f, frame_base = 0x40,
                     declaration_link = 0x47, type = 0x49, ranges = 0x55, call_column = 0x57, call_file = 0x58,
                     call_line = 0x59, entry_pc = 0x52, linkage_name = 0x6e, str_offsets_base = 0x72,
                     addr_base = 0x73, rnglists_base = 0x74, dwo_name = 0x76, loclists_base = 0x8c;
inline constexpr u16 mips_linkage_name = 0x2007, gnu_dwo_name = 0x2130, gnu_dwo_id = 0x2131,
                     gnu_ranges_base = 0x2132, gnu_addr_base = 0x2133;
}  // namespace at

// DW_TAG_*: kinds of debugging information entry.
namespace tag {
inline constexpr u16 array_type = 0x01, class_type = 0x02, enumeration_type = 0x04, formal_parameter = 0x05,
                     lexical_block = 0x0b, member = 0x0d, pointer_type = 0x0f, compile_unit = 0x11,
                     structure_type = 0x13, subroutine_type = 0x15, typedef_ = 0x16, union_type = 0x17,
                     inlined_subroutine = 0x1d, base_type = 0x24, variable = 0x34, subprogram = 0x2e,
                     namespace_ = 0x39, partial_unit = 0x3c, type_unit = 0x41, skeleton_unit = 0x4a;
}  // namespace tag

// DW_CHILDREN_*: the byte after an abbreviation's tag.
namespace children {
inline constexpr u8 no = 0x00, yes = 0x01;
}  // namespace children

// DW_UT_*: the unit type of a version 5 unit header.
namespace ut {
inline constexpr u8 compile = 0x01, type = 0x02, partial = 0x03, skeleton = 0x04, split_compile = 0x05,
                    split_type = 0x06;
}  // namespace ut

// DW_SECT_*: column ids of a split-DWARF package's unit index. Version 5
// and the GNU version 2 index of DWARF 4 agree on these, except that
// column 8 is rnglists only in version 5.
namespace sect {
inline constexpr u32 info = 1, abbrev = 3, line = 4, str_offsets = 6, rnglists = 8;
}  // namespace sect

// DW_OP_*: DWARF expression opcodes. The lit, reg and breg families are
// 32 consecutive opcodes each, from their 0 member.
namespace op {
inline constexpr u8 addr = 0x03, deref = 0x06, const1u = 0x08, const1s = 0x09, const2u = 0x0a, const2s = 0x0b,
                    const4u = 0x0c, const4s = 0x0d, const8u = 0x0e, const8s = 0x0f, constu = 0x10, consts = 0x11,
                    dup = 0x12, drop = 0x13, over = 0x14, pick = 0x15, swap = 0x16, rot = 0x17, xderef = 0x18,
                    abs = 0x19, and_ = 0x1a, div = 0x1b, minus = 0x1c, mod = 0x1d, mul = 0x1e, neg = 0x1f,
                    not_ = 0x20, or_ = 0x21, plus = 0x22, plus_uconst = 0x23, shl = 0x24, shr = 0x25, shra = 0x26,
                    xor_ = 0x27, bra = 0x28, eq = 0x29, ge = 0x2a, gt = 0x2b, le = 0x2c, lt = 0x2d, ne = 0x2e,
                    skip = 0x2f, lit0 = 0x30, lit31 = 0x4f, reg0 = 0x50, reg31 = 0x6f, breg0 = 0x70, breg31 = 0x8f,
                    regx = 0x90, fbreg = 0x91, bregx = 0x92, piece = 0x93, deref_size = 0x94,
                    xderef_size = 0x95, nop = 0x96, push_object_address = 0x97, call2 = 0x98, call4 = 0x99,
                    call_ref = 0x9a, form_tls_address = 0x9b, call_frame_cfa = 0x9c, bit_piece = 0x9d,
                    implicit_value = 0x9e, stack_value = 0x9f;
}  // namespace op

// DW_CFA_*: call-frame instructions. The first three carry an operand in
// the low six bits of the opcode byte (`cfa::primary_mask` selects them);
// the rest are whole bytes.
namespace cfa {
inline constexpr u8 primary_mask = 0xc0, operand_mask = 0x3f;
inline constexpr u8 advance_loc = 0x40, offset = 0x80, restore = 0xc0;
inline constexpr u8 nop = 0x00, set_loc = 0x01, advance_loc1 = 0x02, advance_loc2 = 0x03, advance_loc4 = 0x04,
                    offset_extended = 0x05, restore_extended = 0x06, undefined = 0x07, same_value = 0x08,
                    register_ = 0x09, remember_state = 0x0a, restore_state = 0x0b, def_cfa = 0x0c,
                    def_cfa_register = 0x0d, def_cfa_offset = 0x0e, def_cfa_expression = 0x0f, expression = 0x10,
                    offset_extended_sf = 0x11, def_cfa_sf = 0x12, def_cfa_offset_sf = 0x13, val_offset = 0x14,
                    val_offset_sf = 0x15, val_expression = 0x16, gnu_args_size = 0x2e,
                    gnu_negative_offset_extended = 0x2f;
}  // namespace cfa

// DW_EH_PE_*: pointer encodings of .eh_frame and .eh_frame_hdr. The low
// four bits give the format, the next three how it is applied.
namespace pe {
inline constexpr u8 format_mask = 0x0f, application_mask = 0x70;
inline constexpr u8 absptr = 0x00, uleb128 = 0x01, udata2 = 0x02, udata4 = 0x03, udata8 = 0x04, sleb128 = 0x09,
                    sdata2 = 0x0a, sdata4 = 0x0b, sdata8 = 0x0c;
inline constexpr u8 pcrel = 0x10, textrel = 0x20, datarel = 0x30, funcrel = 0x40, aligned = 0x50;
inline constexpr u8 indirect = 0x80, omit = 0xff;
}  // namespace pe

// DW_LNS_*: standard line-program opcodes. Opcode 0 introduces an
// extended opcode (lne); opcodes from the header's opcode_base up are
// special opcodes.
namespace lns {
inline constexpr u8 extended = 0x00, copy = 0x01, advance_pc = 0x02, advance_line = 0x03, set_file = 0x04,
                    set_column = 0x05, negate_stmt = 0x06, set_basic_block = 0x07, const_add_pc = 0x08,
                    fixed_advance_pc = 0x09, set_prologue_end = 0x0a, set_epilogue_begin = 0x0b, set_isa = 0x0c;
// DW_LNS_const_add_pc advances the address as this special opcode would.
inline constexpr u8 last_special = 0xff;
}  // namespace lns

// DW_LNE_*: extended line-program opcodes.
namespace lne {
inline constexpr u8 end_sequence = 0x01, set_address = 0x02, define_file = 0x03, set_discriminator = 0x04;
}  // namespace lne

// DW_LNCT_*: what a field of a version 5 directory or file entry holds.
namespace lnct {
inline constexpr u16 path = 0x1, directory_index = 0x2, timestamp = 0x3, size = 0x4, md5 = 0x5;
}  // namespace lnct

// DW_RLE_*: entries of a .debug_rnglists list.
namespace rle {
inline constexpr u8 end_of_list = 0x00, base_addressx = 0x01, startx_endx = 0x02, startx_length = 0x03,
                    offset_pair = 0x04, base_address = 0x05, start_end = 0x06, start_length = 0x07;
}  // namespace rle

}  // namespace dwarf
