// Hashing: the item pair, the caller-hash pair and the position walk. XXH3 itself
// is checked against the xxhash package in the Python suite.
#include <gtest/gtest.h>

#include <vector>

#include "core/hash.hpp"

namespace velt {
namespace {

TEST(Hash, PairSecondHashUsesSeedPlusGammaWrapping) {
    for (std::uint64_t seed : {std::uint64_t{0}, std::uint64_t{1}, ~std::uint64_t{0}, std::uint64_t{1} << 63}) {
        const HashPair pair = hash_pair("item", seed);
        EXPECT_EQ(pair.h1, hash_with_seed("item", seed));
        EXPECT_EQ(pair.h2, hash_with_seed("item", seed + golden_gamma));
    }
    // 2^64 - 1 + G wraps to G - 1.
    EXPECT_EQ(hash_pair("x", ~std::uint64_t{0}).h2, hash_with_seed("x", golden_gamma - 1));
}

TEST(Hash, CallerPairReplacesZeroPreimageByGamma) {
    // The first SplitMix64 output of a generator seeded with 0, and 0 kept as 0.
    EXPECT_EQ(splitmix_finalise(golden_gamma), 0xE220A8397B1DCDAFULL);
    EXPECT_EQ(splitmix_finalise(0), 0u);
    const std::uint64_t seed = 12345;
    const std::uint64_t x = (seed + golden_gamma) ^ (0 - golden_gamma);  // ((seed + G) ^ x) + G == 0
    const HashPair pair = caller_hash_pair(x, seed);
    EXPECT_EQ(pair.h2, golden_gamma);
    EXPECT_EQ(pair.h1, splitmix_finalise((seed ^ x) + golden_gamma));
    for (std::uint64_t other = 0; other < 1000; ++other) EXPECT_NE(caller_hash_pair(other, seed).h2, 0u);
}

TEST(Hash, PositionsWrapModuloTwoToThe64BeforeTheModulus) {
    std::vector<std::uint64_t> positions;
    const std::uint64_t h1 = ~std::uint64_t{0} - 1;
    for_each_position({h1, 3}, 3, 1000, [&](std::uint64_t p) {
        positions.push_back(p);
        return p != 1;  // the walk stops at the first refusal
    });
    EXPECT_EQ(positions, (std::vector<std::uint64_t>{h1 % 1000, 1}));
}

}  // namespace
}  // namespace velt
