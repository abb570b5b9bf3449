// Functions and inline calls of one unit: the scan that collects them
// with the named scopes around them, qualified names, and the lookup of
// an address.
#include <algorithm>
#include <cstring>

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
    constexpr u64 at_decl_line = 0x3b;
    if (depth > 2 || offset < unit.die_offset || offset >= unit.end) return 0;
    ByteReader r(s.info.first(static_cast<usize>(unit.end)), static_cast<usize>(offset));
    const Abbrev* abbrev = unit.abbrevs.find(TRY(r.readUleb()));
    if (abbrev == nullptr) return XOV_FAIL(Error::InvalidDebugInfo);
    FormValue declaration;
    for (const AbbrevAttr& attr : unit.abbrevs.attrs.subspan(abbrev->first_attr, abbrev->attr_count)) {
        const FormValue value = TRY(readForm(r, attr.form, unit.context(), attr.implicit_const));
        if (attr.name == at_decl_line && value.kind == Kind::constant) return value.u;
        if (attr.name == at::declaration_link) declaration = value;
    }
    if (!declaration.present()) return 0;
    return declLine(s, unit, TRY(resolveRef(unit, declaration)), depth + 1);
}

// Steps over a DIE's attributes without decoding them.
Result<void> skipAttributes(const Unit& unit, const Abbrev& abbrev, ByteReader& r) {
    if (abbrev.fixed_size >= 0) return r.skip(static_cast<u64>(abbrev.fixed_size));
    const FormContext context = unit.context();
    for (const AbbrevAttr& attr : unit.abbrevs.attrs.subspan(abbrev.first_attr, abbrev.attr_count))
        TRY(skipForm(r, attr, context));
    return {};
}

// The functions of a unit and the named scopes around every subprogram.
// The subtrees of functions are walked but hardly decoded: parameters,
// variables, blocks and inline calls (nearly three quarters of a unit's
// DIEs) are stepped over, and a function's inline calls are read from its
// subtree only when a lookup lands in it (ensureBody).
Result<void> scanUnit(const Sections& s, Unit& unit, mem::Allocator allocator) {
    i32 stack[max_die_depth];
    usize depth = 0;
    i32 current = -1;  // the innermost named scope or function

    ArenaList<AddressRange> functions;
    ArenaList<Decl> decls;
    ArenaList<Scope> scopes;
    // Rough shares of a unit's bytes, so the lists rarely have to move.
    const usize unit_bytes = static_cast<usize>(unit.end - unit.die_offset);
    TRY(decls.reserve(allocator, unit_bytes / 256));
    TRY(scopes.reserve(allocator, unit_bytes / 256));
    TRY(functions.reserve(allocator, unit_bytes / 1024));

    ByteReader r(s.info.first(static_cast<usize>(unit.end)), static_cast<usize>(unit.die_offset));
    while (!r.atEnd()) {
        const usize die_start = r.pos;
        const u64 code = TRY(r.readUleb());
        if (code == 0) {
            if (depth == 0) continue;  // padding after the unit's last DIE
            current = stack[--depth];
            continue;
        }
        const Abbrev* abbrev = unit.abbrevs.find(code);
        if (abbrev == nullptr) return XOV_FAIL(Error::InvalidDebugInfo);
        i32 child = current;
        const u64 t = abbrev->tag;
        if (t == tag::subprogram && !abbrev->may_have_code) {
            // A declaration or an abstract instance: its place in the tree
            // is all a name needs, the rest is read when a name is asked.
            TRY(skipAttributes(unit, *abbrev, r));
            const auto decl_index = static_cast<u32>(decls.len);
            TRY(decls.append(allocator, Decl{die_start, current}));
            TRY(scopes.append(allocator, Scope{die_start, current, static_cast<i32>(decl_index), {}}));
            child = static_cast<i32>(scopes.len - 1);
        } else if (t == tag::subprogram || isNamedScope(t)) {
            r.pos = die_start;
            const Die die = TRY(readDie(unit, r));
            if (t == tag::subprogram) {
                const auto decl_index = static_cast<u32>(decls.len);
                TRY(decls.append(allocator, Decl{die.offset, current}));
                if (!die.declaration) TRY(collectRanges(s, unit, die, functions, allocator, decl_index));
                TRY(scopes.append(allocator, Scope{die.offset, current, static_cast<i32>(decl_index), {}}));
            } else {
                std::string_view name;
                if (die.name.present()) name = TRY(resolveString(s, &unit, die.name));
                if (name.empty()) name = t == tag::namespace_ ? "(anonymous namespace)" : "(anonymous)";
                TRY(scopes.append(allocator, Scope{die.offset, current, -1, name}));
            }
            child = static_cast<i32>(scopes.len - 1);
        } else {
            // Types, parameters, variables, blocks, call sites and inline
            // calls say nothing about which function holds an address.
            TRY(skipAttributes(unit, *abbrev, r));
        }
        if (abbrev->has_children) {
            if (depth == max_die_depth) return XOV_FAIL(Error::InvalidDebugInfo);
            stack[depth++] = current;
            current = child;
        }
    }
    sortRanges(functions.span());
    unit.functions = functions.span();
    unit.decls = decls.span();
    unit.scopes = scopes.span();
    auto names = TRY(allocator.alloc<std::string_view>(decls.len));
    for (auto& n : names) n = std::string_view();
    unit.decl_names = names.data();
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
    if (unit.scan_state == 0) {
        auto scanned = scanUnit(s, unit, allocator);
        unit.scan_state = scanned ? 1 : 2;
        if (!scanned) unit.scan_error = scanned.error();
    }
    if (unit.scan_state == 2) return XOV_FAIL(unit.scan_error);
    return {};
}

Result<const FunctionBody*> ensureBody(const Sections& s, Unit& unit, u32 decl_index, mem::Allocator allocator) {
    for (const FunctionBody& body : unit.bodies.span()) {
        if (body.decl != decl_index) continue;
        if (body.state == 2) return XOV_FAIL(body.error);
        return &body;
    }
    if (decl_index >= unit.decls.size()) return XOV_FAIL(Error::InvalidDebugInfo);
    FunctionBody body{decl_index, 1, Error::InvalidDebugInfo, {}, nullptr, {}};
    if (auto scanned = scanBody(s, unit, unit.decls[decl_index].offset, body, allocator); !scanned) {
        body.state = 2;
        body.error = scanned.error();
    }
    TRY(unit.bodies.append(allocator, body));
    if (body.state == 2) return XOV_FAIL(body.error);
    return &unit.bodies.items[unit.bodies.len - 1];
}

Result<std::string_view> DwarfInfo::qualifiedName(Unit& unit, u64 die_offset, int depth) {
    if (depth > 8) return XOV_FAIL(Error::InvalidDebugInfo);
    TRY(prepare(unit));
    auto it = std::lower_bound(unit.decls.begin(), unit.decls.end(), die_offset,
                               [](const Decl& d, u64 o) { return d.offset < o; });
    if (it == unit.decls.end() || it->offset != die_offset) return XOV_FAIL(Error::InvalidDebugInfo);
    return functionName(unit, static_cast<u32>(it - unit.decls.begin()), depth);
}

// The name of a subprogram with its enclosing namespaces, classes and
// functions: "w4_input::InputState::cameraMoveDir". A definition without a
// name of its own takes it from the declaration it links to or
// its abstract instance (DW_AT_abstract_origin), whose place in the tree
// gives the qualification.
Result<std::string_view> DwarfInfo::functionName(Unit& unit, u32 decl_index, int depth) {
    if (depth > 8) return XOV_FAIL(Error::InvalidDebugInfo);
    if (!unit.decl_names[decl_index].empty()) return unit.decl_names[decl_index];
    const Decl decl = unit.decls[decl_index];
    const Sections& sections = sectionsOf(unit);
    ByteReader r(sections.info.first(static_cast<usize>(unit.end)), static_cast<usize>(decl.offset));
    const Die die = TRY(readDie(unit, r));
    if (die.abbrev == nullptr) return XOV_FAIL(Error::InvalidDebugInfo);

    std::string_view result;
    if (die.name.present()) {
        std::string_view parts[33];
        usize count = 0;
        parts[count++] = TRY(resolveString(sections, &unit, die.name));
        std::string_view prefix;
        for (i32 scope = decl.scope; scope >= 0 && count < std::size(parts);) {
            const Scope& sc = unit.scopes[static_cast<usize>(scope)];
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
    unit.decl_names[decl_index] = result;
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
    if (index_state_ == 0) {
        auto built = buildIndex();
        index_state_ = built ? 1 : 2;
        if (!built) index_error_ = built.error();
    }
    if (index_state_ == 2) return XOV_FAIL(static_cast<Error>(index_error_));

    const AddressRange* unit_range = findRange(unit_ranges_, address);
    if (unit_range == nullptr) return XOV_FAIL(Error::MissingDebugInfo);
    Unit& unit = units_[unit_range->index];
    TRY(prepare(unit));

    std::string_view function = "???";
    const FunctionBody* body = nullptr;
    if (const AddressRange* range = findRange(unit.functions, address)) {
        if (auto name = functionName(unit, range->index, 0); name && !name->empty()) function = *name;
        body = TRY(ensureBody(sectionsOf(unit), unit, range->index, allocator_));
    }

    if (unit.lines_state == 0 && unit.stmt_list) {
        auto lines = parseLineTable(sectionsOf(unit), *unit.stmt_list, unit.address_size, unit.comp_dir, unit.name,
                                    allocator_);
        unit.lines_state = lines ? 1 : 2;
        if (lines) unit.lines = *lines;
    }
    const bool have_lines = unit.lines_state == 1;
    auto entry = [&](std::string_view name, std::optional<LineRow> row) {
        Location location;
        location.function = name;
        location.unit_name = unit.name;
        if (row && have_lines) {
            if (auto path = unit.lines.filePath(row->file, unit.comp_dir, allocator_)) {
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
    if (have_lines) row = unit.lines.find(address);
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
