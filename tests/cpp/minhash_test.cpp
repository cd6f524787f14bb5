// The MinHash core: construction, record validation, estimates and merging.
#include <gtest/gtest.h>

#include <cmath>
#include <new>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/minhash.hpp"

namespace velt {
namespace {

constexpr std::uint64_t empty = MinHash::empty_slot;

MinHashData record_with(std::uint8_t version, std::uint64_t num_hashes, std::vector<std::uint64_t> slots,
                        std::uint64_t seed = 0) {
    MinHashData data;
    data.version = version;
    data.signature.assign(slots.begin(), slots.end());
    data.num_hashes = num_hashes;
    data.seed = seed;
    return data;
}

std::string value_error_of(auto&& action) {
    try {
        action();
    } catch (const ValueError& error) {
        return error.what();
    }
    return "no error";
}

TEST(MinHash, NewSignatureIsEmpty) {
    const MinHash m = MinHash::create(128, 0);
    EXPECT_TRUE(m.is_empty());
    EXPECT_EQ(m.signature().size(), 128u);
    for (std::uint64_t slot : m.signature()) EXPECT_EQ(slot, empty);
    EXPECT_EQ(m.size_in_bytes(), 1024u);
    EXPECT_EQ(m.record().version, 2);
    EXPECT_EQ(m.repr(), "MinHash(num_hashes=128, is_empty=true)");
    EXPECT_DOUBLE_EQ(m.standard_error(), 1.0 / std::sqrt(128.0));
}

TEST(MinHash, UnallocatableSizesThrowInsteadOfCrashing) {
    for (std::uint64_t num_hashes : {std::uint64_t{1} << 50, std::uint64_t{1} << 62, ~std::uint64_t{0}}) {
        EXPECT_THROW(MinHash::create(num_hashes, 0), std::bad_alloc) << num_hashes;
    }
}

TEST(MinHash, FromRecordValidatesInOrder) {
    const std::pair<MinHashData, std::string> cases[] = {
        {record_with(1, 2, {empty, empty}), "Unsupported MinHash data version"},
        {record_with(3, 2, {empty, empty}), "Unsupported MinHash data version"},
        {record_with(0, 0, {}), "Unsupported MinHash data version"},
        {record_with(2, 0, {}), "num_hashes must be positive"},
        {record_with(2, 0, {5}), "num_hashes must be positive"},
        {record_with(2, 4, {1, 2, 3}), "signature length does not match num_hashes"},
        {record_with(2, 1, {1, 2}), "signature length does not match num_hashes"},
    };
    for (const auto& [record, message] : cases) {
        EXPECT_EQ(value_error_of([&] { MinHash::from_record(record); }), message);
    }
    // Slot values are not checked: any 64-bit value is a possible minimum.
    const MinHash loaded = MinHash::from_record(record_with(2, 3, {0, 7, empty}, 9));
    EXPECT_FALSE(loaded.is_empty());
    EXPECT_EQ(loaded.seed(), 9u);
}

TEST(MinHash, SlotSeedsWrapAroundModuloTwoToThe64) {
    // With seed 2^64 - 1, slot 1 hashes with G - 1: the same hash function as
    // slot 0 of a signature whose seed is G - 1.
    MinHash wrapping = MinHash::create(2, ~std::uint64_t{0});
    MinHash shifted = MinHash::create(1, golden_gamma - 1);
    wrapping.add("x");
    shifted.add("x");
    EXPECT_EQ(wrapping.signature()[1], shifted.signature()[0]);
    EXPECT_EQ(wrapping.signature()[0], hash_with_seed("x", ~std::uint64_t{0}));
}

TEST(MinHash, JaccardCountsEqualSlots) {
    const MinHash a = MinHash::from_record(record_with(2, 4, {1, 2, 3, empty}));
    const MinHash b = MinHash::from_record(record_with(2, 4, {1, 9, 3, empty}));
    EXPECT_EQ(a.jaccard(b), 0.75);
    EXPECT_EQ(b.jaccard(a), 0.75);
    // Empty slots count like any other value.
    EXPECT_EQ(MinHash::create(8, 0).jaccard(MinHash::create(8, 0)), 1.0);
}

TEST(MinHash, IntervalUsesTheNormalQuantileOfTheLevel) {
    // Half of 4 slots equal: J = 0.5, sqrt(J (1 - J) / 4) = 0.25.
    const MinHash a = MinHash::from_record(record_with(2, 4, {1, 2, 3, 4}));
    const MinHash b = MinHash::from_record(record_with(2, 4, {1, 2, 0, 0}));
    const std::pair<double, double> levels[] = {{0.80, 1.281552}, {0.90, 1.644854}, {0.95, 1.959964}, {0.99, 2.575829}};
    for (const auto& [level, z] : levels) {
        const Interval interval = a.jaccard_interval(b, level);
        EXPECT_DOUBLE_EQ(interval.low, std::max(0.5 - 0.25 * z, 0.0)) << level;
        EXPECT_DOUBLE_EQ(interval.high, std::min(0.5 + 0.25 * z, 1.0)) << level;
    }
    const Interval near_level = a.jaccard_interval(b, std::nextafter(0.95, 1.0));
    EXPECT_DOUBLE_EQ(near_level.low, 0.5 - 0.25 * 1.959964);
    for (double unsupported : {0.5, 0.951, 0.0, 1.0, std::nan("")}) {
        EXPECT_EQ(value_error_of([&] { a.jaccard_interval(b, unsupported); }),
                  "confidence must be one of 0.80, 0.90, 0.95, or 0.99")
            << unsupported;
    }
    // Identical signatures: no spread.
    const Interval same = a.jaccard_interval(a, 0.99);
    EXPECT_EQ(same.low, 1.0);
    EXPECT_EQ(same.high, 1.0);
}

TEST(MinHash, MergeIsTheSignatureOfTheUnion) {
    MinHash left = MinHash::create(64, 11);
    MinHash right = MinHash::create(64, 11);
    MinHash both = MinHash::create(64, 11);
    for (std::string_view item : {"a", "b", "c"}) left.add(item), both.add(item);
    for (std::string_view item : {"c", "d"}) right.add(item), both.add(item);
    left.merge(right);
    EXPECT_EQ(left.jaccard(both), 1.0);
    EXPECT_EQ(std::vector<std::uint64_t>(left.signature().begin(), left.signature().end()),
              std::vector<std::uint64_t>(both.signature().begin(), both.signature().end()));
}

}  // namespace
}  // namespace velt
