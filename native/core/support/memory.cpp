#include "memory.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#if defined(__linux__)
#include <unistd.h>
#endif

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace aerolume {

void prefer_huge_pages(void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t threshold = std::size_t{1} << 22;
    constexpr std::uintptr_t page = 4096;
    if (bytes < threshold) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + page - 1) & ~(page - 1);
    const std::uintptr_t last = (begin + bytes) & ~(page - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

void map_pages(void* data, std::size_t bytes) {
#if defined(__linux__)
    constexpr int populate_write = 23;  // MADV_POPULATE_WRITE, not in every libc's headers
    static const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const auto at = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t begin = (at + page - 1) / page * page, end = (at + bytes) / page * page;
    if (end > begin) (void)::madvise(reinterpret_cast<void*>(begin), end - begin, populate_write);
#else
    (void)data;
    (void)bytes;
#endif
}

bool already_mapped(const void* data, std::size_t bytes) {
#if defined(__linux__)
    static const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const auto at = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t begin = at / page * page, end = (at + bytes + page - 1) / page * page;
    if (end <= begin) return true;
    std::vector<unsigned char> flags((end - begin) / page);
    if (::mincore(reinterpret_cast<void*>(begin), end - begin, flags.data()) != 0) return false;
    return std::all_of(flags.begin(), flags.end(), [](unsigned char f) { return (f & 1) != 0; });
#else
    (void)data;
    (void)bytes;
    return false;
#endif
}

}  // namespace aerolume
