// A small program whose only purpose is to be read: namespaces, classes,
// templates, inlined helpers, out-of-line members and a cold split path,
// built with and without compressed sections and stripped with a separate
// debug file, so the reader can be checked against an independent
// symbolizer. With XOV_SAMPLE_CONTAINERS it is the first unit of the
// oracle samples, beside containers.cpp.
#include <cstdio>
#include <cstdlib>

namespace sample {

namespace {

[[gnu::noinline]] int hidden(int x) { return x * 3 + 1; }

}  // namespace

struct Accumulator {
    long total = 0;

    [[gnu::noinline]] void add(long value);
    [[gnu::always_inline]] inline void addTwice(long value) {
        add(value);
        add(value + 1);
    }
    template <class T>
    [[gnu::noinline]] T scaled(T factor) const {
        return static_cast<T>(total) * factor;
    }
};

void Accumulator::add(long value) {
    if (value < 0) {
        std::fprintf(stderr, "negative %ld\n", value);
        std::abort();
    }
    total += value;
}

namespace deeper::still {

[[gnu::noinline]] long walk(Accumulator& acc, int rounds) {
    for (int i = 0; i < rounds; ++i) acc.addTwice(hidden(i));
    return acc.total;
}

}  // namespace deeper::still

#if defined(XOV_SAMPLE_CONTAINERS)
// Identical to containers::foldedTwin in the other unit.
[[gnu::noinline]] int folded(int x) { return x * 7 + 3; }
#endif

}  // namespace sample

#if defined(XOV_SAMPLE_CONTAINERS)
int runContainers(int argc);
#endif

int main(int argc, char**) {
    sample::Accumulator acc;
    const long walked = sample::deeper::still::walk(acc, argc + 3);
    const double scaled = acc.scaled<double>(0.5);
    const int ints = acc.scaled<int>(argc);
    std::printf("%ld %f %d\n", walked, scaled, ints);
#if defined(XOV_SAMPLE_CONTAINERS)
    std::printf("%d %d\n", runContainers(argc), sample::folded(argc));
#endif
    return 0;
}
