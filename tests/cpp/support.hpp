// Helpers shared by the core tests.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

#include "common/fault.hpp"

namespace pwpoly::testing_support {

// The message of the InternalFault that `f` throws, or "<no fault>".
template <class F>
std::string fault_message(F&& f) {
    try {
        f();
    } catch (const InternalFault& fault) {
        return fault.message();
    }
    return "<no fault>";
}

// The IEEE 754 bit pattern of a double, to compare results exactly.
inline std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// A random integer in [0, n), n >= 1, of the size type on any platform.
inline std::size_t random_below(std::mt19937_64& rng, std::size_t n) {
    return static_cast<std::size_t>(rng() % static_cast<std::uint64_t>(n));
}

}  // namespace pwpoly::testing_support
