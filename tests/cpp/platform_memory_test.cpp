// The system's memory as the platform layer gives it: aligned blocks from each
// system's allocator, and the machine's total where the system tells it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>

#include "core/platform/memory.hpp"

namespace velt::platform {
namespace {

TEST(PlatformMemory, AlignedBlocksAreAlignedAndWritable) {
    for (const std::size_t alignment : {std::size_t{64}, std::size_t{4096}, huge_page_size}) {
        for (const std::size_t bytes : {std::size_t{1}, alignment, 3 * huge_page_size + 5}) {
            void* block = allocate_aligned(bytes, alignment);
            ASSERT_NE(block, nullptr) << bytes << " bytes aligned to " << alignment;
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % alignment, 0u) << bytes << " bytes";
            std::memset(block, 0xA5, bytes);
            advise_huge_pages(block, bytes);
            EXPECT_EQ(static_cast<unsigned char*>(block)[bytes - 1], 0xA5);
            free_aligned(block);
        }
    }
}

TEST(PlatformMemory, TheTotalIsKnownOnLinuxAndWindows) {
#if defined(__linux__) || defined(_WIN32)
    const std::optional<std::uint64_t> total = total_memory();
    ASSERT_TRUE(total.has_value());
    EXPECT_GT(*total, std::uint64_t{64} << 20);
#else
    GTEST_SKIP() << "this system's total is not read";
#endif
}

}  // namespace
}  // namespace velt::platform
