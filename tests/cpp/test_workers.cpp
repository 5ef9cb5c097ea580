// The kernels that split their work over the pool: the same bits for every worker count (also
// what ThreadSanitizer runs over, see tools/dev check tsan).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "piecewise_polynomials/mod.hpp"

namespace pp = pwpoly::piecewise_polynomials;

namespace {

template <class T>
bool same_bytes(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0;
}

std::vector<double> uniform(std::size_t n, double low, double high, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(low, high);
    std::vector<double> v(n);
    for (auto& x : v) x = u(rng);
    return v;
}

constexpr std::size_t many = 50'000;  // a few parts of 8192 times

// On both kinds of partition: each part looks its times up with a lookup of its own (the
// breakpoint partition's starts from the previous time and has a bucket index).
template <class P>
void expect_time_kernels_match(const P& partition, const std::vector<double>& times) {
    constexpr std::size_t degree = 3;
    const std::size_t size = (degree + 1) * partition.n_intervals();
    const std::vector<double> coefficients = uniform(3 * size, -1.0, 1.0, 2);
    const std::span<const double> one(coefficients.data(), size);
    const pp::IntervalWindow whole{0, partition.n_intervals()};
    auto run = [&](std::size_t workers) {
        std::vector<double> out(many), batch(3 * many), xi(many);
        std::vector<std::int64_t> k(many), indptr(many + 1), indices(4 * many);
        std::vector<double> data(4 * many);
        pp::evaluate_times(partition, degree, whole, one, times, true, out, workers);
        pp::evaluate_times(partition, degree, whole, coefficients, times, false, batch, workers);
        pp::locate_times(partition, times, k, xi, workers);
        pp::basis_matrix_arrays<P, std::int64_t>(partition, degree, times, false, indptr, indices, data, workers);
        return std::tuple{out, batch, xi, k, indptr, indices, data};
    };
    const auto serial = run(1);
    for (const std::size_t workers : {2u, 3u, 8u}) {
        const auto split = run(workers);
        EXPECT_TRUE(same_bytes(std::get<0>(split), std::get<0>(serial)));
        EXPECT_TRUE(same_bytes(std::get<1>(split), std::get<1>(serial)));
        EXPECT_TRUE(same_bytes(std::get<2>(split), std::get<2>(serial)));
        EXPECT_TRUE(same_bytes(std::get<3>(split), std::get<3>(serial)));
        EXPECT_TRUE(same_bytes(std::get<4>(split), std::get<4>(serial)));
        EXPECT_TRUE(same_bytes(std::get<5>(split), std::get<5>(serial)));
        EXPECT_TRUE(same_bytes(std::get<6>(split), std::get<6>(serial)));
    }
}

TEST(Workers, TimeKernelsGiveTheSameBits) {
    const std::vector<double> times = uniform(many, -0.1, 1.1, 1);
    expect_time_kernels_match(pp::UniformPartition(1.0, 700), times);
    // Graded breakpoints (squares), the times in ascending order on a part of them: the sorted path.
    std::vector<double> breakpoints(701);
    for (std::size_t k = 0; k <= 700; ++k) {
        const double x = static_cast<double>(k) / 700;
        breakpoints[k] = x * x;
    }
    std::vector<double> sorted = times;
    std::sort(sorted.begin() + many / 2, sorted.end());
    expect_time_kernels_match(pp::BreakpointPartition(breakpoints), sorted);
}

TEST(Workers, TheEarliestTimeOutsideTheWindowIsReported) {
    const pp::UniformPartition partition(1.0, 100);
    std::vector<double> times = uniform(many, 0.2, 0.6, 3);  // intervals 20 ... 59
    const std::vector<double> local = uniform(3 * 50, -1.0, 1.0, 4);  // window [15, 65)
    times[many - 5] = 0.9;
    times[30'000] = 0.01;
    std::vector<double> out(many);
    for (const std::size_t workers : {1u, 2u, 5u})
        EXPECT_EQ(pp::evaluate_times(partition, 2, {15, 50}, local, times, false, out, workers), 30'000u);
}

// Row blocks in parts: the whole arrays of the serial build, a first offset other than 0 included.
template <class Build, class Room>
void expect_parts_match(std::size_t first, std::size_t last, std::size_t nnz, Room room, Build build) {
    auto run = [&](std::size_t workers) {
        std::vector<std::int32_t> indptr(last - first + 1), indices(nnz);
        std::vector<double> data(nnz);
        indptr[0] = 7;
        const std::size_t stored = pp::build_rows_in_parts<std::int32_t>(
            first, last, std::span(indptr), std::span(indices), std::span(data), workers, room, build);
        indices.resize(stored);
        data.resize(stored);
        return std::tuple{indptr, indices, data};
    };
    const auto serial = run(1);
    for (const std::size_t workers : {2u, 3u, 7u}) {
        const auto split = run(workers);
        EXPECT_TRUE(same_bytes(std::get<0>(split), std::get<0>(serial))) << workers;
        EXPECT_TRUE(same_bytes(std::get<1>(split), std::get<1>(serial))) << workers;
        EXPECT_TRUE(same_bytes(std::get<2>(split), std::get<2>(serial))) << workers;
    }
}

TEST(Workers, RowBlocksInPartsAreTheSerialRows) {
    const std::size_t d = 3, n_t = 9000;
    const std::size_t mass_first = 5, mass_last = n_t * d - 2;
    expect_parts_match(
        mass_first, mass_last, pp::lagrange_mass_rows_nnz(d, n_t, mass_first, mass_last),
        [&](std::size_t a, std::size_t b) { return pp::lagrange_mass_rows_nnz(d, n_t, a, b); },
        [&](std::size_t a, std::size_t b, auto p, auto i, auto v) {
            pp::lagrange_mass_rows<pp::UniformPartition, std::int32_t>(d, pp::UniformPartition(2.0, n_t), a, b, p, i,
                                                                       v);
            return i.size();
        });
    expect_parts_match(
        3, (d + 1) * n_t, (d + 1) * ((d + 1) * n_t - 3),
        [&](std::size_t a, std::size_t b) { return (b - a) * (d + 1); },
        [&](std::size_t a, std::size_t b, auto p, auto i, auto v) {
            pp::lagrange_to_legendre_rows<std::int32_t>(d, n_t, a, b, p, i, v);
            return i.size();
        });
}

TEST(Workers, ProlongationPartsShortOfTheirRoomAreClosedUp) {
    // A fine node on the coarse node 0.5 (bit for bit) stores one entry, not two, in a part after
    // the first: the parts are closed up.
    const std::size_t n_fine = 24'000;
    std::vector<double> ends(n_fine + 1);
    for (std::size_t k = 0; k <= n_fine; ++k) ends[k] = static_cast<double>(k) / static_cast<double>(n_fine);
    const pp::UniformPartition coarse(1.0, 2);
    const pp::BreakpointPartition fine(ends);
    using U = pp::UniformPartition;
    using B = pp::BreakpointPartition;
    const std::size_t near = n_fine / 2;
    const std::size_t stored = pp::prolongation_rows<U, B, std::int32_t>(1, coarse, fine, near - 20, near + 20,
                                                  std::span(std::vector<std::int32_t>(41).data(), 41),
                                                  std::span(std::vector<std::int32_t>(80).data(), 80),
                                                  std::span(std::vector<double>(80).data(), 80));
    EXPECT_EQ(stored, 79u);
    expect_parts_match(
        near - 7000, near + 5000, pp::prolongation_rows_room(1, coarse, fine, near - 7000, near + 5000),
        [&](std::size_t a, std::size_t b) { return pp::prolongation_rows_room(1, coarse, fine, a, b); },
        [&](std::size_t a, std::size_t b, auto p, auto i, auto v) {
            return pp::prolongation_rows<U, B, std::int32_t>(1, coarse, fine, a, b, p, i, v);
        });
}

}  // namespace
