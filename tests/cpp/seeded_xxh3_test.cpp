// The loops that hash one item under many seeds, against xxHash's own seeded
// XXH3 at every length they serve. Built twice: with the compiler's 128-bit
// multiply and with the portable one.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/seeded_hashes.hpp"

namespace velt {
namespace {

// Seeds whose halves carry and borrow when the secret's words are added and
// subtracted, and random ones.
std::vector<std::uint64_t> test_seeds() {
    std::vector<std::uint64_t> seeds = {0, 1, ~std::uint64_t{0}, std::uint64_t{1} << 63, 0xFFFF'FFFF, golden_gamma};
    std::mt19937_64 random(2024);
    while (seeds.size() < 37) seeds.push_back(random());
    return seeds;
}

// The key table of `seeds`, every row filled.
std::vector<seeded_xxh3::KeyBlock> key_table(const std::vector<std::uint64_t>& seeds) {
    std::vector<seeded_xxh3::KeyBlock> table((seeds.size() + seeded_xxh3::lanes - 1) / seeded_xxh3::lanes);
    seeded_xxh3::fill_rows(seeds, 0, seeded_xxh3::row_count, table);
    return table;
}

std::string random_bytes(std::size_t length, std::mt19937_64& random) {
    std::string bytes(length, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    return bytes;
}

TEST(SeededXxh3, EveryLengthUpTo240EqualsSeededXxh3) {
    const std::vector<std::uint64_t> seeds = test_seeds();
    const auto table = key_table(seeds);
    std::mt19937_64 random(5);
    for (std::size_t length = 0; length <= 240; ++length) {
        // The item sits at an odd offset, so that its words are read unaligned.
        const std::string buffer = random_bytes(length + 1, random);
        const std::string_view item = std::string_view(buffer).substr(1);
        std::vector<std::uint64_t> lowest(seeds.size(), ~std::uint64_t{0});
        seeded_xxh3::lower_up_to_240(item, seeded_xxh3::KeyTable{table}, lowest);
        for (std::size_t i = 0; i < seeds.size(); ++i) {
            ASSERT_EQ(lowest[i], XXH3_64bits_withSeed(item.data(), item.size(), seeds[i]))
                << "length " << length << ", seed " << seeds[i];
        }
    }
}

TEST(SeededXxh3, KeepsTheSmallerValue) {
    const std::vector<std::uint64_t> seeds = test_seeds();
    const auto table = key_table(seeds);
    std::mt19937_64 random(9);
    for (const std::size_t length : {0u, 2u, 7u, 12u, 20u, 40u, 80u, 110u, 200u}) {
        const std::string item = random_bytes(length, random);
        std::vector<std::uint64_t> start(seeds.size());
        // Half the slots start at 0 (below every hash), half at a random value.
        for (std::size_t i = 0; i < start.size(); ++i) start[i] = i % 2 == 0 ? 0 : random();
        std::vector<std::uint64_t> lowest = start;
        seeded_xxh3::lower_up_to_240(item, seeded_xxh3::KeyTable{table}, lowest);
        for (std::size_t i = 0; i < seeds.size(); ++i) {
            EXPECT_EQ(lowest[i], std::min(start[i], XXH3_64bits_withSeed(item.data(), item.size(), seeds[i])))
                << "length " << length;
        }
    }
}

}  // namespace
}  // namespace velt
