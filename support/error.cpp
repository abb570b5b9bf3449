// Error names and the error-return trace bookkeeping.
#include "support/error.hpp"


namespace {

constexpr std::string_view error_names[] = {
    "(no error)",
#define XOV_ERROR_NAME(name) #name,
    XOV_ERROR_LIST(XOV_ERROR_NAME)
#undef XOV_ERROR_NAME
};

thread_local StackTrace* current_trace = nullptr;

inline void record(StackTrace* trace, usize address) {
    if (trace == nullptr) return;
    if (trace->index < trace->instruction_addresses.size())
        trace->instruction_addresses[trace->index] = address;
    trace->index += 1;
}

}  // namespace

std::string_view errorName(Error error) {
    const auto number = static_cast<usize>(error);
    if (number == 0 || number >= std::size(error_names)) return "(invalid error)";
    return error_names[number];
}

namespace builtin {

void returnError(StackTrace* trace) {
    record(trace, reinterpret_cast<usize>(__builtin_extract_return_addr(__builtin_return_address(0))));
}

void noteErrorReturn() {
    record(current_trace, reinterpret_cast<usize>(__builtin_extract_return_addr(__builtin_return_address(0))));
}

StackTrace* errorReturnTrace() { return current_trace; }
void setErrorReturnTrace(StackTrace* trace) { current_trace = trace; }

}  // namespace builtin
