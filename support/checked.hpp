// Safety checks that end in a panic with the checks' fixed messages:
// bounds-checked indexing and narrowing casts that must not lose bits.
// The check is one inline compare; the panic call is out of line and cold.
#pragma once
#include <concepts>
#include <limits>
#include <span>
#include <utility>

#include "support/panic.hpp"
#include "support/types.hpp"

namespace checked {

// items[index], or the panic "index out of bounds: index {d}, len {d}".
// always_inline keeps the panic's starting frame in the indexing function.
template <class T, usize N>
[[gnu::always_inline]] inline T& at(std::span<T, N> items, usize index) {
    if (index >= items.size()) [[unlikely]]
        builtin::panicOutOfBounds(index, items.size());
    return items[index];
}

template <class T, usize N>
[[gnu::always_inline]] inline T& at(T (&items)[N], usize index) {
    return at(std::span<T, N>(items), index);
}

// items[start, end), or the panic "start index {d} is larger than end
// index {d}" / the out-of-bounds panic for an end past the length.
template <class T, usize N>
[[gnu::always_inline]] inline std::span<T> slice(std::span<T, N> items, usize start, usize end) {
    if (start > end) [[unlikely]]
        builtin::panicStartGreaterThanEnd(start, end);
    if (end > items.size()) [[unlikely]]
        builtin::panicOutOfBounds(end, items.size());
    return std::span<T>(items).subspan(start, end - start);
}

// v as To, or the panic "attempt to cast negative value to unsigned
// integer" / "integer cast truncated bits" when the value does not fit.
template <std::integral To, std::integral From>
[[gnu::always_inline]] inline To intCast(From v) {
    if constexpr (std::is_signed_v<From> && !std::is_signed_v<To>) {
        if (v < 0) [[unlikely]]
            builtin::default_panic(builtin::panic_messages::negative_to_unsigned, nullptr, 0);
    }
    if (!std::in_range<To>(v)) [[unlikely]]
        builtin::default_panic(builtin::panic_messages::cast_truncated_data, nullptr, 0);
    return static_cast<To>(v);
}

// a + b, a - b, a * b, or the panic "integer overflow".
template <std::integral T>
[[gnu::always_inline]] inline T add(T a, T b) {
    T out;
    if (__builtin_add_overflow(a, b, &out)) [[unlikely]]
        builtin::default_panic(builtin::panic_messages::integer_overflow, nullptr, 0);
    return out;
}
template <std::integral T>
[[gnu::always_inline]] inline T sub(T a, T b) {
    T out;
    if (__builtin_sub_overflow(a, b, &out)) [[unlikely]]
        builtin::default_panic(builtin::panic_messages::integer_overflow, nullptr, 0);
    return out;
}
template <std::integral T>
[[gnu::always_inline]] inline T mul(T a, T b) {
    T out;
    if (__builtin_mul_overflow(a, b, &out)) [[unlikely]]
        builtin::default_panic(builtin::panic_messages::integer_overflow, nullptr, 0);
    return out;
}

// a / b, or the panic "division by zero" (and "integer overflow" for the
// one signed quotient that does not fit).
template <std::integral T>
[[gnu::always_inline]] inline T div(T a, T b) {
    if (b == 0) [[unlikely]]
        builtin::default_panic(builtin::panic_messages::divide_by_zero, nullptr, 0);
    if constexpr (std::is_signed_v<T>) {
        if (a == std::numeric_limits<T>::min() && b == -1) [[unlikely]]
            builtin::default_panic(builtin::panic_messages::integer_overflow, nullptr, 0);
    }
    return a / b;
}

}  // namespace checked
