// Sizing of the Bloom family from an expected count and a rate: worked values.
#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <vector>

#include "core/bloom.hpp"
#include "core/counting_bloom.hpp"
#include "core/hash.hpp"

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

// The positions a filter computes through its FixedDivisor are those of the
// rule, ((h1 + i * h2) mod 2^64) mod m, for every shape of m: 1, powers of
// two, odd values near 2^64 and values above 2^63, where a remainder is
// most easily off by one multiple of m.
TEST(BloomFilter, PositionsWithoutDivisionFollowTheRule) {
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    std::mt19937_64 random(11);
    std::vector<std::uint64_t> moduli = {1, 2, 3, 64, 95851, 1ULL << 20, 1ULL << 63, (1ULL << 63) + 1,
                                         (1ULL << 63) + 12345, max - 2, max - 1, max};
    for (int i = 0; i < 40; ++i) moduli.push_back((random() >> (random() % 64)) | 1);
    for (int i = 0; i < 20; ++i) moduli.push_back((random() | (1ULL << 63)) - (random() % 2));
    for (const std::uint64_t m : moduli) {
        const FixedDivisor divisor(m);
        for (int trial = 0; trial < 300; ++trial) {
            // Some pairs near the wrap of 2^64, where v + h2 carries.
            const HashPair pair = trial % 3 == 0 ? HashPair{max - random() % 1000, max - random() % 1000}
                                                 : HashPair{random(), random()};
            const auto k = static_cast<std::uint32_t>(random() % 40);
            std::vector<std::uint64_t> positions;
            for_each_position(pair, k, divisor, [&](std::uint64_t p) {
                positions.push_back(p);
                return true;
            });
            ASSERT_EQ(positions.size(), k);
            for (std::uint32_t i = 0; i < k; ++i) {
                ASSERT_EQ(positions[i], (pair.h1 + i * pair.h2) % m) << "m " << m << " h1 " << pair.h1 << " h2 " << pair.h2;
            }
        }
    }
}

}  // namespace
}  // namespace velt
