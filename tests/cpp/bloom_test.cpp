// The Bloom filter core: sizing, record validation and set operations.
#include <gtest/gtest.h>

#include <cmath>

#include "core/bloom.hpp"
#include "core/error.hpp"

namespace velt {
namespace {

struct SizingCase {
    std::optional<std::uint64_t> expected_items;
    double rate;
    std::optional<std::uint64_t> num_bits;
    std::uint64_t m;
    std::uint32_t k;
};

TEST(BloomFilter, SizingWorkedValues) {
    const SizingCase cases[] = {
        {10000, 0.01, {}, 95851, 7}, {1000, 0.01, {}, 9586, 7}, {100, 0.001, {}, 1438, 10},
        {1, 0.5, {}, 2, 1},          {{}, 0.01, 64, 64, 7},     {{}, 0.01, 9, 9, 6},
        {1000, 0.01, 20000, 20000, 14},
    };
    for (const SizingCase& c : cases) {
        const BloomFilter f = BloomFilter::create(c.expected_items, c.rate, c.num_bits, {}, 0);
        EXPECT_EQ(f.num_bits(), c.m);
        EXPECT_EQ(f.num_hashes(), c.k);
        EXPECT_EQ(f.record().bits.size(), (c.m + 63) / 64);
    }
}

TEST(BloomFilter, ZeroExpectedItemsIsRefusedEvenWithNumBits) {
    EXPECT_THROW(BloomFilter::create(0, 0.01, 1000, {}, 0), ValueError);
    EXPECT_EQ(BloomFilter::create(0, 0.01, 1000, 3, 0).num_hashes(), 3u);
}

TEST(BloomFilter, UnallocatableSizeThrowsInsteadOfCrashing) {
    EXPECT_ANY_THROW(BloomFilter::create({}, 0.01, std::uint64_t{1} << 63, 1, 0));
    EXPECT_ANY_THROW(BloomFilter::create({}, 0.01, ~std::uint64_t{0}, 1, 0));
}

TEST(BloomFilter, FromRecordValidatesInOrder) {
    auto record_with = [](std::uint64_t num_bits, std::uint32_t k, std::vector<std::uint64_t> words) {
        BloomFilterData data;
        data.bits.assign(words.begin(), words.end());
        data.num_bits = num_bits;
        data.num_hashes = k;
        return data;
    };
    const std::pair<BloomFilterData, std::string> cases[] = {
        {record_with(0, 0, {}), "num_bits must be positive"},
        {record_with(64, 0, {0}), "num_hashes must be positive"},
        {record_with(64, 1, {}), "bit array length does not match num_bits"},
        {record_with(65, 1, {0, 2}), "padding bits must be zero"},
    };
    for (const auto& [record, message] : cases) {
        try {
            BloomFilter::from_record(record);
            ADD_FAILURE() << "accepted: " << message;
        } catch (const ValueError& error) {
            EXPECT_EQ(error.what(), message);
        }
    }
    EXPECT_NO_THROW(BloomFilter::from_record(record_with(65, 1, {0, 1})));
}

TEST(BloomFilter, MergeIsUnionAndIntersectionKeepsCommonBits) {
    BloomFilter a = BloomFilter::create(1000, 0.01, {}, {}, 3);
    BloomFilter b = BloomFilter::create(1000, 0.01, {}, {}, 3);
    a.add("left");
    b.add("right");
    b.add("both");
    a.add("both");
    const BloomFilter common = a.intersection(b);
    EXPECT_TRUE(common.contains("both"));
    EXPECT_EQ(common.count(), 0u);
    a.merge(b);
    EXPECT_TRUE(a.contains("left") && a.contains("right"));
    EXPECT_EQ(a.count(), 4u);

    BloomFilter other_seed = BloomFilter::create(1000, 0.01, {}, {}, 4);
    EXPECT_THROW(a.merge(other_seed), ValueError);
    EXPECT_THROW(static_cast<void>(a.intersection(other_seed)), ValueError);
}

TEST(BloomFilter, StatisticsOfEmptyAndFullFilters) {
    BloomFilter f = BloomFilter::create({}, 0.01, 1, 1, 0);
    EXPECT_TRUE(std::signbit(f.estimate_count()));
    EXPECT_EQ(f.estimate_count(), 0.0);
    f.add("x");
    EXPECT_EQ(f.fill_ratio(), 1.0);
    EXPECT_TRUE(std::isinf(f.estimate_count()));
    EXPECT_EQ(f.health(), "saturated");
    EXPECT_EQ(f.repr(), "BloomFilter(num_bits=1, num_hashes=1, count=1, fpr=1.0000)");
}

}  // namespace
}  // namespace velt
