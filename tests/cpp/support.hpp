// Helpers shared by the core tests.
#pragma once

#include <bit>
#include <cstdint>
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

}  // namespace pwpoly::testing_support
