// Text formatting: a writer interface and a small "{d}"/"{x}"/"{s}"/"{}"
// formatter whose placeholders match the program's message texts.
//
//   {d}  integer in decimal          {x}  integer in lower-case hex
//   {s}  string (string_view / const char*)
//   {}   the value's default form: floats in shortest round-trip scientific
//        notation ("1e0", "7.071067811865475e-1"), errors as "error.Name",
//        integers in decimal, objects through their format(Writer&) member
//   {any} same as {}
//   {{ and }} write single braces.
#pragma once
#include <concepts>
#include <span>
#include <string_view>
#include <type_traits>

#include "support/error.hpp"
#include "support/types.hpp"

struct Writer {
    // Writes every byte or returns the first error.
    [[nodiscard]] virtual Result<void> writeAll(std::string_view bytes) = 0;

  protected:
    ~Writer() = default;
};

// Collects into a caller-supplied buffer; NoSpaceLeft once it is full (what
// did fit stays written).
struct FixedBufferWriter final : Writer {
    std::span<char> buffer;
    usize end = 0;

    explicit FixedBufferWriter(std::span<char> buf) : buffer(buf) {}
    [[nodiscard]] Result<void> writeAll(std::string_view bytes) override;
    [[nodiscard]] std::string_view written() const { return {buffer.data(), end}; }
};

// Unbuffered writes to a file descriptor, retrying short writes.
struct FdWriter final : Writer {
    int fd;
    explicit FdWriter(int fd_) : fd(fd_) {}
    [[nodiscard]] Result<void> writeAll(std::string_view bytes) override;
};

// Gathers one message in a buffer on the caller's stack and hands it to
// the descriptor in one write when it fits: every write is a system call,
// and a pipe takes up to 4096 bytes (PIPE_BUF) in one piece, so a line does
// not interleave with another process writing to the same descriptor.
// Longer texts go out a full buffer at a time. Nothing is written until
// flush() or the buffer fills; the owner must flush.
struct BufferedFdWriter final : Writer {
    static constexpr usize capacity = 4096;
    int fd;
    usize end = 0;
    char buf[capacity];

    explicit BufferedFdWriter(int fd_) : fd(fd_) {}
    BufferedFdWriter(const BufferedFdWriter&) = delete;
    BufferedFdWriter& operator=(const BufferedFdWriter&) = delete;
    [[nodiscard]] Result<void> writeAll(std::string_view bytes) override;
    // Writes what is gathered (retrying short writes); the buffer is empty
    // afterwards even when the write failed.
    [[nodiscard]] Result<void> flush();
};

// Counts bytes only.
struct CountingWriter final : Writer {
    usize count = 0;
    [[nodiscard]] Result<void> writeAll(std::string_view bytes) override {
        count += bytes.size();
        return {};
    }
};

namespace fmt {

// One type-erased formatting argument.
struct Arg {
    enum class Kind : u8 { unsigned_int, signed_int, float64, string, error, custom, boolean };
    Kind kind;
    union {
        u64 u;
        i64 i;
        f64 f;
        std::string_view s;
        Error e;
        bool b;
        struct {
            const void* object;
            Result<void> (*format)(const void*, Writer&);
        } custom;
    };

    Arg(bool v) : kind(Kind::boolean), b(v) {}
    template <std::unsigned_integral T>
        requires(!std::same_as<T, bool>)
    Arg(T v) : kind(Kind::unsigned_int), u(v) {}
    template <std::signed_integral T>
    Arg(T v) : kind(Kind::signed_int), i(v) {}
    Arg(f64 v) : kind(Kind::float64), f(v) {}
    Arg(float v) : kind(Kind::float64), f(v) {}
    Arg(std::string_view v) : kind(Kind::string), s(v) {}
    Arg(const char* v) : kind(Kind::string), s(v) {}
    Arg(Error v) : kind(Kind::error), e(v) {}
    template <class T>
        requires(std::is_enum_v<T> && !std::same_as<T, Error>)
    Arg(T v) : Arg(static_cast<std::underlying_type_t<T>>(v)) {}
    template <class T>
        requires requires(const T& t, Writer& w) {
            { t.format(w) } -> std::same_as<Result<void>>;
        }
    Arg(const T& v) : kind(Kind::custom) {
        custom.object = &v;
        custom.format = [](const void* o, Writer& w) { return static_cast<const T*>(o)->format(w); };
    }
};

[[nodiscard]] Result<void> formatArgs(Writer& writer, std::string_view format, std::span<const Arg> args);

template <class... Args>
[[nodiscard]] Result<void> format(Writer& writer, std::string_view format_string, const Args&... args) {
    const Arg packed[] = {Arg(args)..., Arg(false)};
    return formatArgs(writer, format_string, std::span<const Arg>(packed, sizeof...(Args)));
}

// Formats into buf; returns the written part, or NoSpaceLeft.
template <class... Args>
[[nodiscard]] Result<std::string_view> bufPrint(std::span<char> buf, std::string_view format_string,
                                                const Args&... args) {
    FixedBufferWriter w(buf);
    TRY(format(w, format_string, args...));
    return w.written();
}

// Shortest round-trip scientific form: "1e0", "-2.5e-3", "inf", "nan".
[[nodiscard]] Result<void> writeFloat(Writer& writer, f64 value);
[[nodiscard]] Result<void> writeUnsigned(Writer& writer, u64 value, unsigned base);
[[nodiscard]] Result<void> writeSigned(Writer& writer, i64 value);

}  // namespace fmt
