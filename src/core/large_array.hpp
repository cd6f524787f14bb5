// Storage for large arrays (bit arrays, counter tables, item batches).
//
// Memory here is backed lazily and first-touch page faults are expensive, so
// blocks of tuning::huge_page_threshold (4 MiB) and more are aligned to 2 MiB and advised to use transparent
// huge pages: touching 64 MiB then costs milliseconds instead of hundreds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <vector>

#include "core/tuning.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#include <sys/sysinfo.h>
#endif

namespace velt {

inline constexpr std::size_t huge_page_size = std::size_t{2} << 20;

// Advises transparent huge pages for the whole 2 MiB pages inside
// [start, start + bytes), for memory not yet touched that is to be filled at once.
inline void advise_huge_pages(void* start, std::size_t bytes) {
#if defined(MADV_HUGEPAGE)
    const auto first = reinterpret_cast<std::uintptr_t>(start);
    const std::uintptr_t begin = (first + huge_page_size - 1) / huge_page_size * huge_page_size;
    const std::uintptr_t end = (first + bytes) / huge_page_size * huge_page_size;
    if (begin < end) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    static_cast<void>(start);
    static_cast<void>(bytes);
#endif
}

template <class T>
struct LargeArrayAllocator {
    using value_type = T;

    LargeArrayAllocator() = default;
    template <class U>
    LargeArrayAllocator(const LargeArrayAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T) - huge_page_size) throw std::bad_alloc();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < tuning::huge_page_threshold) return static_cast<T*>(::operator new(bytes));
        const std::size_t rounded = (bytes + huge_page_size - 1) / huge_page_size * huge_page_size;
        void* block = std::aligned_alloc(huge_page_size, rounded);
        if (block == nullptr) throw std::bad_alloc();
        advise_huge_pages(block, rounded);
        return static_cast<T*>(block);
    }

    void deallocate(T* block, std::size_t n) noexcept {
        if (n * sizeof(T) < tuning::huge_page_threshold) ::operator delete(block);
        else std::free(block);
    }

    friend bool operator==(const LargeArrayAllocator&, const LargeArrayAllocator&) { return true; }
};

template <class T>
using LargeArray = std::vector<T, LargeArrayAllocator<T>>;

// Throws std::bad_alloc when a structure of `bytes` in total could never be
// held: more than the machine's memory and swap together. Linux's default
// overcommit rule refuses a single block that large, but a structure built
// from many blocks (the rows of a table) passes it block by block and is then
// killed part way through zeroing them; such structures check their total here.
inline void check_total_allocation(std::uint64_t bytes) {
#if defined(__linux__)
    struct sysinfo system {};
    if (::sysinfo(&system) != 0) return;
    const std::uint64_t unit = system.mem_unit == 0 ? 1 : system.mem_unit;
    const std::uint64_t memory_units = static_cast<std::uint64_t>(system.totalram) + system.totalswap;
    if (memory_units > std::numeric_limits<std::uint64_t>::max() / unit) return;
    if (bytes > memory_units * unit) throw std::bad_alloc();
#else
    static_cast<void>(bytes);
#endif
}

}  // namespace velt
