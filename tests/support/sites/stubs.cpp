// Stand-ins for the runtime's recording and panic entry points, built
// without link-time optimisation: out-of-line calls, as the runtime's are.
#include <cstdlib>

#include "failure/panic.hpp"

namespace builtin {
void returnError(StackTrace* trace) { __asm__ volatile("" : : "r"(trace) : "memory"); }
void noteErrorReturn() { __asm__ volatile("" ::: "memory"); }
StackTrace* errorReturnTrace() { return nullptr; }
void setErrorReturnTrace(StackTrace*) {}
void default_panic(std::string_view, const StackTrace*, usize) { std::abort(); }
void unreachable() { std::abort(); }
void panicUnwrapError(const StackTrace*, Error) { std::abort(); }
}  // namespace builtin

namespace debug {
void panicExtraArgs(const StackTrace*, usize, std::string_view, std::span<const fmt::Arg>) { std::abort(); }
}  // namespace debug

extern "C" {
[[noreturn]] void __ubsan_handle_out_of_bounds_abort(void*, void*) { std::abort(); }
[[noreturn]] void __ubsan_handle_add_overflow_abort(void*, void*, void*) { std::abort(); }
[[noreturn]] void __ubsan_handle_sub_overflow_abort(void*, void*, void*) { std::abort(); }
[[noreturn]] void __ubsan_handle_mul_overflow_abort(void*, void*, void*) { std::abort(); }
[[noreturn]] void __ubsan_handle_negate_overflow_abort(void*, void*) { std::abort(); }
[[noreturn]] void __ubsan_handle_divrem_overflow_abort(void*, void*, void*) { std::abort(); }
[[noreturn]] void __ubsan_handle_shift_out_of_bounds_abort(void*, void*, void*) { std::abort(); }
[[noreturn]] void __ubsan_handle_builtin_unreachable(void*) { std::abort(); }
[[noreturn]] void __ubsan_handle_missing_return(void*) { std::abort(); }
}
