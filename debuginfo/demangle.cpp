// Itanium C++ demangling into a fixed buffer. Substitution candidates and
// template arguments are remembered as spans of the text already written,
// so a reference is a copy of earlier output. A type whose declarator goes
// inside its text (a function, an array, a pointer to either) remembers
// where; a pointer or reference to it copies the text with the declarator
// put there. Text that is parsed but not shown (the return type of the
// function around a local name, and in the name-only style its
// parameters), and text that a copy replaces, moves to a stash at the
// buffer's far end as soon as it is complete: the candidates inside it
// stay valid, and nothing written later has to move.
#include "debuginfo/demangle.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "support/text.hpp"

namespace dwarf {

namespace {

// Where a pointer, reference or member pointer to a type goes when the
// type's text is not just a prefix of the declarator: "void (int)" takes
// "(*)" before its parameters, "int [3]" " (*)" before its bound, and once
// wrapped, "void (*)(int)" takes more inside its parentheses.
enum class Shape : u8 { plain, function, array, wrapped };

struct Span {
    u32 begin;
    u32 end;
    u32 hole = 0;  // from begin, where the declarator goes (not plain)
    Shape shape = Shape::plain;
    bool pack = false;   // a template argument pack, whose elements are
    u16 first = 0;       // pack_elems_[first, first + count)
    u16 count = 0;
    bool usable = true;  // false: a candidate no name may refer to
};

struct NameInfo {
    bool template_args = false;   // the name ends in template arguments
    bool ctor_dtor_conv = false;  // constructor, destructor or conversion: no return type
    bool is_const = false, is_volatile = false, is_restrict = false;
    u8 ref = 0;  // 1: &, 2: &&
};

struct Builtin {
    char code;
    const char* name;
};

constexpr Builtin builtins[] = {
    {'v', "void"},          {'w', "wchar_t"},          {'b', "bool"},          {'c', "char"},
    {'a', "signed char"},   {'h', "unsigned char"},    {'s', "short"},         {'t', "unsigned short"},
    {'i', "int"},           {'j', "unsigned int"},     {'l', "long"},          {'m', "unsigned long"},
    {'x', "long long"},     {'y', "unsigned long long"}, {'n', "__int128"},    {'o', "unsigned __int128"},
    {'f', "float"},         {'d', "double"},           {'e', "long double"},   {'g', "__float128"},
    {'z', "..."},
};

constexpr Builtin d_builtins[] = {
    {'n', "decltype(nullptr)"}, {'a', "auto"},      {'c', "decltype(auto)"}, {'i', "char32_t"},
    {'s', "char16_t"},          {'u', "char8_t"},   {'f', "decimal32"},      {'d', "decimal64"},
    {'e', "decimal128"},        {'h', "half"},
};

struct Operator {
    const char* code;
    const char* name;
};

constexpr Operator operators[] = {
    {"nw", " new"}, {"na", " new[]"}, {"dl", " delete"}, {"da", " delete[]"}, {"ps", "+"},  {"ng", "-"},
    {"ad", "&"},    {"de", "*"},      {"co", "~"},       {"pl", "+"},         {"mi", "-"},  {"ml", "*"},
    {"dv", "/"},    {"rm", "%"},      {"an", "&"},       {"or", "|"},         {"eo", "^"},  {"aS", "="},
    {"pL", "+="},   {"mI", "-="},     {"mL", "*="},      {"dV", "/="},        {"rM", "%="}, {"aN", "&="},
    {"oR", "|="},   {"eO", "^="},     {"ls", "<<"},      {"rs", ">>"},        {"lS", "<<="}, {"rS", ">>="},
    {"eq", "=="},   {"ne", "!="},     {"lt", "<"},       {"gt", ">"},         {"le", "<="}, {"ge", ">="},
    {"ss", "<=>"},  {"nt", "!"},      {"aa", "&&"},      {"oo", "||"},        {"pp", "++"}, {"mm", "--"},
    {"cm", ","},    {"pm", "->*"},    {"pt", "->"},      {"cl", "()"},        {"ix", "[]"}, {"qu", "?"},
};

constexpr Operator unary_operators[] = {
    {"nt", "!"}, {"ng", "-"}, {"ps", "+"}, {"ad", "&"}, {"de", "*"}, {"co", "~"},
};

constexpr Operator binary_operators[] = {
    {"pl", "+"},  {"mi", "-"},  {"ml", "*"},  {"dv", "/"},  {"rm", "%"},  {"an", "&"}, {"or", "|"},
    {"eo", "^"},  {"ls", "<<"}, {"eq", "=="}, {"ne", "!="}, {"lt", "<"},  {"gt", ">"}, {"le", "<="},
    {"ge", ">="}, {"aa", "&&"}, {"oo", "||"},
};

class Demangler {
  public:
    Demangler(std::string_view in, std::span<char> out, DemangleStyle style)
        : in_(in), out_(out.data()), cap_(out.size()), style_(style) {}

    std::optional<std::string_view> run() {
        if (!in_.starts_with("_Z")) return std::nullopt;
        pos_ = 2;
        if (!encoding(true) || !cloneSuffixes()) return std::nullopt;
        // A symbol version ("@GLIBCXX_3.4", "@@GLIBCXX_3.4.21") as it is.
        if (pos_ < in_.size() && in_[pos_] == '@') {
            write(str::sub(in_, pos_));
            pos_ = in_.size();
        }
        if (pos_ != in_.size() || !ok_) return std::nullopt;
        return std::string_view(out_, len_);
    }

  private:
    static constexpr usize max_subs = 256, max_args = 64, max_pack_elems = 256, max_arg_stack = 256;
    static constexpr u32 no_pack = 0xffffffff;
    static constexpr int max_depth = 64;

    struct Depth {
        Demangler& d;
        explicit Depth(Demangler& demangler) : d(demangler) { ++d.depth_; }
        ~Depth() { --d.depth_; }
        Depth(const Depth&) = delete;
        Depth& operator=(const Depth&) = delete;
    };

    // Once the answer cannot be given (it no longer fits, or the name is
    // malformed) the input reads as ended, so that no production goes on
    // decoding the rest of a long name.
    [[nodiscard]] char peek(usize k = 0) const { return ok_ && pos_ + k < in_.size() ? in_[pos_ + k] : '\0'; }
    bool consume(char c) {
        if (peek() != c) return false;
        ++pos_;
        return true;
    }
    bool fail() {
        ok_ = false;
        return false;
    }
    void write(std::string_view s) {
        if (s.empty()) return;
        if (!ok_ || s.size() > cap_ - len_) {
            ok_ = false;
            return;
        }
        std::memcpy(out_ + len_, s.data(), s.size());
        len_ += s.size();
    }
    void writeSpan(Span s) {
        const usize n = s.end - s.begin;
        if (!ok_ || n > cap_ - len_) {
            ok_ = false;
            return;
        }
        std::memmove(out_ + len_, out_ + s.begin, n);
        len_ += n;
    }
    [[nodiscard]] u32 mark() const { return static_cast<u32>(len_); }
    void writeNumber(u64 value) {
        char digits[24];
        usize count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        std::reverse(digits, digits + count);
        write(std::string_view(digits, count));
    }
    bool addSub(Span s) {
        if (sub_count_ == max_subs) return fail();
        subs_[sub_count_++] = s;
        return true;
    }
    // Moves the text from `from` to the end of the output into the stash,
    // with the candidates that point into it.
    void stash(u32 from) {
        if (!ok_) return;
        const usize n = len_ - from;
        const usize to = cap_ - n;
        std::memmove(out_ + to, out_ + from, n);
        auto move = [&](Span& s) {
            if (s.begin >= from && s.begin < len_) {
                s.begin = static_cast<u32>(s.begin - from + to);
                s.end = static_cast<u32>(s.end - from + to);
            }
        };
        for (usize i = 0; i < sub_count_; ++i) move(subs_[i]);
        for (usize i = 0; i < targ_count_; ++i) move(targs_[i]);
        for (usize i = 0; i < pack_elem_count_; ++i) move(pack_elems_[i]);
        cap_ = to;
        len_ = from;
    }
    // Whether the encoding ends k characters on: at the end of the name,
    // of a local name's function ('E'), or before a clone suffix or a
    // symbol version.
    [[nodiscard]] bool encodingEnds(usize k) const {
        const char c = peek(k);
        return (ok_ && pos_ + k >= in_.size()) || c == 'E' || c == '.' || c == '@';
    }
    [[nodiscard]] char last() const { return len_ == 0 ? '\0' : out_[len_ - 1]; }
    [[nodiscard]] bool endsWith(std::string_view suffix) const {
        return len_ >= suffix.size() && std::memcmp(out_ + len_ - suffix.size(), suffix.data(), suffix.size()) == 0;
    }

    bool number(u64& value) {
        if (!(peek() >= '0' && peek() <= '9')) return fail();
        value = 0;
        while (peek() >= '0' && peek() <= '9') {
            if (value > 100000000) return fail();
            value = value * 10 + static_cast<u64>(peek() - '0');
            ++pos_;
        }
        return true;
    }

    bool sourceName() {
        u64 n = 0;
        if (!number(n) || n == 0 || n > in_.size() - pos_) return fail();
        const std::string_view id = str::sub(in_, pos_, static_cast<usize>(n));
        pos_ += static_cast<usize>(n);
        for (const char ch : id) {
            const bool word = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                              ch == '_' || ch == '$' || ch == '.';
            if (!word) return fail();
        }
        last_name_ = id;
        if (id.starts_with("_GLOBAL__N"))
            write("(anonymous namespace)");
        else
            write(id);
        return ok_;
    }

    // Special names: thunks, guard variables, virtual tables, type info.
    bool specialName() {
        if (consume('G')) {
            if (consume('T')) {
                // Transactional memory's clones.
                if (consume('t'))
                    write("transaction clone for ");
                else if (consume('n'))
                    write("non-transaction clone for ");
                else
                    return fail();
                return encoding(true);
            }
            if (!consume('V')) return fail();
            write("guard variable for ");
            NameInfo info;
            if (!name(info, false)) return false;
            return (!info.is_restrict && !info.is_volatile && !info.is_const && info.ref == 0) || fail();
        }
        if (!consume('T')) return fail();
        const char kind = peek();
        ++pos_;
        auto offset = [&]() {
            consume('n');
            u64 ignored = 0;
            return number(ignored) && consume('_');
        };
        switch (kind) {
            case 'V': write("vtable for "); return type();
            case 'C': return constructionVtable();
            case 'T': write("VTT for "); return type();
            case 'I': write("typeinfo for "); return type();
            case 'S': write("typeinfo name for "); return type();
            case 'h':
                if (!offset()) return fail();
                write("non-virtual thunk to ");
                return encoding(true);
            case 'v':
                // Two offsets follow: the this-adjustment, then the vcall one.
                if (const bool adjustment = offset(); !adjustment || !offset()) return fail();
                write("virtual thunk to ");
                return encoding(true);
            default: return fail();
        }
    }

    // TC <derived type> <offset> _ <base type>: "construction vtable for
    // base-in-derived".
    bool constructionVtable() {
        write("construction vtable for ");
        const u32 derived = mark();
        if (!type()) return false;
        const usize length = len_ - derived;
        stash(derived);
        if (!ok_) return false;
        const std::string_view derived_text(out_ + cap_, length);
        u64 ignored = 0;
        if (!number(ignored) || !consume('_') || !type()) return fail();
        write("-in-");
        write(derived_text);
        return ok_;
    }

    // top: the whole symbol, not the function around a local name, whose
    // return type is never shown.
    bool encoding(bool top) {
        const Depth guard(*this);
        if (depth_ > max_depth) return fail();
        if (peek() == 'T' || (peek() == 'G' && (peek(1) == 'V' || peek(1) == 'T'))) return specialName();
        const u32 start = mark();
        NameInfo info;
        if (!name(info, false)) return false;
        const u32 name_end = mark();
        if (encodingEnds(0)) {
            // Data: only functions take qualifiers, and constructors,
            // destructors and conversions are functions.
            if (info.is_restrict || info.is_volatile || info.is_const || info.ref != 0 || info.ctor_dtor_conv)
                return fail();
            // Clones are of functions.
            encoded_function_ = false;
            return (top && peek() == '.') ? fail() : ok_;
        }
        // The template parameters a function's type names are its own.
        if (!info.template_args) targ_count_ = 0;
        encoded_function_ = true;
        if (top && style_ == DemangleStyle::name_only) {
            // Nothing after the name is shown: the parameters need not be
            // understood. Clone suffixes follow the first '.', a symbol
            // version the first '@'.
            const usize dot = in_.find_first_of(".@", pos_);
            pos_ = dot == std::string_view::npos ? in_.size() : dot;
            return true;
        }
        Span ret{name_end, name_end};
        if (info.template_args && !info.ctor_dtor_conv) {
            if (!type()) return false;
            ret = shape_;
            ret.begin = name_end;
            ret.end = mark();
            // The function around a local name never shows its return type.
            if (!top || style_ == DemangleStyle::name_only) {
                stash(ret.begin);
                ret.end = ret.begin;
            }
        }
        const u32 params_start = mark();
        write("(");
        if (peek() == 'v' && encodingEnds(1)) {
            ++pos_;
        } else {
            // A function has a parameter list, "v" when it is empty.
            if (encodingEnds(0)) return fail();
            if (!typeList(ListEnd::encoding)) return false;
        }
        write(")");
        if (info.is_const) write(" const");
        if (info.is_volatile) write(" volatile");
        if (info.is_restrict) write(" restrict");
        if (info.ref == 1) write(" &");
        if (info.ref == 2) write(" &&");
        if (!ok_) return false;
        if (style_ == DemangleStyle::name_only) {
            stash(params_start);
            return ok_;
        }
        if (ret.end > ret.begin) moveReturnTypeFirst(start, ret, params_start);
        return ok_;
    }

    // "name ret(params)" becomes "ret name(params)", and with a return
    // type that is a declarator, "void (*name(params))()". Only the whole
    // symbol's encoding does this, and nothing refers back to its text
    // afterwards, so the remembered spans are left where they were.
    void moveReturnTypeFirst(u32 start, Span ret, u32 params_start) {
        if (!ok_ || len_ == cap_ || (ret.shape != Shape::plain && ret.shape != Shape::wrapped)) {
            ok_ = false;
            return;
        }
        const u32 ret_len = ret.end - ret.begin;
        const u32 name_len = ret.begin - start;
        if (ret.shape == Shape::wrapped) {
            std::rotate(out_ + start, out_ + ret.begin, out_ + ret.begin + ret.hole);
            char* tail = out_ + start + ret.hole + name_len;
            std::rotate(tail, tail + (ret_len - ret.hole), out_ + len_);
            return;
        }
        std::rotate(out_ + start, out_ + ret.begin, out_ + params_start);
        std::memmove(out_ + start + ret_len + 1, out_ + start + ret_len, len_ - (start + ret_len));
        out_[start + ret_len] = ' ';
        len_ += 1;
    }

    bool name(NameInfo& info, bool as_type) {
        const Depth guard(*this);
        if (depth_ > max_depth) return fail();
        const char c = peek();
        if (c == 'N') return nested(info, as_type);
        if (c == 'Z') return local(info, as_type);
        const u32 begin = mark();
        if (c == 'S' && peek(1) != 't') {
            if (!substitution()) return false;
            if (peek() == 'I') {
                if (!templateArgs(!as_type)) return false;
                info.template_args = true;
                if (as_type) return addSub(Span{begin, mark()});
            }
            return ok_;
        }
        if (c == 'S') {
            pos_ += 2;
            write("std::");
        }
        const char first = peek();
        if (!unqualifiedName(info, Span{begin, begin})) return false;
        // A type is named by neither an operator nor a constructor.
        if (as_type && (info.ctor_dtor_conv || (first >= 'a' && first <= 'z'))) return fail();
        if (peek() == 'I') {
            if (!addSub(Span{begin, mark()}) || !templateArgs(!as_type)) return false;
            info.template_args = true;
            if (as_type) return addSub(Span{begin, mark()});
            return ok_;
        }
        if (as_type) return addSub(Span{begin, mark()});
        return ok_;
    }

    // The qualifiers in their one mangled order, each at most once: any
    // other spelling is malformed.
    bool qualifiers(bool& is_restrict, bool& is_volatile, bool& is_const) {
        is_restrict = consume('r');
        is_volatile = consume('V');
        is_const = consume('K');
        return (peek() != 'r' && peek() != 'V' && peek() != 'K') || fail();
    }

    bool nested(NameInfo& info, bool as_type) {
        if (!consume('N')) return fail();
        if (!qualifiers(info.is_restrict, info.is_volatile, info.is_const)) return false;
        if (consume('R'))
            info.ref = 1;
        else if (consume('O'))
            info.ref = 2;
        // A type has no member-function qualifiers.
        if (as_type && (info.is_restrict || info.is_volatile || info.is_const || info.ref != 0)) return fail();
        const u32 begin = mark();
        bool first = true;
        // Template arguments follow a name, once; nothing follows an
        // operator, constructor or destructor but its template arguments.
        bool can_args = false, can_name = true, ends_in_name = false;
        while (!consume('E')) {
            if (pos_ >= in_.size() || !ok_) return fail();
            const char c = peek();
            if (c == 'I' ? !can_args : !can_name) return fail();
            can_args = c != 'I';
            bool candidate = true;
            if (c == 'S' && peek(1) == 't') {
                // Only a name follows "std::", not a substitution.
                if (!first || peek(2) == 'S') return fail();
                pos_ += 2;
                write("std::");
                continue;
            }
            if (c == 'S') {
                if (!first) return fail();
                if (!substitution()) return false;
                candidate = false;
            } else if (c == 'I') {
                if (first || !templateArgs(!as_type)) return fail();
                info.template_args = true;
            } else if (c == 'T') {
                if (!first || !templateParam(true)) return fail();
                info.template_args = false;
            } else {
                const Span prefix{begin, mark()};
                if (!first && last() != ':') write("::");
                if (!unqualifiedName(info, prefix)) return false;
                info.template_args = false;
                can_name = !info.ctor_dtor_conv && !(c >= 'a' && c <= 'z');
            }
            first = false;
            ends_in_name = c != 'S' && c != 'T';
            if (peek() == 'E') {
                if (as_type && candidate && !addSub(Span{begin, mark()})) return false;
            } else if (candidate && !addSub(Span{begin, mark()})) {
                return false;
            }
        }
        // A substitution or a template parameter is a prefix here, never
        // the whole name; nor is an operator a type.
        if (first || !ends_in_name || (as_type && !can_name)) return fail();
        return ok_;
    }

    bool local(NameInfo& info, bool as_type) {
        if (!consume('Z')) return fail();
        const u32 begin = mark();
        if (!encoding(false) || !consume('E')) return fail();
        write("::");
        if (consume('s')) {
            write("string literal");
        } else {
            if (peek() == 'd') return fail();
            NameInfo inner;
            if (!name(inner, false)) return false;
            info = inner;
        }
        // Discriminator: _ <digit> or __ <number> _.
        if (peek() == '_') {
            ++pos_;
            if (consume('_')) {
                u64 ignored = 0;
                if (!number(ignored) || !consume('_')) return fail();
            } else {
                u64 ignored = 0;
                if (!number(ignored)) return fail();
            }
        }
        if (as_type) return addSub(Span{begin, mark()});
        return ok_;
    }

    // The last component of prefix, without template arguments or ABI
    // tags: the name a constructor or destructor of that class takes.
    std::string_view className(Span prefix) {
        std::string_view text(out_ + prefix.begin, prefix.end - prefix.begin);
        // "std::basic_string<char, ...><T>" is a basic_string still.
        while (text.ends_with('>')) {
            const usize before = text.size();
            int level = 0;
            for (usize i = text.size(); i > 0; --i) {
                const char ch = text[i - 1];
                if (ch == '>') ++level;
                if (ch == '<' && --level == 0) {
                    text = str::sub(text, 0, i - 1);
                    break;
                }
            }
            if (text.size() == before) break;
        }
        while (text.ends_with(']')) {
            const usize open = text.rfind("[abi:");
            if (open == std::string_view::npos) break;
            text = str::sub(text, 0, open);
        }
        int level = 0;
        for (usize i = text.size(); i > 1; --i) {
            const char ch = text[i - 1];
            if (ch == '>') ++level;
            if (ch == '<') --level;
            if (level == 0 && ch == ':' && text[i - 2] == ':') {
                text = str::sub(text, i);
                break;
            }
        }
        // A lambda or unnamed type has no name to give its constructors:
        // c++filt gives them the last identifier read outside template
        // arguments, the enclosing function's as a rule.
        if (text.starts_with('{')) return last_name_;
        return text;
    }

    bool unqualifiedName(NameInfo& info, Span prefix) {
        info.ctor_dtor_conv = false;
        if (peek() == 'L' && peek(1) >= '0' && peek(1) <= '9') ++pos_;  // internal linkage
        const char c = peek();
        if (c >= '0' && c <= '9') {
            if (!sourceName()) return false;
        } else if (c == 'C' && peek(1) >= '1' && peek(1) <= '5') {
            pos_ += 2;
            if (prefix.end == prefix.begin) return fail();
            char copy[256];
            const std::string_view cls = className(prefix);
            if (cls.empty() || cls.size() > sizeof copy) return fail();
            std::memcpy(copy, cls.data(), cls.size());
            write(std::string_view(copy, cls.size()));
            info.ctor_dtor_conv = true;
        } else if (c == 'D' && (peek(1) == '0' || peek(1) == '1' || peek(1) == '2' || peek(1) == '4' ||
                                peek(1) == '5')) {
            pos_ += 2;
            if (prefix.end == prefix.begin) return fail();
            char copy[256];
            const std::string_view cls = className(prefix);
            if (cls.empty() || cls.size() > sizeof copy) return fail();
            std::memcpy(copy, cls.data(), cls.size());
            write("~");
            write(std::string_view(copy, cls.size()));
            info.ctor_dtor_conv = true;
        } else if (c == 'U' && (peek(1) == 't' || peek(1) == 'l')) {
            const bool lambda = peek(1) == 'l';
            pos_ += 2;
            if (lambda) {
                write("{lambda(");
                if (peek() == 'v' && peek(1) == 'E') {
                    ++pos_;
                } else if (peek() == 'E') {
                    return fail();  // no parameters is "v"
                } else {
                    // A generic lambda's template parameters are its
                    // "auto" parameters. c++filt spells the candidates
                    // made of them with other arguments where they are
                    // referred to: no name may refer to them.
                    const usize subs_before = sub_count_, autos_before = lambda_autos_;
                    lambda_params_ += 1;
                    const bool listed = typeList(ListEnd::lambda);
                    lambda_params_ -= 1;
                    if (!listed) return false;
                    if (lambda_autos_ != autos_before)
                        for (usize i = subs_before; i < sub_count_; ++i) subs_[i].usable = false;
                }
                if (!consume('E')) return fail();
                write(")#");
            } else {
                write("{unnamed type#");
            }
            u64 value = 1;
            if (!consume('_')) {
                u64 n = 0;
                if (!number(n) || !consume('_')) return fail();
                value = n + 2;
            }
            writeNumber(value);
            write("}");
        } else if (c >= 'a' && c <= 'z') {
            if (!operatorName(info)) return false;
        } else {
            return fail();
        }
        while (peek() == 'B') {
            ++pos_;
            write("[abi:");
            u64 n = 0;
            if (!number(n) || n == 0 || n > in_.size() - pos_) return fail();
            write(str::sub(in_, pos_, static_cast<usize>(n)));
            pos_ += static_cast<usize>(n);
            write("]");
        }
        return ok_;
    }

    bool operatorName(NameInfo& info) {
        const char a = peek(), b = peek(1);
        if (a == 'c' && b == 'v') {
            pos_ += 2;
            write("operator ");
            info.ctor_dtor_conv = true;
            const usize params_before = param_refs_;
            if (!type()) return false;
            // A conversion operator template's type names the operator's own
            // parameters, whose arguments come only after it: the ones in
            // scope here would be the wrong ones.
            if (peek() == 'I' && param_refs_ != params_before) return fail();
            return ok_;
        }
        if (a == 'l' && b == 'i') {
            pos_ += 2;
            write("operator\"\" ");
            return sourceName();
        }
        if (a == 'v' && b >= '0' && b <= '9') {
            pos_ += 2;
            write("operator ");
            return sourceName();
        }
        for (const Operator& op : operators) {
            if (op.code[0] == a && op.code[1] == b) {
                pos_ += 2;
                write("operator");
                write(op.name);
                return ok_;
            }
        }
        return fail();
    }

    bool substitution() {
        if (!consume('S')) return fail();
        const char c = peek();
        // Spelled out in full, as c++filt does.
        struct Standard {
            char code;
            const char* full;
        };
        static constexpr Standard standard[] = {
            {'a', "std::allocator"},
            {'b', "std::basic_string"},
            {'s', "std::basic_string<char, std::char_traits<char>, std::allocator<char> >"},
            {'i', "std::basic_istream<char, std::char_traits<char> >"},
            {'o', "std::basic_ostream<char, std::char_traits<char> >"},
            {'d', "std::basic_iostream<char, std::char_traits<char> >"},
        };
        for (const Standard& s : standard) {
            if (s.code == c) {
                ++pos_;
                write(s.full);
                return ok_;
            }
        }
        usize index = 0;
        if (!consume('_')) {
            u64 seq = 0;
            while (peek() != '_') {
                const char d = peek();
                u64 digit = 0;
                if (d >= '0' && d <= '9')
                    digit = static_cast<u64>(d) - '0';
                else if (d >= 'A' && d <= 'Z')
                    digit = static_cast<u64>(d) - 'A' + 10;
                else
                    return fail();
                if (seq > max_subs) return fail();
                seq = seq * 36 + digit;
                ++pos_;
            }
            ++pos_;
            index = static_cast<usize>(seq) + 1;
        }
        if (index >= sub_count_ || !subs_[index].usable) return fail();
        writeSpan(subs_[index]);
        copied_ = subs_[index];
        return ok_;
    }

    // as_type: where a type must stand, which a value argument cannot.
    bool templateParam(bool as_type) {
        if (!consume('T')) return fail();
        usize index = 0;
        if (!consume('_')) {
            u64 n = 0;
            if (!number(n) || !consume('_')) return fail();
            index = static_cast<usize>(n) + 1;
        }
        if (lambda_params_ > 0) {
            lambda_autos_ += 1;
            const u32 begin = mark();
            write("auto:");
            writeNumber(index + 1);
            copied_ = Span{begin, mark()};
            return ok_;
        }
        if (index >= targ_count_) return fail();
        if (as_type && index < 64 && ((targ_values_ >> index) & 1) != 0) return fail();
        param_refs_ += 1;
        const Span& arg = targs_[index];
        // A pack outside an expansion is spelled by c++filt as its first
        // element only: not worth copying.
        if (arg.pack && pack_index_ == no_pack) return fail();
        if (arg.pack && pack_index_ != no_pack) {
            // Inside a pack expansion: this pass's element. (A pack that is
            // not usable has elements that were not remembered.)
            if (!arg.usable) return fail();
            if (pack_size_ != no_pack && pack_size_ != arg.count) return fail();
            pack_size_ = arg.count;
            if (pack_index_ >= arg.count) return ok_;
            copied_ = pack_elems_[arg.first + pack_index_];
        } else {
            copied_ = arg;
        }
        writeSpan(copied_);
        return ok_;
    }

    enum class ListEnd : u8 { encoding, lambda, function };

    // Lists are separated as c++filt separates them: an empty element (an
    // empty pack or pack expansion) keeps the separator before it, "a, ,
    // b", unless only empty ones follow it, which take theirs with them.
    struct Trailing {
        static constexpr usize none = ~usize{0};
        usize from = none;  // where the run of empty elements at the end began
        void element(usize before_separator, bool empty) {
            if (!empty)
                from = none;
            else if (from == none)
                from = before_separator;
        }
    };

    // Parameter types up to the list's end.
    bool typeList(ListEnd kind) {
        Trailing trailing;
        for (bool first = true;; first = false) {
            const char c = peek();
            if (c == 'E' && kind != ListEnd::encoding) break;
            if (kind == ListEnd::encoding && encodingEnds(0)) break;
            if (kind == ListEnd::function && (c == 'R' || c == 'O') && peek(1) == 'E') break;
            if (pos_ >= in_.size()) return fail();
            const usize before_separator = len_;
            if (!first) write(", ");
            const u32 begin = mark();
            if (!type()) return false;
            // c++filt puts a reference to a lambda inside the lambda's own
            // function-typed parameter: not worth copying.
            if (kind == ListEnd::lambda && shape_.shape != Shape::plain) return fail();
            trailing.element(before_separator, mark() == begin);
        }
        if (trailing.from != Trailing::none) len_ = trailing.from;
        return ok_;
    }

    bool templateArgs(bool remember) {
        if (!consume('I')) return fail();
        if (last() == '<') write(" ");  // operator<< <T>
        write("<");
        const std::string_view outer_name = last_name_;
        // The arguments collect on a stack of the demangler's rather than
        // this frame's: nested lists would take a signal stack's room.
        struct Release {
            usize& top;
            usize base;
            explicit Release(usize& stack_top) : top(stack_top), base(stack_top) {}
            ~Release() { top = base; }
            Release(const Release&) = delete;
            Release& operator=(const Release&) = delete;
        } const release(arg_top_);
        Span* const args = arg_stack_ + release.base;
        const usize room = std::min(max_args, max_arg_stack - release.base);
        usize count = 0;
        u64 values = 0;  // which arguments are values
        Trailing trailing;
        bool trimmed = false;  // the last argument is a pack that lost empty elements
        while (!consume('E')) {
            if (pos_ >= in_.size() || count == room) return fail();
            arg_top_ = release.base + count;
            const usize before_separator = len_;
            if (count != 0) write(", ");
            const u32 begin = mark();
            if (peek() == 'L' || peek() == 'X') values |= u64{1} << count;
            const bool pack = peek() == 'J' || peek() == 'I';
            shape_ = Span{0, 0};
            if (!templateArg()) return false;
            Span arg{begin, mark(), shape_.hole, shape_.shape};
            if (pack) {
                arg = last_pack_;
                arg.begin = begin;
                arg.end = mark();
            }
            trailing.element(before_separator, mark() == begin);
            trimmed = pack && pack_trimmed_;
            args[count++] = arg;
        }
        // Whether "> >" needs its space is decided before the empty packs
        // at the end go, so "A<int>>" has none, as in c++filt.
        const bool space = last() == '>' && trailing.from == Trailing::none && !trimmed;
        if (trailing.from != Trailing::none) len_ = trailing.from;
        if (space) write(" ");
        write(">");
        last_name_ = outer_name;
        if (remember) {
            std::copy(args, args + count, targs_);
            targ_count_ = count;
            targ_values_ = values;
        }
        return ok_;
    }

    bool templateArg() {
        const char c = peek();
        if (c == 'L') return literal();
        // "I" is how older compilers wrote an argument pack.
        if (c == 'J' || c == 'I') {
            const Depth guard(*this);
            if (depth_ > max_depth) return fail();
            ++pos_;
            // The elements are remembered, one run of pack_elems_, for the
            // pack expansions that spell them one at a time.
            Span pack{0, 0};
            pack.pack = true;
            pack.first = static_cast<u16>(pack_elem_count_);
            Trailing trailing;
            for (bool first = true; !consume('E'); first = false) {
                if (pos_ >= in_.size()) return fail();
                const usize before_separator = len_;
                if (!first) write(", ");
                const u32 begin = mark();
                const usize before = pack_elem_count_;
                shape_ = Span{0, 0};
                if (!templateArg()) return false;
                trailing.element(before_separator, mark() == begin);
                // A nested pack's elements break the run.
                if (pack_elem_count_ != before || before == max_pack_elems) {
                    pack.usable = false;
                    continue;
                }
                pack_elems_[pack_elem_count_++] = Span{begin, mark(), shape_.hole, shape_.shape};
                pack.count += 1;
            }
            pack_trimmed_ = trailing.from != Trailing::none;
            if (pack_trimmed_) len_ = trailing.from;
            last_pack_ = pack;
            return ok_;
        }
        if (c == 'X') {
            ++pos_;
            bool name_like = false;
            return (expression(name_like) && consume('E')) || fail();
        }
        // A template parameter passed on may stand for a value.
        value_param_ok_ = c == 'T';
        return type();
    }

    bool literal() {
        if (!consume('L')) return fail();
        if (peek() == '_') return fail();  // an external name
        const char t = peek();
        if (t == 'b') {
            ++pos_;
            if (consume('0'))
                write("false");
            else if (consume('1'))
                write("true");
            else
                return fail();
            return (consume('E') && ok_) || fail();
        }
        // Floating-point values are spelled in hexadecimal, which c++filt
        // shows in brackets: not worth a spelling of our own.
        if (t == 'f' || t == 'd' || t == 'e' || t == 'g') return fail();
        const char* suffix = nullptr;
        switch (t) {
            case 'i': suffix = ""; break;
            case 'j': suffix = "u"; break;
            case 'l': suffix = "l"; break;
            case 'm': suffix = "ul"; break;
            case 'x': suffix = "ll"; break;
            case 'y': suffix = "ull"; break;
            default: break;
        }
        if (suffix != nullptr) {
            ++pos_;
        } else {
            write("(");
            if (!type()) return false;
            write(")");
        }
        if (consume('n')) write("-");
        const usize digits = pos_;
        while (peek() >= '0' && peek() <= '9') ++pos_;
        if (pos_ == digits) return fail();
        write(str::sub(in_, digits, pos_ - digits));
        if (suffix != nullptr) write(suffix);
        return (consume('E') && ok_) || fail();
    }

    // A type; shape_ tells afterwards where a declarator would go in it.
    bool type() {
        const Depth guard(*this);
        if (depth_ > max_depth) return fail();
        Span shape{0, 0};
        if (!typeOf(shape)) return false;
        shape_ = shape;
        return ok_;
    }

    bool typeOf(Span& shape) {
        const u32 begin = mark();
        const char c = peek();
        for (const Builtin& b : builtins) {
            if (b.code == c) {
                ++pos_;
                write(b.name);
                return ok_;
            }
        }
        switch (c) {
            case 'D':
                if (peek(1) == 'p') return packExpansion();
                if (peek(1) == 'F') {
                    // DF <bits> _: "_Float16".
                    pos_ += 2;
                    const usize digits = pos_;
                    while (peek() >= '0' && peek() <= '9') ++pos_;
                    if (pos_ == digits || !consume('_')) return fail();
                    write("_Float");
                    write(str::sub(in_, digits, pos_ - digits - 1));
                    return ok_;
                }
                for (const Builtin& b : d_builtins) {
                    if (b.code == peek(1)) {
                        pos_ += 2;
                        write(b.name);
                        return ok_;
                    }
                }
                return fail();
            case 'u':
                ++pos_;
                if (!sourceName()) return false;
                return addSub(Span{begin, mark()});
            case 'r':
            case 'V':
            case 'K': return qualified(shape);
            case 'P':
            case 'R':
            case 'O': return pointer(shape);
            case 'F': return functionType(shape);
            case 'A': return arrayType(shape);
            case 'M': return memberPointer(shape);
            case 'T':
                if (!templateParam(!std::exchange(value_param_ok_, false))) return false;
                shape = copied_;
                if (!addSub(Span{begin, mark(), shape.hole, shape.shape})) return false;
                if (peek() == 'I') {
                    shape = Span{0, 0};
                    if (!templateArgs(false)) return false;
                    return addSub(Span{begin, mark()});
                }
                return ok_;
            case 'S':
                // A substitution alone may stand for a declarator type.
                if (peek(1) != 't') {
                    if (!substitution()) return false;
                    if (peek() != 'I') {
                        shape = copied_;
                        return ok_;
                    }
                    if (!templateArgs(false)) return false;
                    return addSub(Span{begin, mark()});
                }
                [[fallthrough]];
            case 'N':
            case 'Z':
            case 'L': {
                NameInfo info;
                return name(info, true);
            }
            default:
                if (c >= '0' && c <= '9') {
                    NameInfo info;
                    return name(info, true);
                }
                return fail();
        }
    }

    bool qualified(Span& shape) {
        const u32 begin = mark();
        bool is_restrict = false, is_volatile = false, is_const = false;
        if (!qualifiers(is_restrict, is_volatile, is_const)) return false;
        const bool function = peek() == 'F';
        if (!type()) return false;
        // A qualified function type is one candidate, not two.
        if (function) sub_count_ -= 1;
        // c++filt spells a qualified function type that a substitution or
        // template parameter stands for its own way: not worth copying.
        if (shape_.shape == Shape::function && !function) return fail();
        char text[32];
        usize n = 0;
        auto add = [&](std::string_view q) {
            std::memcpy(text + n, q.data(), q.size());
            n += q.size();
        };
        // A template parameter that carries the qualifier already (K on
        // T_ standing for a const type) keeps it once.
        if (is_const && (shape_.shape != Shape::plain || !endsWith(" const"))) add(" const");
        if (is_volatile && (shape_.shape != Shape::plain || !endsWith(" volatile"))) add(" volatile");
        if (is_restrict) add(" restrict");
        shape = shape_;
        switch (shape_.shape) {
            case Shape::plain:
            case Shape::function:  // a member function's: "void () const"
                write(std::string_view(text, n));
                break;
            case Shape::wrapped:
                if (!declarator(begin, std::string_view(text, n), {}, shape)) return false;
                break;
            case Shape::array: {
                // The element type takes the qualifier: "char const [3]".
                const Span inner = shape_;
                const usize length = len_ - begin;
                stash(begin);
                if (!ok_) return false;
                const std::string_view array(out_ + cap_, length);
                write(str::sub(array, 0, inner.hole));
                write(std::string_view(text, n));
                shape = Span{0, 0, mark() - begin, Shape::array};
                write(str::sub(array, inner.hole));
                break;
            }
        }
        return addSub(Span{begin, mark(), shape.hole, shape.shape});
    }

    bool pointer(Span& shape) {
        const u32 begin = mark();
        const char c = peek();
        ++pos_;
        // A reference to a reference is spelled only through a substitution.
        if (c != 'P' && (peek() == 'R' || peek() == 'O')) return fail();
        if (!type()) return false;
        const std::string_view mark_text = c == 'P' ? "*" : c == 'R' ? "&" : "&&";
        const bool onto_reference = shape_.shape == Shape::wrapped && out_[begin + shape_.hole - 1] == '&';
        if (c != 'P' && onto_reference) {
            // References collapse here too: "(&&)" under & becomes "(&)".
            shape = shape_;
            const bool rvalue = shape_.hole >= 2 && out_[begin + shape_.hole - 2] == '&';
            if (c == 'R' && rvalue && !declarator(begin, {}, {}, shape, 1)) return false;
        } else if (shape_.shape != Shape::plain) {
            if (!declarator(begin, mark_text, {}, shape)) return false;
        } else if (c == 'P') {
            write("*");
        } else if (last() == '&') {
            // A reference to a reference (through a template parameter)
            // collapses: & wins over &&. The inner type's text stays as it
            // is for its candidate; the collapsed copy replaces it.
            if (c == 'R' && len_ - begin >= 2 && out_[len_ - 2] == '&') {
                const usize n = len_ - begin;
                stash(begin);
                if (!ok_) return false;
                write(std::string_view(out_ + cap_, n - 1));
            }
        } else {
            write(mark_text);
        }
        return addSub(Span{begin, mark(), shape.hole, shape.shape});
    }

    // The declarator type just written at [begin, len_), whose shape is
    // shape_, with a pointer, reference, qualifier or member pointer
    // (first, then second) put where the declarator goes. The type's own
    // text moves to the stash, so that the candidates inside it keep it.
    // drop: characters before the declarator's place that go.
    bool declarator(u32 begin, std::string_view first, std::string_view second, Span& shape, u32 drop = 0) {
        const Span inner = shape_;
        const usize n = len_ - begin;
        stash(begin);
        if (!ok_) return false;
        const std::string_view text(out_ + cap_, n);
        write(str::sub(text, 0, inner.hole - drop));
        if (inner.shape == Shape::function) write("(");
        if (inner.shape == Shape::array) write(" (");
        write(first);
        write(second);
        shape = Span{0, 0, mark() - begin, Shape::wrapped};
        if (inner.shape != Shape::wrapped) write(")");
        write(str::sub(text, inner.hole));
        return ok_;
    }

    // F [Y] <return type> <parameters> [R | O] E: "void (int)".
    bool functionType(Span& shape) {
        const u32 begin = mark();
        if (!consume('F')) return fail();
        consume('Y');  // extern "C"
        if (!type()) return false;
        if (shape_.shape != Shape::plain) return fail();  // returns a declarator type
        write(" ");
        shape = Span{0, 0, mark() - begin, Shape::function};
        write("(");
        if (peek() == 'v' && peek(1) == 'E') {
            ++pos_;
        } else if (peek() == 'E' || !typeList(ListEnd::function)) {  // no parameters is "v"
            return fail();
        }
        write(")");
        if (consume('R'))
            write(" &");
        else if (consume('O'))
            write(" &&");
        if (!consume('E')) return fail();
        return addSub(Span{begin, mark(), shape.hole, shape.shape});
    }

    // A <bound> _ <element type>: "int [3]", "int [3][4]", "int []".
    bool arrayType(Span& shape) {
        const u32 begin = mark();
        if (!consume('A')) return fail();
        const usize digits = pos_;
        while (peek() >= '0' && peek() <= '9') ++pos_;
        std::string_view bound = str::sub(in_, digits, pos_ - digits);
        if (bound.empty() && peek() != '_') {
            // A bound that is an expression, "[24ul]" for T_: its text
            // waits in the stash while the element type is written.
            bool name_like = false;
            if (!expression(name_like)) return false;
            const usize length = len_ - begin;
            stash(begin);
            if (!ok_) return false;
            bound = std::string_view(out_ + cap_, length);
        }
        if (!consume('_')) return fail();
        if (!type()) return false;
        const Span element = shape_;
        if (element.shape == Shape::function || element.shape == Shape::wrapped) return fail();
        if (element.shape == Shape::array) {
            // The new bound goes before the element's own.
            const usize n = len_ - begin;
            stash(begin);
            if (!ok_) return false;
            const std::string_view text(out_ + cap_, n);
            write(str::sub(text, 0, element.hole));
            shape = Span{0, 0, element.hole, Shape::array};
            write(" [");
            write(bound);
            write("]");
            write(str::sub(text, element.hole + 1));
        } else {
            shape = Span{0, 0, mark() - begin, Shape::array};
            write(" [");
            write(bound);
            write("]");
        }
        return addSub(Span{begin, mark(), shape.hole, shape.shape});
    }

    // M <class type> <member type>: "int X::*", "void (X::*)(int)".
    bool memberPointer(Span& shape) {
        const u32 begin = mark();
        if (!consume('M')) return fail();
        if (!type()) return false;
        if (shape_.shape != Shape::plain) return fail();
        // The class's text moves to the stash, where it stays while the
        // member type is written in its place.
        const usize class_len = len_ - begin;
        stash(begin);
        if (!ok_) return false;
        const std::string_view cls(out_ + cap_, class_len);
        if (!type()) return false;
        if (shape_.shape == Shape::plain) {
            write(" ");
            write(cls);
            write("::*");
        } else if (!declarator(begin, cls, "::*", shape)) {
            return false;
        }
        return addSub(Span{begin, mark(), shape.hole, shape.shape});
    }

    // Dp <pattern>: the pattern once for each element of the pack it
    // names, "int const&, double const&". The candidates the pattern makes
    // hold one element's text where c++filt would show another, so no
    // name may refer to them.
    // of_expression: "sp <expression>", which is no candidate.
    bool packExpansion(bool of_expression = false) {
        if (pack_index_ != no_pack) return fail();
        const u32 begin = mark();
        pos_ += 2;
        const usize pattern = pos_;
        const usize subs_before = sub_count_;
        pack_index_ = 0;
        pack_size_ = no_pack;
        bool name_like = false;
        auto pass = [&]() { return of_expression ? expression(name_like) : type(); };
        bool spelled = pass();
        const usize subs_after = sub_count_;
        const usize end = pos_;
        const u32 size = pack_size_;
        for (u32 i = 1; spelled && size != no_pack && i < size; ++i) {
            write(", ");
            pos_ = pattern;
            pack_index_ = i;
            spelled = pass() && pos_ == end;
            sub_count_ = subs_after;
        }
        pack_index_ = no_pack;
        if (!spelled || size == no_pack) return fail();
        for (usize i = subs_before; i < subs_after; ++i) subs_[i].usable = false;
        if (size == 0) stash(begin);
        return of_expression ? ok_ : addSub(Span{begin, mark()});
    }

    // The expressions template arguments carry, spelled as c++filt spells
    // them: an operand in parentheses unless it is a name, "(a)+(b)",
    // "!B<int>::value", "&x" but "&(g())", "(bool)(1)", "sizeof (int)".
    // name_like: the expression is a name, which needs no parentheses.
    bool expression(bool& name_like) {
        const Depth guard(*this);
        if (depth_ > max_depth) return fail();
        name_like = false;
        const char a = peek(), b = peek(1);
        if (a == 'T') return templateParam(false);
        if (a == 'L' && b == '_' && peek(2) == 'Z') {
            pos_ += 3;
            if (peek() == 'N') {
                name_like = true;
                return qualifiedEntity() && (consume('E') || fail());
            }
            if (!encoding(false) || !consume('E')) return fail();
            name_like = !encoded_function_;
            return ok_;
        }
        if (a == 'L') return literal();
        if (a >= '0' && a <= '9') {
            name_like = true;
            NameInfo info;
            if (!unqualifiedName(info, Span{mark(), mark()})) return false;
            return peek() != 'I' || templateArgs(false);
        }
        pos_ += 2;
        if (a == 's' && b == 'r') {
            // A member of a dependent type: "B<T>::value".
            if (peek() == 'N' || !type()) return fail();
            write("::");
            name_like = true;
            NameInfo info;
            if (!unqualifiedName(info, Span{mark(), mark()})) return false;
            return peek() != 'I' || templateArgs(false);
        }
        if (a == 's' && b == 'p') {
            pos_ -= 2;
            return packExpansion(true);
        }
        if (a == 's' && (b == 'z' || b == 't')) {
            write("sizeof (");
            bool inner = false;
            if (!(b == 'z' ? expression(inner) : type())) return false;
            write(")");
            return ok_;
        }
        if (a == 'c' && b == 'v') {
            write("(");
            if (peek() == '_' || !type()) return fail();
            write(")");
            return operand();
        }
        for (const Operator& op : unary_operators) {
            if (op.code[0] == a && op.code[1] == b) {
                write(op.name);
                return operand();
            }
        }
        for (const Operator& op : binary_operators) {
            if (op.code[0] == a && op.code[1] == b) {
                // c++filt keeps a ">" from closing the argument list.
                const bool greater = a == 'g' && b == 't';
                if (greater) write("(");
                if (!operand()) return false;
                write(op.name);
                if (!operand()) return false;
                if (greater) write(")");
                return ok_;
            }
        }
        return fail();
    }

    // An entity with a qualified name, as an expression: c++filt shows the
    // name alone, "&n::g", without a function's parameters.
    bool qualifiedEntity() {
        NameInfo info;
        if (!name(info, false)) return false;
        if (peek() == 'E') return ok_;
        const u32 hidden = mark();
        if (info.template_args && !info.ctor_dtor_conv && !type()) return false;
        if (peek() == 'v' && peek(1) == 'E') {
            ++pos_;
        } else if (!typeList(ListEnd::lambda)) {
            return false;
        }
        stash(hidden);
        return ok_;
    }

    // An operator's operand, in parentheses unless it is a name.
    bool operand() {
        const u32 begin = mark();
        bool name_like = false;
        if (!expression(name_like)) return false;
        if (name_like) return ok_;
        if (len_ == cap_) return fail();
        // The candidates the operand made move with its text.
        std::memmove(out_ + begin + 1, out_ + begin, len_ - begin);
        auto move = [&](Span& s) {
            if (s.begin >= begin && s.begin < len_) {
                s.begin += 1;
                s.end += 1;
            }
        };
        for (usize i = 0; i < sub_count_; ++i) move(subs_[i]);
        for (usize i = 0; i < targ_count_; ++i) move(targs_[i]);
        for (usize i = 0; i < pack_elem_count_; ++i) move(pack_elems_[i]);
        out_[begin] = '(';
        len_ += 1;
        write(")");
        return ok_;
    }

    // GCC's clone suffixes (".cold", ".isra.0", ".constprop.0", ".part.0").
    bool cloneSuffixes() {
        while (peek() == '.') {
            const usize start = pos_;
            ++pos_;
            if ((peek() >= 'a' && peek() <= 'z') || peek() == '_') {
                while ((peek() >= 'a' && peek() <= 'z') || peek() == '_') ++pos_;
                while (peek() == '.' && peek(1) >= '0' && peek(1) <= '9') {
                    ++pos_;
                    while (peek() >= '0' && peek() <= '9') ++pos_;
                }
            } else if (peek() >= '0' && peek() <= '9') {
                while (peek() >= '0' && peek() <= '9') ++pos_;
            } else {
                return fail();
            }
            write(" [clone ");
            write(str::sub(in_, start, pos_ - start));
            write("]");
        }
        return ok_;
    }

    std::string_view in_;
    usize pos_ = 0;
    char* out_;
    usize cap_;
    usize len_ = 0;
    DemangleStyle style_;
    bool ok_ = true;
    int depth_ = 0;
    Span subs_[max_subs]{};
    usize sub_count_ = 0;
    Span targs_[max_args]{};
    usize targ_count_ = 0;
    usize param_refs_ = 0;  // template parameters resolved so far
    u64 targ_values_ = 0;   // which of targs_ are values, not types
    bool value_param_ok_ = false;
    bool encoded_function_ = false;  // the last encoding was a function's
    int lambda_params_ = 0;          // inside a lambda's parameter list
    usize lambda_autos_ = 0;         // "auto" parameters spelled so far
    bool pack_trimmed_ = false;      // the last pack lost empty elements at its end
    Span shape_{0, 0};   // the last type's shape
    Span copied_{0, 0};  // the last substitution or template argument written
    Span last_pack_{0, 0};
    Span arg_stack_[max_arg_stack]{};
    usize arg_top_ = 0;
    Span pack_elems_[max_pack_elems]{};
    usize pack_elem_count_ = 0;
    u32 pack_index_ = no_pack;  // the element a pack expansion is spelling
    u32 pack_size_ = no_pack;   // the number of elements of the pack it names
    std::string_view last_name_;
};

}  // namespace

std::optional<std::string_view> demangle(std::string_view mangled, std::span<char> buffer, DemangleStyle style) {
    if (buffer.empty()) return std::nullopt;
    Demangler demangler(mangled, buffer, style);
    return demangler.run();
}

}  // namespace dwarf
