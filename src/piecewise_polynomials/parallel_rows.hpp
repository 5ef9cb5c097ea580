// Row blocks (row_blocks.hpp) built by several workers: the rows [first, last) cut into parts
// of consecutive rows (a few per worker, threads::part_count), each part built by the same block code as a block of its own,
// so every entry has the bits of the serial build.
//
// A part's entries go where the parts before it end when each stores its room. Its first row
// offset is the previous part's last one: a part builds its first row through two offsets of its
// own (that start, then its end), then the rest chained on that end, so that no two workers write
// or read the same offset. A part that stored fewer entries than its room (a prolongation row
// within the coincidence tolerance of a node) is closed up afterwards, on the caller's thread.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "common/thread_pool.hpp"

namespace pwpoly::piecewise_polynomials {

// Rows per part at least: fewer are not worth a thread.
inline constexpr std::size_t part_rows = 4096;

// room(a, b): the entries the rows [a, b) may store, additive over consecutive ranges.
// build(a, b, indptr, indices, data): the row block [a, b) as row_blocks.hpp, returning the
// entries it stored. Returns the entries of [first, last).
template <class Index, class Room, class Build>
std::size_t build_rows_in_parts(std::size_t first, std::size_t last, std::span<Index> indptr,
                                std::span<Index> indices, std::span<double> data, std::size_t workers, Room&& room,
                                Build&& build) {
    const std::size_t count = last >= first ? last - first : 0;
    const std::size_t parts = threads::part_count(count, workers, part_rows);
    // One part, or arrays the block code refuses (it says why): the serial build.
    if (parts <= 1 || indptr.size() != count + 1 || indptr[0] < 0) return build(first, last, indptr, indices, data);
    const std::size_t total = room(first, last);
    const auto base = static_cast<std::size_t>(indptr[0]);
    constexpr auto index_max = static_cast<std::size_t>(std::numeric_limits<Index>::max());
    if (indices.size() < total || data.size() < total || base > index_max || total > index_max - base)
        return build(first, last, indptr, indices, data);

    std::vector<std::size_t> start(parts + 1), entry(parts + 1), stored(parts);
    for (std::size_t p = 0; p <= parts; ++p) {
        start[p] = first + threads::part_start(p, parts, count, 1);
        entry[p] = room(first, start[p]);
    }
    auto part = [&](std::size_t p, std::size_t) {
        const std::size_t a = start[p];
        const std::size_t b = start[p + 1];
        const std::size_t row = a - first;
        auto entries = [&](std::size_t at, std::size_t size) {
            return std::pair{indices.subspan(at, size), data.subspan(at, size)};
        };
        if (p == 0) {
            const auto [i, d] = entries(0, entry[1]);
            stored[0] = build(a, b, indptr.subspan(0, b - a + 1), i, d);
            return;
        }
        std::array<Index, 2> own{static_cast<Index>(base + entry[p]), 0};
        const auto [i1, d1] = entries(entry[p], room(a, a + 1));
        const std::size_t head = build(a, a + 1, std::span<Index>(own), i1, d1);
        indptr[row + 1] = own[1];
        std::size_t tail = 0;
        if (b > a + 1) {
            const auto [i2, d2] = entries(entry[p] + head, room(a + 1, b));
            tail = build(a + 1, b, indptr.subspan(row + 1, b - a), i2, d2);
        }
        stored[p] = head + tail;
    };
    threads::parallel_for(parts, workers, 1, 1, part);

    std::size_t at = stored[0];  // where the next part's entries belong
    for (std::size_t p = 1; p < parts; ++p) {
        const std::size_t shift = entry[p] - at;
        if (shift > 0) {
            std::memmove(indices.data() + at, indices.data() + entry[p], stored[p] * sizeof(Index));
            std::memmove(data.data() + at, data.data() + entry[p], stored[p] * sizeof(double));
            for (std::size_t r = start[p] - first + 1; r <= start[p + 1] - first; ++r)
                indptr[r] = static_cast<Index>(static_cast<std::size_t>(indptr[r]) - shift);
        }
        at += stored[p];
    }
    return at;
}

}  // namespace pwpoly::piecewise_polynomials
