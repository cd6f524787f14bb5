// Sizing of the Bloom family from an expected count and a rate: worked values.
#include <gtest/gtest.h>

#include "core/bloom.hpp"
#include "core/counting_bloom.hpp"

namespace velt {
namespace {

TEST(BloomFilter, SizingWorkedValues) {
    struct Case {
        std::optional<std::uint64_t> expected_items;
        double rate;
        std::optional<std::uint64_t> num_bits;
        std::uint64_t m;
        std::uint32_t k;
    };
    const Case cases[] = {
        {10000, 0.01, {}, 95851, 7}, {1000, 0.01, {}, 9586, 7}, {100, 0.001, {}, 1438, 10},
        {1000, 0.1, {}, 4793, 3},    {1, 0.5, {}, 2, 1},        {{}, 0.01, 64, 64, 7},
        {{}, 0.01, 9, 9, 6},         {{}, 0.01, 5, 5, 3},       {{}, 0.01, 19, 19, 13},
        {1000, 0.01, 20000, 20000, 14},
    };
    for (const Case& c : cases) {
        const BloomFilter bloom = BloomFilter::create(c.expected_items, c.rate, c.num_bits, {}, 0);
        EXPECT_EQ(bloom.num_bits(), c.m);
        EXPECT_EQ(bloom.num_hashes(), c.k);
        const CountingBloomFilter counting = CountingBloomFilter::create(c.expected_items, c.rate, c.num_bits, {}, 0);
        EXPECT_EQ(counting.num_counters(), c.m);
        EXPECT_EQ(counting.num_hashes(), c.k);
    }
}

}  // namespace
}  // namespace velt
