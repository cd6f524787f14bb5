// The cuckoo filter's bucket count, up to capacities too large to allocate, which
// Python can only see fail.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "core/cuckoo.hpp"

namespace velt {
namespace {

TEST(CuckooFilter, BucketCountIsAPowerOfTwoWithFivePercentSpare) {
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    const std::pair<std::uint64_t, std::uint64_t> cases[] = {
        {1, 2},        // 1 bucket needed, 1.05 -> 2
        {8, 4},        // 2 needed, 2.1 -> 3 -> 4
        {1000, 512},   // 250 needed, 263.2 -> 264 -> 512
        {972, 256},    // 243 needed, 255.8 -> 256: exactly a power of two
        {976, 512},    // 244 needed, 256.8 -> 257 -> 512
        {std::uint64_t{1} << 40, std::uint64_t{1} << 39},
        // capacity + 3 saturates: 2^62 - 1 buckets needed, 4.85e18 -> 2^63.
        {max, std::uint64_t{1} << 63},
        {max - 3, std::uint64_t{1} << 63},
    };
    for (const auto& [capacity, buckets] : cases) EXPECT_EQ(CuckooFilter::bucket_count(capacity), buckets) << capacity;
}

}  // namespace
}  // namespace velt
