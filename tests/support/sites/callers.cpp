// Calls every probe function, each with values the compiler cannot see (a
// value it could see would let it drop the sites that value rules out).
#include "tests/support/sites/probe.hpp"

namespace {

int opaque(int v) {
    __asm__ volatile("" : "+r"(v));
    return v;
}

Result<int> maybe(int v) {
    if (v == 0) return std::unexpected(Error::Unexpected);
    return v;
}

}  // namespace

int main(int argc, char**) {
    usize addresses[8];
    StackTrace trace{0, addresses};
    int sum = 0;
    sum += probe::checks(&trace, opaque(argc)).has_value();
    sum += probe::propagation(opaque(argc)).has_value();
    probe::assertions(opaque(argc));
    sum += probe::unwraps(maybe(opaque(argc)), maybe(opaque(argc)));
    probe::frees(opaque(argc), static_cast<usize>(opaque(argc)));
    probe::panics(opaque(argc));
    sum += probe::indexes(opaque(argc), opaque(argc));
    return sum;
}
