// The Count-Min sketch core: sizing, the size guard, saturation and record
// validation. The Python suite covers the rest of the contract.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <new>
#include <string>

#include "core/count_min_sketch.hpp"
#include "core/error.hpp"
#include "core/saturating.hpp"

namespace velt {
namespace {

CountMinSketch sketch_of(std::uint64_t width, std::uint64_t depth) {
    return CountMinSketch::create(width, depth, {}, {}, 0);
}

TEST(CountMinSketch, SizingFromErrorRateAndConfidence) {
    struct Case {
        double error_rate;
        double confidence;
        std::uint64_t width;
        std::uint64_t depth;
    };
    const Case cases[] = {
        {0.1, 0.5, 28, 1}, {0.05, 0.9, 55, 3}, {0.01, 0.95, 272, 3}, {0.001, 0.99, 2719, 5}, {0.01, 0.999, 272, 7},
    };
    for (const Case& c : cases) {
        const CountMinSketch s = CountMinSketch::create({}, {}, c.error_rate, c.confidence, 0);
        EXPECT_EQ(s.width(), c.width) << c.error_rate;
        EXPECT_EQ(s.depth(), c.depth) << c.confidence;
        EXPECT_EQ(s.record().table.size(), c.depth);
        EXPECT_EQ(s.record().table.back().size(), c.width);
    }
    const CountMinSketch standard = CountMinSketch::create({}, {}, 0.01, 0.99, 0);
    EXPECT_EQ(standard.error_rate(), 0.009993683192864136);
    EXPECT_EQ(standard.confidence(), 0.9932620530009145);
}

TEST(CountMinSketch, UnholdableTablesThrowBeforeAllocating) {
    // A saturated width; width x depth beyond 2^64; row headers alone beyond 2^64.
    EXPECT_THROW(CountMinSketch::create({}, {}, 1e-300, 0.5, 0), std::bad_alloc);
    EXPECT_THROW(sketch_of(std::uint64_t{1} << 32, std::uint64_t{1} << 32), std::bad_alloc);
    EXPECT_THROW(sketch_of(1, max_u64 / 16), std::bad_alloc);
    // Rows of 1 GiB, each allocatable alone, but a million of them.
    EXPECT_THROW(check_total_allocation((std::uint64_t{1} << 30) * (std::uint64_t{1} << 20)), std::bad_alloc);
    EXPECT_NO_THROW(check_total_allocation(std::uint64_t{1} << 20));
}

TEST(CountMinSketch, CountsSaturateAndZeroChangesNothing) {
    CountMinSketch s = sketch_of(2, 3);
    s.add("x", 0);
    s.add_hash(5, 0);
    for (const auto& row : s.record().table) EXPECT_EQ(row[0] + row[1], 0u);
    s.add("x", max_u64);
    s.add("x", max_u64);
    EXPECT_EQ(s.query("x"), max_u64);
    EXPECT_EQ(s.total_count(), max_u64);
    // e / 2 x (2^64 - 1) is beyond 2^64: the bound saturates too.
    EXPECT_EQ(s.error_bound(), max_u64);
}

TEST(CountMinSketch, InnerProductIsSmallestRowSumAndSaturates) {
    CountMinSketch a = sketch_of(1, 2);
    a.add("x", 3);
    EXPECT_EQ(a.inner_product(a), 9u);
    EXPECT_EQ(a.inner_product(sketch_of(1, 2)), 0u);
    a.add("y", std::uint64_t{1} << 32);
    EXPECT_EQ(a.inner_product(a), max_u64);  // (2^32 + 3)^2 passes 2^64
}

TEST(CountMinSketch, RecordValidationInOrder) {
    auto record_with = [](std::uint8_t version, std::uint64_t width, std::uint64_t depth,
                          std::vector<std::size_t> row_lengths) {
        CountMinSketchData data;
        data.version = version;
        data.width = width;
        data.depth = depth;
        for (std::size_t length : row_lengths) data.table.emplace_back(length);
        return data;
    };
    const std::pair<CountMinSketchData, std::string> cases[] = {
        {record_with(1, 3, 2, {3, 3}), "Unsupported Count-Min Sketch data version"},
        {record_with(0, 0, 0, {}), "Unsupported Count-Min Sketch data version"},
        {record_with(2, 0, 0, {}), "width and depth must be positive"},
        {record_with(2, 3, 0, {}), "width and depth must be positive"},
        {record_with(2, 3, 2, {3, 3, 3}), "table dimensions do not match width and depth"},
        {record_with(2, 3, 2, {3, 2}), "table dimensions do not match width and depth"},
        {record_with(2, max_u64, 1, {3}), "table dimensions do not match width and depth"},
    };
    for (const auto& [record, message] : cases) {
        try {
            CountMinSketch::from_record(record);
            ADD_FAILURE() << "accepted: " << message;
        } catch (const ValueError& error) {
            EXPECT_EQ(error.what(), message);
        }
    }
    CountMinSketchData valid = record_with(2, 3, 2, {3, 3});
    valid.count = 5;  // not compared with the counters
    EXPECT_EQ(CountMinSketch::from_record(valid).total_count(), 5u);
}

}  // namespace
}  // namespace velt
