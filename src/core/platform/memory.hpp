// Memory from the system: blocks aligned beyond what operator new promises,
// transparent huge pages, and the amount of memory the machine has.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace velt::platform {

// The size of a transparent huge page on x86-64 and on aarch64 with 4 KiB pages.
inline constexpr std::size_t huge_page_size = std::size_t{2} << 20;

// A block of `bytes` whose address is a multiple of `alignment` (a power of two,
// at least the size of a pointer), or nullptr when the system has no room.
// Released by free_aligned alone.
void* allocate_aligned(std::size_t bytes, std::size_t alignment) noexcept;
void free_aligned(void* block) noexcept;

// Advises transparent huge pages for the whole huge pages inside
// [start, start + bytes), for memory not yet touched that is to be filled at
// once. Only Linux has them; elsewhere this does nothing.
void advise_huge_pages(void* start, std::size_t bytes) noexcept;

// The most memory the system could ever give this process, in bytes: its memory
// and swap together (on Linux; Windows: the commit limit, which is memory and
// page file together; macOS: the physical memory, since its swap grows on
// demand). Nothing where the system does not say.
std::optional<std::uint64_t> total_memory() noexcept;

}  // namespace velt::platform
