// A result worked out on first use and kept, failure included: the
// debug-information reader parses each table once, and a table that failed
// to parse fails the same way on every later lookup without being read
// again. Trivially copyable, unlike this library's std::expected, so the
// reader's arena lists can hold it; Error{} (never an error) stands for
// success.
#pragma once
#include "support/error.hpp"

template <class T>
struct Lazy {
    T value{};
    Error error{};
    bool done = false;

    // The kept result, from init() on the first call.
    template <class F>
    Result<T> getOrInit(F&& init) {
        if (!done) [[unlikely]] {
            const Result<T> result = init();
            if (result)
                value = *result;
            else
                error = result.error();
            done = true;
        }
        if (error != Error{}) return std::unexpected(error);
        return value;
    }
    // Forgets the result: the next getOrInit works it out again.
    void reset() { *this = Lazy{}; }
};

template <>
struct Lazy<void> {
    Error error{};
    bool done = false;

    template <class F>
    Result<void> getOrInit(F&& init) {
        if (!done) [[unlikely]] {
            if (const Result<void> result = init(); !result) error = result.error();
            done = true;
        }
        if (error != Error{}) return std::unexpected(error);
        return {};
    }
    void reset() { *this = Lazy{}; }
};
