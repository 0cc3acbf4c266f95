// Checked size arithmetic: every element count and byte count that the engine and the binding
// compute goes through these, so that a product or sum that does not fit in size_t (32 bits on
// the ARM boards) fails cleanly before anything is allocated instead of wrapping to a small
// buffer that is then written as if it were large.
//
// The throwing forms throw SizeOverflow, a std::bad_alloc (the binding raises it as MemoryError
// with its message): a size that cannot be represented is a size that cannot be allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <optional>

namespace mirel::knn {

class SizeOverflow : public std::bad_alloc {
public:
    const char* what() const noexcept override { return "cannot allocate: size arithmetic overflows size_t"; }
};

[[noreturn]] inline void throw_size_overflow() { throw SizeOverflow(); }

// nullopt when the exact result does not fit in size_t.
inline std::optional<std::size_t> try_mul(std::size_t a, std::size_t b) noexcept {
    std::size_t r = 0;
    if (__builtin_mul_overflow(a, b, &r)) {
        return std::nullopt;
    }
    return r;
}

inline std::optional<std::size_t> try_add(std::size_t a, std::size_t b) noexcept {
    std::size_t r = 0;
    if (__builtin_add_overflow(a, b, &r)) {
        return std::nullopt;
    }
    return r;
}

// The exact product of the factors (0 when one of them is 0), or nullopt when it does not fit.
inline std::optional<std::size_t> try_product(std::initializer_list<std::size_t> factors) noexcept {
    for (const std::size_t f : factors) {
        if (f == 0) {
            return 0;
        }
    }
    std::size_t r = 1;
    for (const std::size_t f : factors) {
        if (__builtin_mul_overflow(r, f, &r)) {
            return std::nullopt;
        }
    }
    return r;
}

inline std::size_t checked_mul(std::size_t a, std::size_t b) {
    const std::optional<std::size_t> r = try_mul(a, b);
    if (!r) {
        throw_size_overflow();
    }
    return *r;
}

inline std::size_t checked_add(std::size_t a, std::size_t b) {
    const std::optional<std::size_t> r = try_add(a, b);
    if (!r) {
        throw_size_overflow();
    }
    return *r;
}

// a * b * c ...: fails exactly when the product does not fit.
inline std::size_t checked_product(std::initializer_list<std::size_t> factors) {
    const std::optional<std::size_t> r = try_product(factors);
    if (!r) {
        throw_size_overflow();
    }
    return *r;
}

// An element count of T that an array may hold: n * sizeof(T) bytes fit in ptrdiff_t (so that
// std::vector and pointer differences cope with it too). Returns n.
template <class T>
std::size_t checked_count(std::size_t n) {
    if (n > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) {
        throw_size_overflow();
    }
    return n;
}

// The bytes of n elements of T, checked as checked_count does.
template <class T>
std::size_t checked_bytes(std::size_t n) {
    return checked_count<T>(n) * sizeof(T);
}

}  // namespace mirel::knn
