// The counting Bloom filter fed hash pairs chosen by hand: positions that repeat
// within one item, which items and caller hashes reach only by chance.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <vector>

#include "core/counting_bloom.hpp"
#include "core/error.hpp"

namespace velt {
namespace {

// A filter of ten counters and k hashes holding the given non-zero counters.
CountingBloomFilter filter_with(std::uint32_t k, const std::map<std::uint64_t, std::uint8_t>& counters) {
    CountingBloomFilterData data;
    data.counters.resize(10);
    for (const auto& [position, value] : counters) data.counters[position] = value;
    data.num_counters = 10;
    data.num_hashes = k;
    data.count = 7;
    return CountingBloomFilter::from_record(std::move(data));
}

std::vector<std::uint8_t> counters_of(const CountingBloomFilter& filter) {
    return {filter.record().counters.begin(), filter.record().counters.end()};
}

// h1 = 0 and h2 = 5 over ten counters: positions 0, 5, 0, 5, ... so with k = 6
// each of counters 0 and 5 takes a run of three increments.
constexpr HashPair alternating{0, 5};

TEST(CountingBloomFilter, AddChecksEveryRunOfRepeatedPositionsBeforeChangingAnything) {
    struct Case {
        std::uint32_t k;
        HashPair pair;
        std::map<std::uint64_t, std::uint8_t> before;
        bool accepted;
        std::map<std::uint64_t, std::uint8_t> after;
    };
    const Case cases[] = {
        {6, alternating, {}, true, {{0, 3}, {5, 3}}},
        {6, alternating, {{0, 252}, {5, 252}}, true, {{0, 255}, {5, 255}}},
        // Counter 0 could take its run; counter 5 could not: neither changes.
        {6, alternating, {{0, 252}, {5, 253}}, false, {{0, 252}, {5, 253}}},
        {6, alternating, {{0, 253}, {5, 0}}, false, {{0, 253}}},
        // h2 = 0 puts all k positions on one counter.
        {255, {3, 0}, {}, true, {{3, 255}}},
        {256, {3, 0}, {}, false, {}},
        {7, {3, 0}, {{3, 249}}, false, {{3, 249}}},
        // Positions wrap modulo 2^64 before modulo m: h2 = 2^63 gives 3, 1, 3, 1.
        {4, {3, std::uint64_t{1} << 63}, {{3, 253}}, true, {{1, 2}, {3, 255}}},
    };
    for (const Case& c : cases) {
        CountingBloomFilter filter = filter_with(c.k, c.before);
        if (c.accepted) {
            filter.add_hash_pair(c.pair);
        } else {
            try {
                filter.add_hash_pair(c.pair);
                ADD_FAILURE() << "an add past 255 was accepted, k = " << c.k;
            } catch (const OverflowError& error) {
                EXPECT_STREQ(error.what(), "counter capacity exceeded; create a larger filter or clear it");
            }
        }
        EXPECT_EQ(counters_of(filter), counters_of(filter_with(c.k, c.after))) << c.k;
        EXPECT_EQ(filter.count(), c.accepted ? 8u : 7u) << c.k;
    }
}

}  // namespace
}  // namespace velt
