// Functions and inline calls of one unit: the scan that collects them
// with the named scopes around them, qualified names, and the lookup of
// an address.
#include <algorithm>
#include <cstring>
#include <optional>

#include "debuginfo/dwarf_unit.hpp"

namespace dwarf {

namespace {

constexpr usize max_die_depth = 256;

bool isNamedScope(u64 t) {
    return t == tag::namespace_ || t == tag::class_type || t == tag::structure_type || t == tag::union_type;
}

// The line a function is declared at: DW_AT_decl_line of its DIE, else of
// the declaration it links to. 0 when unknown or in another unit.
Result<u64> declLine(const Sections& s, const Unit& unit, u64 offset, int depth = 0) {
    if (depth > 2 || offset < unit.die_offset || offset >= unit.end) return 0;
    ByteReader r(s.info.first(static_cast<usize>(unit.end)), static_cast<usize>(offset));
    const Abbrev* abbrev = unit.abbrevs.find(TRY(r.readUleb()));
    if (abbrev == nullptr) return XOV_FAIL(Error::InvalidDebugInfo);
    FormValue declaration;
    for (const AbbrevAttr& attr : unit.abbrevs.attrs.subspan(abbrev->first_attr, abbrev->attr_count)) {
        const FormValue value = TRY(readForm(r, attr.form, unit.context(), unit.abbrevs.implicitConst(attr)));
        if (attr.name == at::decl_line && value.kind == Kind::constant) return value.u;
        if (attr.name == at::declaration_link) declaration = value;
    }
    if (!declaration.present()) return 0;
    return declLine(s, unit, TRY(resolveRef(unit, declaration)), depth + 1);
}

// Where a DIE's subtree ends by its DW_AT_sibling, whose value is an
// offset in the unit. The attribute only saves walking the subtree: one
// that does not point past the DIE's attributes (attrs_end; its children
// end with a null entry at least) or points beyond the DIEs being read
// (end) is ignored, 0, and the subtree walked.
u64 siblingTarget(const Unit& unit, u64 value, usize attrs_end, usize end) {
    u64 target = 0;
    if (__builtin_add_overflow(unit.offset, value, &target) || target <= attrs_end || target > end) return 0;
    return target;
}

// The same from a decoded DW_AT_sibling, which must be a reference in the
// unit.
u64 siblingTarget(const Unit& unit, const FormValue& sibling, usize attrs_end, usize end) {
    return sibling.kind == Kind::ref_unit ? siblingTarget(unit, sibling.u, attrs_end, end) : 0;
}

// Where a DIE's subtree ends, read from its DW_AT_sibling without decoding
// the attributes before it; 0 when the abbreviation has no such attribute
// at a fixed place or the value is not usable.
u64 subtreeEnd(const Unit& unit, const Abbrev& abbrev, std::span<const u8> bytes, usize attrs_start, usize attrs_end) {
    if (!abbrev.has_children || abbrev.sibling_at < 0) return 0;
    const usize at = attrs_start + static_cast<usize>(abbrev.sibling_at);
    if (at > bytes.size() || bytes.size() - at < abbrev.sibling_size) return 0;
    u64 value = 0;
    for (usize i = 0; i < abbrev.sibling_size; ++i) value |= static_cast<u64>(bytes[at + i]) << (8 * i);
    return siblingTarget(unit, value, attrs_end, bytes.size());
}

// Steps over a DIE's attributes without decoding them.
Result<void> skipAttributes(const Unit& unit, const Abbrev& abbrev, ByteReader& r) {
    if (abbrev.fixed_size >= 0) return r.skip(static_cast<u64>(abbrev.fixed_size));
    const FormContext context = unit.context();
    for (const AbbrevAttr& attr : unit.abbrevs.attrs.subspan(abbrev.first_attr, abbrev.attr_count))
        TRY(skipForm(r, attr, context));
    return {};
}

bool holdsNothingNamed(u64 t) {
    return t == tag::array_type || t == tag::enumeration_type || t == tag::subroutine_type;
}

// The next sibling of a DIE whose attributes start at r.pos, stepping over
// them: from DW_AT_sibling, decoding no other attribute. 0 when the DIE
// has no usable DW_AT_sibling.
Result<u64> skipToSibling(const Unit& unit, const Abbrev& abbrev, ByteReader& r) {
    const usize attrs_start = r.pos;
    if (abbrev.fixed_size >= 0) {
        TRY(r.skip(static_cast<u64>(abbrev.fixed_size)));
        return subtreeEnd(unit, abbrev, r.bytes, attrs_start, r.pos);
    }
    const FormContext context = unit.context();
    std::optional<u64> sibling;
    for (const AbbrevAttr& attr : unit.abbrevs.attrs.subspan(abbrev.first_attr, abbrev.attr_count)) {
        if (attr.name == at::sibling && attr.form >= form::ref1 && attr.form <= form::ref8)
            sibling = TRY(r.readUnsigned(static_cast<usize>(attr.size())));
        else
            TRY(skipForm(r, attr, context));
    }
    return sibling ? siblingTarget(unit, *sibling, r.pos, r.bytes.size()) : 0;
}

// The functions and the named scopes around every subprogram in the DIEs
// from begin to end, nested in scope: appended to the unit's lists. With
// skip_functions, the children of functions are stepped over through
// their DW_AT_sibling and kept aside (SkippedSubtree); so are those of
// declarations, enumerations and function types, which hold nothing a
// name needs. Without a usable sibling (clang emits none) a subtree is
// walked, its parameters, variables, blocks and inline calls stepped
// over undecoded; a function's inline calls are read from its subtree only
// when a lookup lands in it (ensureBody).
Result<void> scanDies(const Sections& s, Unit& unit, u64 begin, u64 end, i32 scope, bool skip_functions,
                      mem::Allocator allocator) {
    i32 stack[max_die_depth];
    usize depth = 0;
    i32 current = scope;  // the innermost named scope or function
    const std::span<const u8> bytes = s.info.first(static_cast<usize>(end));
    ByteReader r(bytes, static_cast<usize>(begin));
    auto addDecl = [&](u64 offset, i32 function_scope) -> Result<u32> {
        const auto decl_index = static_cast<u32>(unit.decls.len);
        TRY(unit.decls.append(allocator, Decl{static_cast<u32>(offset - unit.offset), function_scope}));
        return decl_index;
    };
    while (!r.atEnd()) {
        const usize die_start = r.pos;
        const u64 code = TRY(r.readUleb());
        if (code == 0) {
            if (depth == 0) {
                if (begin != unit.die_offset) break;  // the end of a skipped subtree's children
                continue;  // padding after the unit's last DIE
            }
            current = stack[--depth];
            continue;
        }
        const Abbrev* abbrev = unit.abbrevs.find(code);
        if (abbrev == nullptr) return XOV_FAIL(Error::InvalidDebugInfo);
        const u64 t = abbrev->tag;
        u64 next = 0;  // where the subtree ends, when DW_AT_sibling says
        if (t == tag::subprogram) {
            u32 decl_index = 0;
            bool function = false;
            if (!abbrev->may_have_code) {
                // A declaration or an abstract instance: its place in the
                // tree is all a name needs, the rest is read when a name is
                // asked.
                next = TRY(skipToSibling(unit, *abbrev, r));
                decl_index = TRY(addDecl(die_start, current));
                function = !abbrev->is_declaration;
            } else {
                r.pos = die_start;
                const Die die = TRY(readDie(unit, r));
                next = siblingTarget(unit, die.sibling, r.pos, bytes.size());
                decl_index = TRY(addDecl(die.offset, current));
                if (!die.declaration) TRY(collectRanges(s, unit, die, unit.functions, allocator, decl_index));
                function = !die.declaration;
            }
            if (!abbrev->has_children) continue;
            if (skip_functions && next != 0) {
                // A declaration's children are its parameters: nothing to
                // keep. A function's are scanned if a lookup needs them.
                if (function)
                    TRY(unit.skipped.append(allocator, SkippedSubtree{static_cast<u32>(r.pos - unit.offset),
                                                                      static_cast<u32>(next - unit.offset), current,
                                                                      decl_index}));
                r.pos = static_cast<usize>(next);
                continue;
            }
            TRY(unit.scopes.append(allocator, Scope{die_start, current, static_cast<i32>(decl_index), {}}));
        } else if (isNamedScope(t)) {
            r.pos = die_start;
            const Die die = TRY(readDie(unit, r));
            std::string_view name;
            if (die.name.present()) name = TRY(resolveString(s, &unit, die.name));
            if (name.empty()) name = t == tag::namespace_ ? "(anonymous namespace)" : "(anonymous)";
            TRY(unit.scopes.append(allocator, Scope{die.offset, current, -1, name}));
            if (!abbrev->has_children) continue;
            next = siblingTarget(unit, die.sibling, r.pos, bytes.size());
            if (skip_functions && t != tag::namespace_ && next != 0) {
                TRY(unit.skipped.append(allocator, SkippedSubtree{static_cast<u32>(r.pos - unit.offset),
                                                                  static_cast<u32>(next - unit.offset),
                                                                  static_cast<i32>(unit.scopes.len - 1),
                                                                  SkippedSubtree::no_function}));
                r.pos = static_cast<usize>(next);
                continue;
            }
        } else {
            // Types, parameters, variables, blocks, call sites and inline
            // calls say nothing about which function holds an address; nor
            // do enumerators and the parameters of function types.
            if (skip_functions && abbrev->has_children && holdsNothingNamed(t)) {
                next = TRY(skipToSibling(unit, *abbrev, r));
                if (next != 0) {
                    r.pos = static_cast<usize>(next);
                    continue;
                }
            } else {
                TRY(skipAttributes(unit, *abbrev, r));
            }
            if (!abbrev->has_children) continue;
            if (depth == max_die_depth) return XOV_FAIL(Error::InvalidDebugInfo);
            stack[depth++] = current;
            continue;
        }
        // The children of a named scope or a walked function: nested in it.
        if (depth == max_die_depth) return XOV_FAIL(Error::InvalidDebugInfo);
        stack[depth++] = current;
        current = static_cast<i32>(unit.scopes.len - 1);
    }
    return {};
}

// The functions of a unit and the named scopes around every subprogram.
Result<void> scanUnit(const Sections& s, Unit& unit, mem::Allocator allocator) {
    if (unit.end < unit.offset || unit.end - unit.offset > ~u32{0}) return XOV_FAIL(Error::InvalidDebugInfo);
    // Rough shares of a unit's bytes, so the lists rarely have to move.
    const usize unit_bytes = static_cast<usize>(unit.end - unit.die_offset);
    TRY(unit.decls.reserve(allocator, unit_bytes / 128));
    TRY(unit.scopes.reserve(allocator, unit_bytes / 128));
    TRY(unit.functions.reserve(allocator, unit_bytes / 1024));
    TRY(scanDies(s, unit, unit.die_offset, unit.end, -1, true, allocator));
    sortRanges(unit.functions.span());
    unit.sorted_decls = unit.decls.len;
    unit.unscanned_subtrees = unit.skipped.len;
    return {};
}

// The inline calls in the subtree of the function whose DIE is at offset:
// every inlined_subroutine with its call site and the call it is nested
// in. Functions nested in it have bodies of their own and are skipped.
Result<void> scanBody(const Sections& s, const Unit& unit, u64 offset, FunctionBody& body, mem::Allocator allocator) {
    struct Context {
        i32 call;        // the innermost inline call around the DIE, -1 for none
        u32 call_depth;  // how many inline calls are around it
        bool skipped;    // inside a nested function
    };
    ByteReader r(s.info.first(static_cast<usize>(unit.end)), static_cast<usize>(offset));
    const Die function = TRY(readDie(unit, r));
    if (function.abbrev == nullptr || function.abbrev->tag != tag::subprogram) return XOV_FAIL(Error::InvalidDebugInfo);
    // The abstract instance of the function.
    const u64 function_origin =
        function.abstract_origin.present() ? TRY(resolveRef(unit, function.abstract_origin)) : function.offset;

    ArenaList<AddressRange> inlines;
    ArenaList<InlineCall> calls;
    // Sized from the subtree, so the lists are not copied as they grow: an
    // inline call's DIE and its children take some 16 bytes or more.
    if (const u64 end = siblingTarget(unit, function.sibling, r.pos, r.bytes.size()); end != 0) {
        TRY(inlines.reserve(allocator, static_cast<usize>(end - function.offset) / 16));
        TRY(calls.reserve(allocator, static_cast<usize>(end - function.offset) / 16));
    }
    Context stack[max_die_depth];
    usize depth = 0;
    Context current{-1, 0, false};
    bool more = function.abbrev->has_children;
    while (more) {
        const usize die_start = r.pos;
        const u64 code = TRY(r.readUleb());
        if (code == 0) {
            if (depth == 0) break;
            current = stack[--depth];
            continue;
        }
        const Abbrev* abbrev = unit.abbrevs.find(code);
        if (abbrev == nullptr) return XOV_FAIL(Error::InvalidDebugInfo);
        Context child = current;
        if (abbrev->tag == tag::inlined_subroutine && !current.skipped) {
            r.pos = die_start;
            const Die die = TRY(readDie(unit, r));
            const u64 origin = die.abstract_origin.present() ? TRY(resolveRef(unit, die.abstract_origin)) : 0;
            // GCC describes the cold part of a split function as that
            // function inlined into itself, with its declaration as the
            // call site: not a call, so look through it. (A recursive call
            // inlined into the function has a call site of its own.)
            const bool self_inline = current.call < 0 && die.abstract_origin.present() &&
                                     origin == function_origin &&
                                     die.call_line.u == TRY(declLine(s, unit, origin));
            if (!self_inline) {
                const auto call_index = static_cast<u32>(calls.len);
                TRY(calls.append(allocator, InlineCall{origin, die.call_file.u, static_cast<u32>(die.call_line.u),
                                                       static_cast<u32>(die.call_column.u), current.call,
                                                       current.call_depth + 1}));
                TRY(collectRanges(s, unit, die, inlines, allocator, call_index));
                child.call = static_cast<i32>(call_index);
                child.call_depth = current.call_depth + 1;
            }
        } else {
            TRY(skipAttributes(unit, *abbrev, r));
            if (abbrev->tag == tag::subprogram) child.skipped = true;
        }
        if (abbrev->has_children) {
            if (depth == max_die_depth) return XOV_FAIL(Error::InvalidDebugInfo);
            stack[depth++] = current;
            current = child;
        }
        more = !r.atEnd();
    }
    sortRanges(inlines.span());
    // The furthest end of the inline ranges up to each one, so a lookup
    // scanning back from an address knows when no earlier range can reach it.
    if (inlines.len != 0) {
        auto reach = TRY(allocator.alloc<u64>(inlines.len));
        u64 furthest = 0;
        for (usize i = 0; i < inlines.len; ++i) {
            furthest = std::max(furthest, inlines.items[i].hi);
            reach[i] = furthest;
        }
        body.inline_reach = reach.data();
    }
    body.inlines = inlines.span();
    body.calls = calls.span();
    return {};
}

Result<std::string_view> join(mem::Allocator allocator, std::span<const std::string_view> parts,
                              std::string_view separator) {
    usize total = 0;
    for (usize i = 0; i < parts.size(); ++i) total += parts[i].size() + (i == 0 ? 0 : separator.size());
    auto out = TRY(allocator.alloc<char>(total == 0 ? 1 : total));
    usize at = 0;
    for (usize i = 0; i < parts.size(); ++i) {
        if (i != 0) {
            std::memcpy(out.data() + at, separator.data(), separator.size());
            at += separator.size();
        }
        std::memcpy(out.data() + at, parts[i].data(), parts[i].size());
        at += parts[i].size();
    }
    return std::string_view(out.data(), total);
}

}  // namespace

Result<void> ensureScanned(const Sections& s, Unit& unit, mem::Allocator allocator) {
    TRY(ensureUnitDie(s, unit, allocator));
    TRY(unit.scanned.getOrInit([&] { return scanUnit(s, unit, allocator); }));
    return {};
}

Result<bool> scanSkipped(const Sections& s, Unit& unit, u64 die_offset, mem::Allocator allocator) {
    bool any = false;
    for (usize i = 0; i < unit.skipped.len && unit.unscanned_subtrees != 0; ++i) {
        SkippedSubtree& subtree = unit.skipped.items[i];
        const u64 begin = unit.offset + subtree.begin;
        const u64 end = unit.offset + subtree.end;
        if (begin == end) continue;  // scanned
        if (die_offset != 0 && (die_offset < begin || die_offset >= end)) continue;
        const u32 decl_index = subtree.decl;
        const i32 scope = subtree.scope;
        subtree.end = subtree.begin;
        --unit.unscanned_subtrees;
        any = true;
        const usize functions_before = unit.functions.len;
        i32 children_scope = scope;
        if (decl_index != SkippedSubtree::no_function) {
            const Decl function = unit.decls.items[decl_index];
            TRY(unit.scopes.append(allocator,
                                   Scope{unit.offset + function.at, scope, static_cast<i32>(decl_index), {}}));
            children_scope = static_cast<i32>(unit.scopes.len - 1);
        }
        TRY(scanDies(s, unit, begin, end, children_scope, false, allocator));
        if (unit.functions.len != functions_before) sortRanges(unit.functions.span());
    }
    return any;
}

Result<const FunctionBody*> ensureBody(const Sections& s, Unit& unit, u32 decl_index, mem::Allocator allocator) {
    for (const FunctionBody& body : unit.bodies.span()) {
        if (body.decl != decl_index) continue;
        if (body.error != Error{}) return XOV_FAIL(body.error);
        return &body;
    }
    if (decl_index >= unit.decls.len) return XOV_FAIL(Error::InvalidDebugInfo);
    FunctionBody body{decl_index, {}, {}, nullptr, {}};
    if (auto scanned = scanBody(s, unit, unit.offset + unit.decls.items[decl_index].at, body, allocator); !scanned)
        body.error = scanned.error();
    TRY(unit.bodies.append(allocator, body));
    if (body.error != Error{}) return XOV_FAIL(body.error);
    return &unit.bodies.items[unit.bodies.len - 1];
}

Result<std::string_view> DwarfInfo::qualifiedName(Unit& unit, u64 die_offset, int depth) {
    if (depth > 8) return XOV_FAIL(Error::InvalidDebugInfo);
    TRY(prepare(unit));
    if (die_offset < unit.offset || die_offset - unit.offset > ~u32{0}) return XOV_FAIL(Error::InvalidDebugInfo);
    const auto at = static_cast<u32>(die_offset - unit.offset);
    const std::span<const Decl> sorted(unit.decls.items, unit.sorted_decls);
    auto it = std::lower_bound(sorted.begin(), sorted.end(), at, [](const Decl& d, u32 o) { return d.at < o; });
    if (it != sorted.end() && it->at == at)
        return functionName(unit, static_cast<u32>(it - sorted.begin()), depth);
    // A declaration in a function's children: a lambda's call operator, a
    // local class's member.
    for (int round = 0; round < 2; ++round) {
        for (usize i = unit.sorted_decls; i < unit.decls.len; ++i)
            if (unit.decls.items[i].at == at) return functionName(unit, static_cast<u32>(i), depth);
        if (round == 0 && !TRY(scanSkipped(sectionsOf(unit), unit, die_offset, allocator_))) break;
    }
    return XOV_FAIL(Error::InvalidDebugInfo);
}

// The name of a subprogram with its enclosing namespaces, classes and
// functions: "w4_input::InputState::cameraMoveDir". A definition without a
// name of its own takes it from the declaration it links to or
// its abstract instance (DW_AT_abstract_origin), whose place in the tree
// gives the qualification.
Result<std::string_view> DwarfInfo::functionName(Unit& unit, u32 decl_index, int depth) {
    if (depth > 8) return XOV_FAIL(Error::InvalidDebugInfo);
    if (decl_index >= unit.decls.len) return XOV_FAIL(Error::InvalidDebugInfo);
    for (const NamedDecl& named : unit.decl_names.span())
        if (named.decl == decl_index) return named.name;
    const Decl decl = unit.decls.items[decl_index];
    const Sections& sections = sectionsOf(unit);
    ByteReader r(sections.info.first(static_cast<usize>(unit.end)), static_cast<usize>(unit.offset + decl.at));
    const Die die = TRY(readDie(unit, r));
    if (die.abbrev == nullptr) return XOV_FAIL(Error::InvalidDebugInfo);

    std::string_view result;
    if (die.name.present()) {
        std::string_view parts[33];
        usize count = 0;
        parts[count++] = TRY(resolveString(sections, &unit, die.name));
        std::string_view prefix;
        for (i32 scope = decl.scope; scope >= 0 && count < std::size(parts);) {
            if (static_cast<usize>(scope) >= unit.scopes.len) return XOV_FAIL(Error::InvalidDebugInfo);
            const Scope sc = unit.scopes.items[static_cast<usize>(scope)];
            if (sc.function_decl >= 0) {
                // Clang describes the function around a lambda by a bare
                // subprogram with no name and no link: the name then
                // starts below it.
                if (auto outer = functionName(unit, static_cast<u32>(sc.function_decl), depth + 1)) prefix = *outer;
                break;
            }
            parts[count++] = sc.name;
            scope = sc.parent;
        }
        if (!prefix.empty() && count < std::size(parts)) parts[count++] = prefix;
        std::reverse(parts, parts + count);
        result = TRY(join(allocator_, std::span<const std::string_view>(parts, count), "::"));
    } else {
        const FormValue& link = die.declaration_link.present() ? die.declaration_link : die.abstract_origin;
        if (!link.present()) return XOV_FAIL(Error::InvalidDebugInfo);
        const u64 target = TRY(resolveRef(unit, link));
        Unit* target_unit = &unit;
        if (target < unit.offset || target >= unit.end) target_unit = TRY(unitAt(target));
        result = TRY(qualifiedName(*target_unit, target, depth + 1));
    }
    TRY(unit.decl_names.append(allocator_, NamedDecl{decl_index, result}));
    return result;
}

namespace {

// The innermost inline call whose ranges hold the address: of the ranges
// holding it, the one of the most deeply nested call. -1 when none does.
i32 innermostCall(const FunctionBody& body, u64 address) {
    const auto ranges = body.inlines;
    usize i = static_cast<usize>(std::upper_bound(ranges.begin(), ranges.end(), address,
                                                  [](u64 a, const AddressRange& r) { return a < r.lo; }) -
                                 ranges.begin());
    i32 best = -1;
    u32 best_depth = 0;
    while (i > 0 && body.inline_reach[i - 1] > address) {
        --i;
        const AddressRange& range = ranges[i];
        if (address >= range.hi || range.index >= body.calls.size()) continue;
        const InlineCall& call = body.calls[range.index];
        if (call.depth > best_depth) {
            best = static_cast<i32>(range.index);
            best_depth = call.depth;
        }
    }
    return best;
}

}  // namespace

Result<std::string_view> DwarfInfo::inlinedName(Unit& unit, u64 origin) {
    if (origin == 0) return XOV_FAIL(Error::InvalidDebugInfo);
    Unit* target_unit = &unit;
    if (origin < unit.offset || origin >= unit.end) target_unit = TRY(unitAt(origin));
    return qualifiedName(*target_unit, origin, 0);
}

Result<usize> DwarfInfo::locate(u64 address, std::span<Location> out) {
    if (out.empty()) return XOV_FAIL(Error::InvalidDebugInfo);
    TRY(index_.getOrInit([&] { return buildIndex(); }));

    const AddressRange* unit_range = findRange(unit_ranges_, address);
    if (unit_range == nullptr) return XOV_FAIL(Error::MissingDebugInfo);
    Unit& unit = *TRY(unitOf(unit_range->index));
    TRY(prepare(unit));

    std::string_view function = "???";
    const FunctionBody* body = nullptr;
    const AddressRange* range = findRange(unit.functions.span(), address);
    // Code of a function defined inside another one's children, such as a
    // lambda's call operator GCC emits in its class.
    if (range == nullptr && unit.unscanned_subtrees != 0 && TRY(scanSkipped(sectionsOf(unit), unit, 0, allocator_)))
        range = findRange(unit.functions.span(), address);
    if (range != nullptr) {
        if (auto name = functionName(unit, range->index, 0); name && !name->empty()) function = *name;
        body = TRY(ensureBody(sectionsOf(unit), unit, range->index, allocator_));
    }

    auto parseLines = [&] {
        return parseLineTable(sectionsOf(unit), *unit.stmt_list, unit.address_size, unit.comp_dir, unit.name,
                              allocator_);
    };
    LineTable* lines = nullptr;
    if (unit.stmt_list && unit.lines.getOrInit(parseLines)) lines = &unit.lines.value;
    // Skeletons carry no name: one without its split unit is named by its
    // line table's primary source file.
    if (unit.has_dwo_id && unit.split == nullptr && unit.name == "???" && lines != nullptr) {
        if (auto primary = lines->filePath(lines->version >= 5 ? 0 : 1, unit.comp_dir, allocator_)) unit.name = *primary;
    }
    auto entry = [&](std::string_view name, std::optional<LineRow> row) {
        Location location;
        location.function = name;
        location.unit_name = unit.name;
        if (row && lines != nullptr) {
            if (auto path = lines->filePath(row->file, unit.comp_dir, allocator_)) {
                location.row = row;
                location.file = *path;
            }
        }
        return location;
    };

    // Inlined code: the innermost inlined function at the line-table row,
    // then each caller at its call of the one before, ending with the
    // out-of-line function. A chain longer than out keeps its innermost
    // entries and the out-of-line function.
    std::optional<LineRow> row;
    if (lines != nullptr) row = lines->find(address);
    usize count = 0;
    i32 call = body != nullptr ? innermostCall(*body, address) : -1;
    for (int guard = 0; call >= 0 && guard < 4096; ++guard) {
        const InlineCall& c = body->calls[static_cast<usize>(call)];
        if (count + 1 < out.size()) {
            auto name = inlinedName(unit, c.origin);
            out[count++] = entry(name && !name->empty() ? *name : std::string_view("???"), row);
        }
        row = LineRow{address, static_cast<u32>(c.file), c.line, c.column};
        // A parent always comes before its children in DIE order.
        call = c.parent < call ? c.parent : -1;
    }
    out[count++] = entry(function, row);
    return count;
}

}  // namespace dwarf
