// A benchmark instrument: the least work an evaluation of times can do (see division_floor.cpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>

namespace pwpoly::numpy_kernels {

// out[j] = times[j] divided `divisions` times in a row by a constant.
void division_floor(std::size_t divisions, std::span<const double> times, std::span<double> out);

}  // namespace pwpoly::numpy_kernels
