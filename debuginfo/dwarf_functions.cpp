// Functions and inline calls of one unit: the scan that collects them
// with the named scopes around them, qualified names, and the lookup of
// an address.
#include <algorithm>
#include <cstring>

#include "debuginfo/dwarf_unit.hpp"

namespace dwarf {

// Functions of one unit

namespace {

constexpr usize max_die_depth = 256;

bool isNamedScope(u64 t) {
    return t == tag::namespace_ || t == tag::class_type || t == tag::structure_type || t == tag::union_type;
}

Result<void> scanUnit(const Sections& s, Unit& unit, mem::Allocator allocator) {
    struct Context {
        i32 scope;
        bool in_function;
        bool in_inline;
        u64 function_origin;  // the abstract instance of the enclosing function
    };
    Context stack[max_die_depth];
    usize depth = 0;
    Context current{-1, false, false, 0};

    ArenaList<AddressRange> functions;
    ArenaList<AddressRange> inlines;
    ArenaList<InlineCall> calls;
    ArenaList<Decl> decls;
    ArenaList<Scope> scopes;
    // Rough shares of a unit's bytes, so the lists rarely have to move.
    const usize unit_bytes = static_cast<usize>(unit.end - unit.die_offset);
    TRY(decls.reserve(allocator, unit_bytes / 256));
    TRY(scopes.reserve(allocator, unit_bytes / 256));
    TRY(functions.reserve(allocator, unit_bytes / 1024));

    ByteReader r(s.info.first(static_cast<usize>(unit.end)), static_cast<usize>(unit.die_offset));
    const FormContext form_context = unit.context();
    while (!r.atEnd()) {
        // Most DIEs (types, parameters, variables, call sites) say nothing
        // about functions: step over them without decoding.
        const usize die_start = r.pos;
        const u64 code = TRY(r.readUleb());
        if (code == 0) {
            if (depth == 0) continue;  // padding after the unit's last DIE
            current = stack[--depth];
            continue;
        }
        const Abbrev* abbrev = unit.abbrevs.find(code);
        if (abbrev == nullptr) return XOV_FAIL(Error::InvalidDebugInfo);
        if (!abbrev->interesting) {
            if (abbrev->fixed_size >= 0) {
                TRY(r.skip(static_cast<u64>(abbrev->fixed_size)));
            } else {
                for (const AbbrevAttr& attr : unit.abbrevs.attrs.subspan(abbrev->first_attr, abbrev->attr_count))
                    TRY(readForm(r, attr.form, form_context, attr.implicit_const));
            }
            if (abbrev->has_children) {
                if (depth == max_die_depth) return XOV_FAIL(Error::InvalidDebugInfo);
                stack[depth++] = current;
            }
            continue;
        }
        r.pos = die_start;
        const Die die = TRY(readDie(unit, r));
        Context child = current;
        const u64 t = die.abbrev->tag;
        if (isNamedScope(t)) {
            std::string_view name;
            if (die.name.present()) name = TRY(resolveString(s, &unit, die.name));
            if (name.empty()) name = t == tag::namespace_ ? "(anonymous namespace)" : "(anonymous)";
            TRY(scopes.append(allocator, Scope{die.offset, current.scope, -1, name}));
            child.scope = static_cast<i32>(scopes.len - 1);
        } else if (t == tag::subprogram) {
            const auto decl_index = static_cast<u32>(decls.len);
            TRY(decls.append(allocator, Decl{die.offset, current.scope}));
            if (!die.declaration) TRY(collectRanges(s, unit, die, functions, allocator, decl_index));
            TRY(scopes.append(allocator, Scope{die.offset, current.scope, static_cast<i32>(decl_index), {}}));
            const u64 origin = die.abstract_origin.present() ? TRY(resolveRef(unit, die.abstract_origin)) : die.offset;
            child = Context{static_cast<i32>(scopes.len - 1), true, false, origin};
        } else if (t == tag::inlined_subroutine) {
            // GCC describes the cold part of a split function as that
            // function inlined into itself, with its declaration as the
            // call site: not a call, so look through it.
            const bool self_inline = current.in_function && die.abstract_origin.present() &&
                                     TRY(resolveRef(unit, die.abstract_origin)) == current.function_origin;
            if (self_inline) {
                // children keep treating their calls as outermost
            } else if (current.in_function && !current.in_inline) {
                const auto call_index = static_cast<u32>(calls.len);
                TRY(calls.append(allocator, InlineCall{die.call_file.u, static_cast<u32>(die.call_line.u),
                                                       static_cast<u32>(die.call_column.u)}));
                TRY(collectRanges(s, unit, die, inlines, allocator, call_index));
                child.in_inline = true;
            } else {
                child.in_inline = true;
            }
        }
        if (die.abbrev->has_children) {
            if (depth == max_die_depth) return XOV_FAIL(Error::InvalidDebugInfo);
            stack[depth++] = current;
            current = child;
        }
    }
    sortRanges(functions.span());
    sortRanges(inlines.span());
    unit.functions = functions.span();
    unit.inlines = inlines.span();
    unit.calls = calls.span();
    unit.decls = decls.span();
    unit.scopes = scopes.span();
    auto names = TRY(allocator.alloc<std::string_view>(decls.len));
    for (auto& n : names) n = std::string_view();
    unit.decl_names = names.data();
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

Result<std::string_view> DwarfInfo::qualifiedName(Unit& unit, u64 die_offset, int depth) {
    if (depth > 8) return XOV_FAIL(Error::InvalidDebugInfo);
    TRY(ensureScanned(sections_, unit, allocator_));
    auto it = std::lower_bound(unit.decls.begin(), unit.decls.end(), die_offset,
                               [](const Decl& d, u64 o) { return d.offset < o; });
    if (it == unit.decls.end() || it->offset != die_offset) return XOV_FAIL(Error::InvalidDebugInfo);
    return functionName(unit, static_cast<u32>(it - unit.decls.begin()), depth);
}

// The name of a subprogram with its enclosing namespaces, classes and
// functions: "w4_input::InputState::cameraMoveDir". A definition without a
// name of its own takes it from its declaration (DW_AT_specification) or
// its abstract instance (DW_AT_abstract_origin), whose place in the tree
// gives the qualification.
Result<std::string_view> DwarfInfo::functionName(Unit& unit, u32 decl_index, int depth) {
    if (depth > 8) return XOV_FAIL(Error::InvalidDebugInfo);
    if (!unit.decl_names[decl_index].empty()) return unit.decl_names[decl_index];
    const Decl decl = unit.decls[decl_index];
    ByteReader r(sections_.info.first(static_cast<usize>(unit.end)), static_cast<usize>(decl.offset));
    const Die die = TRY(readDie(unit, r));
    if (die.abbrev == nullptr) return XOV_FAIL(Error::InvalidDebugInfo);

    std::string_view result;
    if (die.name.present()) {
        std::string_view parts[33];
        usize count = 0;
        parts[count++] = TRY(resolveString(sections_, &unit, die.name));
        std::string_view prefix;
        for (i32 scope = decl.scope; scope >= 0 && count < std::size(parts);) {
            const Scope& sc = unit.scopes[static_cast<usize>(scope)];
            if (sc.function_decl >= 0) {
                prefix = TRY(functionName(unit, static_cast<u32>(sc.function_decl), depth + 1));
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

Result<Location> DwarfInfo::locate(u64 address) {
    if (index_state_ == 0) {
        auto built = buildIndex();
        index_state_ = built ? 1 : 2;
        if (!built) index_error_ = built.error();
    }
    if (index_state_ == 2) return XOV_FAIL(static_cast<Error>(index_error_));

    const AddressRange* unit_range = findRange(unit_ranges_, address);
    if (unit_range == nullptr) return XOV_FAIL(Error::MissingDebugInfo);
    Unit& unit = units_[unit_range->index];
    TRY(ensureScanned(sections_, unit, allocator_));

    Location location;
    location.function = "???";
    location.unit_name = unit.name;
    if (const AddressRange* function = findRange(unit.functions, address)) {
        if (auto name = functionName(unit, function->index, 0); name && !name->empty()) location.function = *name;
    }

    if (unit.lines_state == 0 && unit.stmt_list) {
        auto lines = parseLineTable(sections_, *unit.stmt_list, unit.address_size, unit.comp_dir, unit.name,
                                    allocator_);
        unit.lines_state = lines ? 1 : 2;
        if (lines) unit.lines = *lines;
    }
    if (unit.lines_state != 1) return location;

    // In inlined code the entry names the function the code was inlined
    // into, so the place shown is that function's own call of the inlined
    // code rather than a line of the inlined callee.
    if (const AddressRange* inlined = findRange(unit.inlines, address)) {
        const InlineCall& call = unit.calls[inlined->index];
        location.row = LineRow{address, static_cast<u32>(call.file), call.line, call.column};
    } else {
        location.row = unit.lines.find(address);
    }
    if (location.row) {
        auto path = unit.lines.filePath(location.row->file, unit.comp_dir, allocator_);
        if (path)
            location.file = *path;
        else
            location.row.reset();
    }
    return location;
}

}  // namespace dwarf
