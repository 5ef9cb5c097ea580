#include "sparse_matrix_tools/buffers.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace pwpoly::sparse_matrix_tools {

void advise_huge_pages([[maybe_unused]] void* data, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t huge_page = std::uintptr_t{1} << 21;
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (start + (huge_page - 1)) & ~(huge_page - 1);
    const std::uintptr_t last = (start + bytes) & ~(huge_page - 1);
    if (last > first) ::madvise(static_cast<char*>(data) + (first - start), last - first, MADV_HUGEPAGE);
#endif
}

}  // namespace pwpoly::sparse_matrix_tools
