// Many seeds at once: every instruction set's loops and the SeededHashes that
// chooses among them, against xxHash's own seeded XXH3.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "core/seeded_hashes.hpp"
#include "core/tuning.hpp"

namespace velt {
namespace {

std::string random_bytes(std::size_t length, std::mt19937_64& random) {
    std::string bytes(length, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    return bytes;
}

std::vector<std::uint64_t> seeded_xxh3_of(std::string_view item, std::span<const std::uint64_t> seeds) {
    std::vector<std::uint64_t> hashes;
    for (const std::uint64_t seed : seeds) hashes.push_back(XXH3_64bits_withSeed(item.data(), item.size(), seed));
    return hashes;
}

TEST(SeededHashes, VectorLoopsEqualSeededXxh3) {
    std::mt19937_64 random(11);
    // Seed counts that fill the last block of four, and leave one to three of it.
    for (const std::size_t count : {4u, 5u, 7u, 128u, 130u}) {
        std::vector<std::uint64_t> seeds(count);
        for (std::uint64_t& seed : seeds) seed = random();
        std::vector<seeded_xxh3::KeyBlock> table((count + seeded_xxh3::lanes - 1) / seeded_xxh3::lanes);
        seeded_xxh3::fill_rows(seeds, 0, seeded_xxh3::row_count, table);
        for (std::size_t length = 0; length <= 240; ++length) {
            const std::string item = random_bytes(length, random);
            // Slots that already hold values, about half of them below the item's hashes.
            std::vector<std::uint64_t> lowest(count);
            for (std::uint64_t& slot : lowest) slot = random();
            const std::vector<std::uint64_t> before = lowest;
            if (!seeded_xxh3::lower_in_lanes(item, table, lowest)) {
                EXPECT_EQ(lowest, before) << "length " << length;
                continue;
            }
            std::vector<std::uint64_t> expected = seeded_xxh3_of(item, seeds);
            for (std::size_t i = 0; i < count; ++i) expected[i] = std::min(expected[i], before[i]);
            ASSERT_EQ(lowest, expected) << "length " << length << ", seeds " << count;
        }
    }
}

TEST(SeededHashes, EveryLengthEqualsSeededXxh3WithATableOrWithout) {
    std::mt19937_64 random(3);
    for (const std::uint64_t first_seed : {std::uint64_t{0}, ~std::uint64_t{0} - 5, random()}) {
        SeededHashes hashes(9, first_seed);
        // Lengths in a random order, so that the key table is not filled by growing length.
        std::vector<std::size_t> lengths(301);
        for (std::size_t i = 0; i < lengths.size(); ++i) lengths[i] = i;
        std::shuffle(lengths.begin(), lengths.end(), random);
        for (const std::size_t length : lengths) {
            const std::string item = random_bytes(length, random);
            const std::vector<std::uint64_t> expected = seeded_xxh3_of(item, hashes.seeds());
            std::vector<std::uint64_t> from_table(9, ~std::uint64_t{0});
            hashes.lower(item, from_table);
            ASSERT_EQ(from_table, expected) << "length " << length;
            std::vector<std::uint64_t> once(9, ~std::uint64_t{0});
            SeededHashes::lower_once(item, first_seed, once);
            ASSERT_EQ(once, expected) << "length " << length;
        }
    }
}

TEST(SeededHashes, MoreSlotsThanATableIsKeptForEqualSeededXxh3) {
    std::mt19937_64 random(17);
    const std::size_t slots = tuning::seeded_key_table_slots + 3;
    SeededHashes hashes(slots, random());
    for (const std::size_t length : {0u, 3u, 8u, 16u, 32u, 64u, 96u, 128u, 240u, 241u}) {
        const std::string item = random_bytes(length, random);
        std::vector<std::uint64_t> lowest(slots, ~std::uint64_t{0});
        hashes.lower(item, lowest);
        ASSERT_EQ(lowest, seeded_xxh3_of(item, hashes.seeds())) << "length " << length;
    }
}

}  // namespace
}  // namespace velt
