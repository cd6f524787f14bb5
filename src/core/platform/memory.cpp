#include "core/platform/memory.hpp"

#include <limits>

#if defined(_WIN32)
#include "core/platform/windows_api.hpp"

#include <malloc.h>
#else
#include <stdlib.h>  // posix_memalign
#include <sys/mman.h>
#if defined(__linux__)
#include <sys/sysinfo.h>
#elif defined(__APPLE__)
#include <sys/sysctl.h>
#endif
#endif

namespace velt::platform {

// Windows has no transparent huge pages (its large pages need a privilege few
// processes hold), and the CRT already asks VirtualAlloc for large blocks, so
// the CRT's aligned heap serves blocks of every size.
#if defined(_WIN32)

void* allocate_aligned(std::size_t bytes, std::size_t alignment) noexcept { return ::_aligned_malloc(bytes, alignment); }

void free_aligned(void* block) noexcept { ::_aligned_free(block); }

#else

void* allocate_aligned(std::size_t bytes, std::size_t alignment) noexcept {
    void* block = nullptr;
    return ::posix_memalign(&block, alignment, bytes) == 0 ? block : nullptr;
}

void free_aligned(void* block) noexcept { ::free(block); }

#endif

void advise_huge_pages(void* start, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    const auto first = reinterpret_cast<std::uintptr_t>(start);
    const std::uintptr_t begin = (first + huge_page_size - 1) / huge_page_size * huge_page_size;
    const std::uintptr_t end = (first + bytes) / huge_page_size * huge_page_size;
    if (begin < end) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    static_cast<void>(start);
    static_cast<void>(bytes);
#endif
}

std::optional<std::uint64_t> total_memory() noexcept {
#if defined(__linux__)
    struct sysinfo system {};
    if (::sysinfo(&system) != 0) return std::nullopt;
    const std::uint64_t unit = system.mem_unit == 0 ? 1 : system.mem_unit;
    const std::uint64_t units = static_cast<std::uint64_t>(system.totalram) + system.totalswap;
    if (units > std::numeric_limits<std::uint64_t>::max() / unit) return std::nullopt;
    return units * unit;
#elif defined(_WIN32)
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!::GlobalMemoryStatusEx(&status)) return std::nullopt;
    return status.ullTotalPageFile;
#elif defined(__APPLE__)
    std::uint64_t bytes = 0;
    std::size_t size = sizeof bytes;
    if (::sysctlbyname("hw.memsize", &bytes, &size, nullptr, 0) != 0) return std::nullopt;
    return bytes;
#else
    return std::nullopt;
#endif
}

}  // namespace velt::platform
