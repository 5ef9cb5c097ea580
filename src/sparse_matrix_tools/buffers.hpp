// Growable arrays that a producer sizes once and then fills front to back.
#pragma once

#include <cstddef>
#include <vector>

namespace pwpoly::sparse_matrix_tools {

// Asks the system to back the whole pages inside [data, data + bytes) with huge pages where it
// can; only advice, nothing fails. A buffer written once front to back then costs one page
// fault per huge page instead of one per small page, which for large results is most of the
// time spent writing them.
void advise_huge_pages(void* data, std::size_t bytes) noexcept;

// Buffers smaller than this keep the ordinary pages: they are often reused from the heap
// already touched, and the advice is not worth its system call.
inline constexpr std::size_t huge_page_threshold = std::size_t{8} << 20;

// Reserves room for `count` elements of `v` (empty, to be filled with push_back), with the
// huge-page advice for large buffers. The caller has checked that `count` elements fit in one
// allocation.
template <class T>
void reserve_for_filling(std::vector<T>& v, std::size_t count) {
    v.reserve(count);
    if (count >= huge_page_threshold / sizeof(T)) advise_huge_pages(v.data(), count * sizeof(T));
}

}  // namespace pwpoly::sparse_matrix_tools
