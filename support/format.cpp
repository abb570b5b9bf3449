// The formatter behind fmt::format and the plain writers.
#include "support/format.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

#include "support/text.hpp"
#include "support/sys.hpp"

Result<void> FixedBufferWriter::writeAll(std::string_view bytes) {
    const usize room = buffer.size() - end;
    const usize n = bytes.size() < room ? bytes.size() : room;
    if (n != 0) std::memcpy(buffer.data() + end, bytes.data(), n);
    end += n;
    if (n < bytes.size()) return XOV_FAIL(Error::NoSpaceLeft);
    return {};
}

Result<void> FdWriter::writeAll(std::string_view bytes) {
    while (!bytes.empty()) {
        const usize n = TRY(sys::write(fd, bytes.data(), bytes.size()));
        bytes.remove_prefix(n);
    }
    return {};
}

Result<void> BufferedFdWriter::writeAll(std::string_view bytes) {
    while (!bytes.empty()) {
        const usize room = capacity - end;
        const usize n = bytes.size() < room ? bytes.size() : room;
        std::memcpy(buf + end, bytes.data(), n);
        end += n;
        bytes.remove_prefix(n);
        if (end == capacity) TRY(flush());
    }
    return {};
}

Result<void> BufferedFdWriter::flush() {
    const std::string_view gathered(buf, end);
    end = 0;
    return FdWriter(fd).writeAll(gathered);
}

namespace fmt {

Result<void> writeUnsigned(Writer& writer, u64 value, unsigned base) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, static_cast<int>(base));
    return writer.writeAll({buf, static_cast<usize>(r.ptr - buf)});
}

Result<void> writeSigned(Writer& writer, i64 value) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    return writer.writeAll({buf, static_cast<usize>(r.ptr - buf)});
}

Result<void> writeFloat(Writer& writer, f64 value) {
    if (std::isnan(value)) return writer.writeAll("nan");
    if (std::isinf(value)) return writer.writeAll(value < 0 ? "-inf" : "inf");
    // to_chars gives the shortest digits that read back as the same value,
    // as "d.ddde+XX"; rewrite the exponent without '+' and leading zeros.
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    std::string_view text(buf, static_cast<usize>(r.ptr - buf));
    const usize e = text.find('e');
    TRY(writer.writeAll(str::sub(text, 0, e + 1)));
    std::string_view exponent = str::sub(text, e + 1);
    bool negative = false;
    if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) {
        negative = exponent[0] == '-';
        exponent.remove_prefix(1);
    }
    while (exponent.size() > 1 && exponent[0] == '0') exponent.remove_prefix(1);
    if (negative && exponent != "0") TRY(writer.writeAll("-"));
    return writer.writeAll(exponent);
}

namespace {

Result<void> writeArg(Writer& writer, std::string_view verb, const Arg& arg) {
    using Kind = Arg::Kind;
    switch (arg.kind) {
        case Kind::unsigned_int:
            return writeUnsigned(writer, arg.u, verb == "x" ? 16 : 10);
        case Kind::signed_int:
            if (verb == "x") {
                if (arg.i < 0) TRY(writer.writeAll("-"));
                return writeUnsigned(writer, arg.i < 0 ? 0 - static_cast<u64>(arg.i) : static_cast<u64>(arg.i), 16);
            }
            return writeSigned(writer, arg.i);
        case Kind::float64:
            return writeFloat(writer, arg.f);
        case Kind::string:
            return writer.writeAll(arg.s);
        case Kind::boolean:
            return writer.writeAll(arg.b ? "true" : "false");
        case Kind::error:
            if (verb == "s") return writer.writeAll(errorName(arg.e));
            TRY(writer.writeAll("error."));
            return writer.writeAll(errorName(arg.e));
        case Kind::custom:
            return arg.custom.format(arg.custom.object, writer);
    }
    return {};
}

}  // namespace

Result<void> formatArgs(Writer& writer, std::string_view format, std::span<const Arg> args) {
    usize next_arg = 0;
    usize i = 0;
    while (i < format.size()) {
        const usize brace = format.find_first_of("{}", i);
        if (brace == std::string_view::npos) return writer.writeAll(str::sub(format, i));
        if (brace > i) TRY(writer.writeAll(str::sub(format, i, brace - i)));
        if (brace + 1 < format.size() && format[brace + 1] == format[brace]) {
            TRY(writer.writeAll(str::sub(format, brace, 1)));  // "{{" or "}}"
            i = brace + 2;
            continue;
        }
        if (format[brace] == '}') {  // a lone '}' is written as it is
            TRY(writer.writeAll("}"));
            i = brace + 1;
            continue;
        }
        const usize close = format.find('}', brace);
        if (close == std::string_view::npos) return writer.writeAll(str::sub(format, brace));
        const std::string_view verb = str::sub(format, brace + 1, close - brace - 1);
        if (next_arg < args.size()) TRY(writeArg(writer, verb, args[next_arg]));
        next_arg += 1;
        i = close + 1;
    }
    return {};
}

}  // namespace fmt
