// The HyperLogLog core: register ranks, the estimator's three ranges, record
// validation and merging.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <string>

#include "core/error.hpp"
#include "core/hyperloglog.hpp"
#include "core/persistence.hpp"

namespace velt {
namespace {

// A record of precision p whose registers are all `rank`, except the first `others` ones, which hold `other_rank`.
HyperLogLogData registers_of(std::uint8_t p, std::uint8_t rank, std::size_t others = 0, std::uint8_t other_rank = 0) {
    HyperLogLogData data;
    data.version = HyperLogLog::record_version;
    data.precision = p;
    data.registers.assign(std::size_t{1} << p, rank);
    for (std::size_t i = 0; i < others; ++i) data.registers[i] = other_rank;
    return data;
}

std::string message_of(const HyperLogLogData& record) {
    try {
        HyperLogLog::from_record(record);
    } catch (const ValueError& error) {
        return error.what();
    }
    return "accepted";
}

TEST(HyperLogLog, IndexIsTheTopBitsAndRankCountsLeadingZerosOfTheRest) {
    const HyperLogLog h4 = HyperLogLog::create(4, 0);
    const HyperLogLog h14 = HyperLogLog::create(14, 0);
    struct Case {
        const HyperLogLog& counter;
        std::uint64_t hash;
        std::uint32_t index;
        unsigned rank;
    };
    const Case cases[] = {
        {h4, 0xF000000000000000ULL, 15, 61},  // nothing after the index: the largest rank 65 - p
        {h4, 0x0000000000000000ULL, 0, 61},
        {h4, 0x0800000000000000ULL, 0, 1},    // the first bit after the index is set
        {h4, 0x0400000000000000ULL, 0, 2},
        {h4, 0x3000000000000001ULL, 3, 60},   // only the last bit set: 59 zeros before it
        {h14, 0xFFFC000000000000ULL, 16383, 51},
        {h14, 0x0000000000000001ULL, 0, 50},
        {h14, 0x0002000000000000ULL, 0, 1},
    };
    for (const Case& c : cases) {
        const auto [index, rank] = c.counter.index_and_rank(c.hash);
        EXPECT_EQ(index, c.index) << std::hex << c.hash;
        EXPECT_EQ(rank, c.rank) << std::hex << c.hash;
    }
}

TEST(HyperLogLog, PrecisionOutsideFourToEighteenIsRefused) {
    for (std::uint8_t p : std::array<std::uint8_t, 4>{0, 3, 19, 255}) EXPECT_THROW(HyperLogLog::create(p, 0), ValueError) << int(p);
    for (std::uint8_t p : std::array<std::uint8_t, 2>{4, 18}) EXPECT_EQ(HyperLogLog::create(p, 0).register_count(), std::uint64_t{1} << p);
}

// The estimator on crafted register states, against values worked out by hand.
TEST(HyperLogLog, EstimatorRanges) {
    const double two_to_64 = std::ldexp(1.0, 64);
    struct Case {
        const char* range;
        HyperLogLogData record;
        double expected;
    };
    const Case cases[] = {
        // Linear counting: 15 of 16 registers empty.
        {"small", registers_of(4, 0, 1, 1), 16 * std::log(16.0 / 15.0)},
        // Every register at 1: raw = 0.673 * 256 / 8 = 21.536 <= 40, but none is empty.
        {"small without empty registers", registers_of(4, 1), 0.673 * 16 * 16 / 8.0},
        // Every register at 10: raw = alpha * m * 2^10.
        {"middle, p=4", registers_of(4, 10), 0.673 * 16 * 16 / (16 * std::ldexp(1.0, -10))},
        {"middle, p=5", registers_of(5, 10), 0.697 * 32 * 32 / (32 * std::ldexp(1.0, -10))},
        {"middle, p=6", registers_of(6, 10), 0.709 * 64 * 64 / (64 * std::ldexp(1.0, -10))},
        {"middle, p=10", registers_of(10, 10), 0.7213 / (1.0 + 1.079 / 1024) * 1024 * 1024 / (1024 * std::ldexp(1.0, -10))},
        // raw = 0.673 * 16 * 2^56 > 2^64 / 30: the logarithmic correction.
        {"large", registers_of(4, 56), -two_to_64 * std::log1p(-(0.673 * 16 * std::ldexp(1.0, 56) / two_to_64))},
        {"large, near the top", registers_of(4, 60), -two_to_64 * std::log1p(-0.673)},
        // Every register at its largest rank: raw = 0.673 * 2^65 is beyond 2^64.
        {"infinite", registers_of(4, 61), std::numeric_limits<double>::infinity()},
        {"infinite, p=18", registers_of(18, 47), std::numeric_limits<double>::infinity()},
    };
    for (const Case& c : cases) {
        const HyperLogLog h = HyperLogLog::from_record(c.record);
        EXPECT_DOUBLE_EQ(h.cardinality(), c.expected) << c.range;
    }
}

TEST(HyperLogLog, RoundedCardinalitySaturatesOnAnInfiniteEstimate) {
    EXPECT_EQ(HyperLogLog::from_record(registers_of(4, 61)).rounded_cardinality(),
              std::numeric_limits<std::uint64_t>::max());
    // 16 ln(16/15) = 1.0326...
    EXPECT_EQ(HyperLogLog::from_record(registers_of(4, 0, 1, 1)).rounded_cardinality(), 1u);
}

TEST(HyperLogLog, IntervalOfAnInfiniteEstimateStartsAtZero) {
    const CardinalityInterval interval = HyperLogLog::from_record(registers_of(4, 61)).confidence_interval(0.95);
    EXPECT_EQ(interval.lower, 0.0);
    EXPECT_TRUE(std::isinf(interval.upper));
}

TEST(HyperLogLog, FromRecordValidatesInOrder) {
    auto with_version = [](HyperLogLogData data, std::uint8_t version) {
        data.version = version;
        return data;
    };
    HyperLogLogData short_registers = registers_of(10, 0);
    short_registers.registers.pop_back();
    const std::pair<HyperLogLogData, std::string> cases[] = {
        {with_version(registers_of(4, 99), 1), "Unsupported HyperLogLog data version"},
        {with_version(registers_of(4, 0), 0), "Unsupported HyperLogLog data version"},
        {registers_of(19, 0), "Invalid HyperLogLog: precision must be between 4 and 18"},
        {short_registers, "Invalid HyperLogLog: register count does not match precision"},
        {registers_of(14, 0, 1, 52), "Invalid HyperLogLog: register contains an impossible rank"},
        {registers_of(4, 62), "Invalid HyperLogLog: register contains an impossible rank"},
        {registers_of(14, 0, 1, 51), "accepted"},
        {registers_of(4, 61), "accepted"},
    };
    for (const auto& [record, message] : cases) EXPECT_EQ(message_of(record), message);
}

TEST(HyperLogLog, MergeTakesRegisterMaximaAndSumsCounts) {
    HyperLogLog a = HyperLogLog::create(8, 5);
    HyperLogLog b = HyperLogLog::create(8, 5);
    HyperLogLog both = HyperLogLog::create(8, 5);
    for (int i = 0; i < 500; ++i) {
        const std::string item = std::string("item-").append(std::to_string(i));
        (i % 3 == 0 ? a : b).add(item);
        both.add(item);
    }
    a.merge(b);
    EXPECT_EQ(to_bytes(a), to_bytes(both));
    EXPECT_EQ(a.count(), 500u);

    const std::string before = to_bytes(a);
    EXPECT_THROW(a.merge(HyperLogLog::create(9, 5)), ValueError);
    EXPECT_THROW(a.merge(HyperLogLog::create(8, 6)), ValueError);
    EXPECT_EQ(to_bytes(a), before);
}

}  // namespace
}  // namespace velt
