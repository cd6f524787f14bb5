// Hashing: the pair, the caller-hash pair and the position rule. XXH3 itself is
// checked against an independent implementation in the Python suite.
#include <gtest/gtest.h>

#include <vector>

#include "core/hash.hpp"

namespace velt {
namespace {

TEST(Hash, PairSecondHashUsesSeedPlusGammaWrapping) {
    const std::uint64_t seeds[] = {0, 1, 0xFFFFFFFFFFFFFFFFULL, 0x8000000000000000ULL};
    for (std::uint64_t seed : seeds) {
        const HashPair pair = hash_pair("item", seed);
        EXPECT_EQ(pair.h1, hash_with_seed("item", seed));
        EXPECT_EQ(pair.h2, hash_with_seed("item", seed + golden_gamma));
    }
    // 2^64 - 1 + G wraps to G - 1.
    EXPECT_EQ(hash_pair("x", ~std::uint64_t{0}).h2, hash_with_seed("x", golden_gamma - 1));
}

TEST(Hash, EmptyInputDependsOnSeed) {
    EXPECT_NE(hash_with_seed("", 0), hash_with_seed("", 1));
}

TEST(Hash, SplitMixFinaliserIsZeroOnlyAtZero) {
    EXPECT_EQ(splitmix_finalise(0), 0u);
    for (std::uint64_t z = 1; z < 1000; ++z) EXPECT_NE(splitmix_finalise(z), 0u);
    // A known SplitMix64 output: the first value of the generator seeded with 0.
    EXPECT_EQ(splitmix_finalise(golden_gamma), 0xE220A8397B1DCDAFULL);
}

TEST(Hash, CallerPairReplacesZeroPreimageByGamma) {
    const std::uint64_t seed = 12345;
    // Choose x so that ((seed + G) ^ x) + G == 0.
    const std::uint64_t x = (seed + golden_gamma) ^ (0 - golden_gamma);
    const HashPair pair = caller_hash_pair(x, seed);
    EXPECT_EQ(pair.h2, golden_gamma);
    EXPECT_EQ(pair.h1, splitmix_finalise((seed ^ x) + golden_gamma));
    for (std::uint64_t other = 0; other < 1000; ++other) EXPECT_NE(caller_hash_pair(other, seed).h2, 0u);
}

TEST(Hash, PositionsWrapAndRepeat) {
    std::vector<std::uint64_t> positions;
    for_each_position({10, 0}, 4, 7, [&](std::uint64_t p) {
        positions.push_back(p);
        return true;
    });
    EXPECT_EQ(positions, (std::vector<std::uint64_t>{3, 3, 3, 3}));

    positions.clear();
    const std::uint64_t h1 = ~std::uint64_t{0} - 1;
    for_each_position({h1, 3}, 3, 1000, [&](std::uint64_t p) {
        positions.push_back(p);
        return true;
    });
    // h1, h1 + 3 (wraps to 1), h1 + 6 (wraps to 4), each mod 1000.
    EXPECT_EQ(positions, (std::vector<std::uint64_t>{h1 % 1000, 1, 4}));
}

TEST(Hash, PositionWalkStopsAtFirstRefusal) {
    int visited = 0;
    const bool all = for_each_position({1, 1}, 10, 100, [&](std::uint64_t p) {
        ++visited;
        return p < 3;
    });
    EXPECT_FALSE(all);
    EXPECT_EQ(visited, 3);
    EXPECT_TRUE(for_each_position({1, 1}, 0, 100, [](std::uint64_t) { return false; }));
}

}  // namespace
}  // namespace velt
