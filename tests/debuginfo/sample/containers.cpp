// The second unit of the oracle samples: the code a C++ program is mostly
// made of, standard strings, vectors and maps with their templates inlined
// at every optimisation level above -O0, lambdas, virtual calls, and a few
// functions that only some builds keep (unused ones for --gc-sections,
// identical ones for identical-code folding).
#include <algorithm>
#include <cstdio>
#include <map>
#include <numeric>
#include <string>
#include <vector>

namespace sample::containers {

struct Shape {
    virtual ~Shape() = default;
    [[nodiscard]] virtual double area() const = 0;
    [[nodiscard]] virtual std::string name() const = 0;
};

struct Square final : Shape {
    double side;
    explicit Square(double s) : side(s) {}
    [[nodiscard]] double area() const override { return side * side; }
    [[nodiscard]] std::string name() const override { return "square " + std::to_string(side); }
};

struct Circle final : Shape {
    double radius;
    explicit Circle(double r) : radius(r) {}
    [[nodiscard]] double area() const override { return 3.14159 * radius * radius; }
    [[nodiscard]] std::string name() const override { return "circle " + std::to_string(radius); }
};

[[gnu::noinline]] std::vector<std::string> splitWords(const std::string& text) {
    std::vector<std::string> words;
    std::string current;
    for (char c : text) {
        if (c == ' ') {
            if (!current.empty()) words.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) words.push_back(std::move(current));
    return words;
}

[[gnu::noinline]] std::map<std::string, int> countWords(const std::vector<std::string>& words) {
    std::map<std::string, int> counts;
    for (const auto& w : words) counts[w] += 1;
    return counts;
}

[[gnu::noinline]] std::string longestWord(const std::map<std::string, int>& counts) {
    std::string best;
    for (const auto& [word, n] : counts)
        if (word.size() > best.size() || (word.size() == best.size() && n > 1)) best = word;
    return best;
}

template <class T>
[[gnu::noinline]] T sumOf(const std::vector<T>& values) {
    return std::accumulate(values.begin(), values.end(), T{});
}

template <class T>
[[gnu::noinline]] std::vector<T> sortedCopy(std::vector<T> values) {
    std::sort(values.begin(), values.end(), [](const T& a, const T& b) { return b < a; });
    return values;
}

[[gnu::noinline]] std::map<int, std::vector<std::string>> byLength(const std::vector<std::string>& words) {
    std::map<int, std::vector<std::string>> groups;
    for (const auto& w : words) groups[static_cast<int>(w.size())].push_back(w);
    for (auto& [len, list] : groups) list = sortedCopy(list);
    return groups;
}

[[gnu::noinline]] std::string joinWords(const std::vector<std::string>& words, const std::string& separator) {
    std::string out;
    for (size_t i = 0; i < words.size(); ++i) {
        if (i != 0) out += separator;
        out += words[i];
    }
    return out;
}

[[gnu::noinline]] double totalArea(const std::vector<Shape*>& shapes) {
    double total = 0;
    for (const Shape* s : shapes) total += s->area();
    return total;
}

[[gnu::noinline]] std::string describe(const std::vector<Shape*>& shapes) {
    std::vector<std::string> names;
    names.reserve(shapes.size());
    for (const Shape* s : shapes) names.push_back(s->name());
    return joinWords(names, ", ");
}

[[gnu::noinline]] std::vector<int> primesBelow(int limit) {
    std::vector<bool> composite(static_cast<size_t>(limit > 0 ? limit : 0), false);
    std::vector<int> primes;
    for (int i = 2; i < limit; ++i) {
        if (composite[static_cast<size_t>(i)]) continue;
        primes.push_back(i);
        for (int j = i * 2; j < limit; j += i) composite[static_cast<size_t>(j)] = true;
    }
    return primes;
}

[[gnu::noinline]] std::map<std::string, double> histogram(const std::vector<int>& values, int buckets) {
    std::map<std::string, double> out;
    if (values.empty() || buckets <= 0) return out;
    const auto [lo, hi] = std::minmax_element(values.begin(), values.end());
    const int width = std::max(1, (*hi - *lo + buckets) / buckets);
    for (int v : values) {
        const int b = (v - *lo) / width;
        out["bucket " + std::to_string(b)] += 1.0 / static_cast<double>(values.size());
    }
    return out;
}

// Identical to sample::folded in the other unit: linkers that fold
// identical code keep one copy for both names.
[[gnu::noinline]] int foldedTwin(int x) { return x * 7 + 3; }

// Referenced by nothing: --gc-sections drops it, leaving DWARF that
// describes code at address 0.
int neverCalled(const std::string& s) { return static_cast<int>(s.size()) * 11; }
std::string neverCalledEither(int n) { return std::string(static_cast<size_t>(n), 'x'); }

}  // namespace sample::containers

int runContainers(int argc) {
    using namespace sample::containers;
    const std::string text = "the quick brown fox jumps over the lazy dog the end";
    const auto words = splitWords(text);
    const auto counts = countWords(words);
    const auto groups = byLength(words);
    Square square(argc + 1.0);
    Circle circle(argc * 0.5);
    std::vector<Shape*> shapes{&square, &circle};
    const auto primes = primesBelow(50 + argc);
    const auto hist = histogram(primes, 4);
    std::vector<double> areas{square.area(), circle.area()};
    std::printf("%s|%d|%s|%f|%s|%d|%zu|%zu|%f|%d\n", longestWord(counts).c_str(), counts.at("the"),
                joinWords(sortedCopy(words), "-").c_str(), totalArea(shapes), describe(shapes).c_str(), sumOf(primes),
                groups.size(), hist.size(), sumOf(areas), foldedTwin(argc));
    return static_cast<int>(words.size());
}
