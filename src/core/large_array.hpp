// Storage for large arrays (bit arrays, counter tables, item batches).
//
// Memory here is backed lazily and first-touch page faults are expensive, so
// blocks of tuning::huge_page_threshold (4 MiB) and more are aligned to 2 MiB and advised to use transparent
// huge pages: touching 64 MiB then costs milliseconds instead of hundreds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <vector>

#include "core/platform/memory.hpp"
#include "core/tuning.hpp"

namespace velt {

template <class T>
struct LargeArrayAllocator {
    using value_type = T;

    LargeArrayAllocator() = default;
    template <class U>
    LargeArrayAllocator(const LargeArrayAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        constexpr std::size_t page = platform::huge_page_size;
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T) - page) throw std::bad_alloc();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < tuning::huge_page_threshold) return static_cast<T*>(::operator new(bytes));
        const std::size_t rounded = (bytes + page - 1) / page * page;
        void* block = platform::allocate_aligned(rounded, page);
        if (block == nullptr) throw std::bad_alloc();
        platform::advise_huge_pages(block, rounded);
        return static_cast<T*>(block);
    }

    void deallocate(T* block, std::size_t n) noexcept {
        if (n * sizeof(T) < tuning::huge_page_threshold) ::operator delete(block);
        else platform::free_aligned(block);
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
    const std::optional<std::uint64_t> memory = platform::total_memory();
    if (memory && bytes > *memory) throw std::bad_alloc();
}

}  // namespace velt
