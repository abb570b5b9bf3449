// The ways out of an unrecoverable state that any code may take: panics,
// the safety checks' entry points with their fixed messages, and the
// assertion macros. The report behind them lives with the stack-trace
// printer (failure/panic.cpp), which every executable links.
#pragma once
#include <span>
#include <string_view>

#include "support/error.hpp"
#include "support/format.hpp"
#include "support/types.hpp"

namespace builtin {

// Prints "thread {tid} panic: {msg}", the error-return trace when given,
// the current stack from ret_addr (0: the caller of this function) and ends
// the process with SIGABRT. Never returns.
XOV_NOMERGE [[noreturn, gnu::noinline, gnu::cold]] void default_panic(std::string_view msg, const StackTrace* trace,
                                                         usize ret_addr);

XOV_NOMERGE [[noreturn, gnu::noinline, gnu::cold]] void panicOutOfBounds(usize index, usize len);
// The same, reporting from ret_addr (for checks whose entry point is not
// called from the failing function itself).
XOV_NOMERGE [[noreturn, gnu::noinline, gnu::cold]] void panicOutOfBoundsAt(usize index, usize len, usize ret_addr);
XOV_NOMERGE [[noreturn, gnu::noinline, gnu::cold]] void panicStartGreaterThanEnd(usize start, usize end);
XOV_NOMERGE [[noreturn, gnu::noinline, gnu::cold]] void panicSentinelMismatch(u64 expected, u64 found);
XOV_NOMERGE [[noreturn, gnu::noinline, gnu::cold]] void panicUnwrapError(const StackTrace* trace, Error error);
XOV_NOMERGE [[noreturn, gnu::noinline, gnu::cold]] void panicInactiveUnionField(std::string_view active,
                                                                   std::string_view accessed);

// The fixed safety-check messages.
namespace panic_messages {
inline constexpr std::string_view integer_overflow = "integer overflow";
inline constexpr std::string_view cast_truncated_data = "integer cast truncated bits";
inline constexpr std::string_view negative_to_unsigned = "attempt to cast negative value to unsigned integer";
inline constexpr std::string_view shift_rhs_too_big = "shift amount is greater than the type size";
inline constexpr std::string_view divide_by_zero = "division by zero";
inline constexpr std::string_view exact_division_remainder = "exact division produced remainder";
inline constexpr std::string_view unreach = "reached unreachable code";
inline constexpr std::string_view unwrap_null = "attempt to use null value";
inline constexpr std::string_view cast_to_null = "cast causes pointer to be null";
inline constexpr std::string_view incorrect_alignment = "incorrect alignment";
inline constexpr std::string_view invalid_error_code = "invalid error code";
inline constexpr std::string_view invalid_enum_value = "invalid enum value";
inline constexpr std::string_view corrupt_switch = "switch on corrupt value";
inline constexpr std::string_view memcpy_len_mismatch = "@memcpy arguments have non-equal lengths";
inline constexpr std::string_view memcpy_alias = "@memcpy arguments alias";
inline constexpr std::string_view for_len_mismatch = "for loop over objects with non-equal lengths";
}  // namespace panic_messages

// A failed internal assertion.
XOV_NOMERGE [[noreturn, gnu::noinline, gnu::cold]] void unreachable();

}  // namespace builtin

namespace debug {

// Message buffer of panicExtra; longer texts are cut and marked.
inline constexpr usize panic_message_capacity = 4096;

XOV_NOMERGE [[noreturn, gnu::noinline, gnu::cold]] void panicExtraArgs(const StackTrace* trace, usize ret_addr,
                                                          std::string_view format, std::span<const fmt::Arg> args);

// Formats the message into 4096 bytes ("(msg truncated)" appended when it
// does not fit), then builtin::default_panic.
template <class... Args>
XOV_NOMERGE [[noreturn, gnu::noinline, gnu::cold]] void panicExtra(const StackTrace* trace, usize ret_addr,
                                                      std::string_view format, const Args&... args) {
    const fmt::Arg packed[] = {fmt::Arg(args)..., fmt::Arg(false)};
    panicExtraArgs(trace, ret_addr, format, std::span<const fmt::Arg>(packed, sizeof...(Args)));
}

// panicExtra with no trace and this call's return address.
template <class... Args>
XOV_NOMERGE [[noreturn, gnu::noinline, gnu::cold]] void panic(std::string_view format, const Args&... args) {
    const fmt::Arg packed[] = {fmt::Arg(args)..., fmt::Arg(false)};
    panicExtraArgs(nullptr, reinterpret_cast<usize>(__builtin_return_address(0)), format,
                   std::span<const fmt::Arg>(packed, sizeof...(Args)));
}

}  // namespace debug

namespace posix {
// Ends the process by SIGABRT (then SIGKILL, then exit status 127 should
// the signal be caught or ignored).
[[noreturn]] void abort();
}  // namespace posix

// Internal assertion: panics "reached unreachable code" when false. The
// marks keep the panic call of each assertion apart from its neighbours'
// (support/error.hpp says how).
#define XOV_ASSERT(cond)                      \
    do {                                      \
        if (!(cond)) [[unlikely]] {           \
            XOV_SITE_MARK();                  \
            ::builtin::unreachable();         \
        }                                     \
    } while (0)

// Unwraps a Result where failure would be a bug ("attempt to unwrap error").
#define MUST(...)                                                                             \
    ({                                                                                        \
        auto&& must_result_ = (__VA_ARGS__);                                                  \
        if (!must_result_) [[unlikely]] {                                                     \
            XOV_SITE_MARK();                                                                  \
            ::builtin::panicUnwrapError(::builtin::errorReturnTrace(), must_result_.error()); \
        }                                                                                     \
        *std::move(must_result_);                                                             \
    })
