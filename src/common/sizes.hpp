// Checked size arithmetic. Every count that sizes a buffer goes through these helpers, so a
// product or sum that does not fit the size type, or a byte count beyond the largest
// allocation (PTRDIFF_MAX), is refused with "capacity overflow" before anything is allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <source_location>

#include "common/fault.hpp"

namespace pwpoly {

inline constexpr const char* capacity_overflow = "capacity overflow";

inline std::size_t checked_add(std::size_t a, std::size_t b,
                               std::source_location where = std::source_location::current()) {
    std::size_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) fault(capacity_overflow, where);
    return sum;
}

inline std::size_t checked_mul(std::size_t a, std::size_t b,
                               std::source_location where = std::source_location::current()) {
    std::size_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) fault(capacity_overflow, where);
    return product;
}

// Faults unless `count` elements of T fit in one allocation; returns `count`.
template <class T>
std::size_t checked_count(std::size_t count, std::source_location where = std::source_location::current()) {
    if (count > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) fault(capacity_overflow, where);
    return count;
}

}  // namespace pwpoly
