// The scalable Bloom filter core: what the Python suite cannot observe.
#include <gtest/gtest.h>

#include <new>
#include <string>

#include "core/persistence.hpp"
#include "core/scalable_bloom.hpp"

namespace velt {
namespace {

// The payload reader reserves at most 1 MiB of elements ahead of a claimed
// count; the stored format promises room for at most 16384 slices.
TEST(ScalableBloomFilter, ReaderReservesRoomForAtMost16384Slices) {
    EXPECT_EQ((std::size_t{1} << 20) / sizeof(BloomFilterSlice), 16384u);
}

// The last slice is full and the next cannot exist: the insertion throws
// std::bad_alloc (MemoryError in Python) before anything changes.
TEST(ScalableBloomFilter, UnallocatableSliceThrowsBadAllocBeforeAnyChange) {
    ScalableBloomFilterData record;
    record.initial_capacity = 1000;
    record.initial_fpr = 0.01;
    record.growth_ratio = 4.0;
    record.fpr_ratio = 0.5;
    BloomFilterSlice& full = record.slices.emplace_back();
    full.bits.resize(1);
    full.num_bits = 64;
    full.num_hashes = 1;
    full.count = full.capacity = std::uint64_t{1} << 62;
    full.fpr = 0.005;
    ScalableBloomFilter filter = ScalableBloomFilter::from_record(record);
    const std::string before = to_bytes(filter);

    EXPECT_THROW(filter.add("new"), std::bad_alloc);
    const std::uint64_t hashes[] = {1, 2};
    EXPECT_THROW(filter.update_hashes(hashes), std::bad_alloc);
    EXPECT_EQ(to_bytes(filter), before);
}

}  // namespace
}  // namespace velt
