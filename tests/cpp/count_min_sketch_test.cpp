// The Count-Min sketch core: sizing, column derivations, saturation, merge,
// inner product, record validation and the size guard.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <new>
#include <string>

#include "count_min_sketch.hpp"
#include "error.hpp"
#include "persistence.hpp"

namespace velt {
namespace {

constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t G = 0x9E3779B97F4A7C15ULL;

CountMinSketch sketch_of(std::uint64_t width, std::uint64_t depth, std::uint64_t seed = 0) {
    return CountMinSketch::create(width, depth, {}, {}, seed);
}

// The single non-zero column of each row, or -1 for a row without one.
std::vector<std::int64_t> touched_columns(const CountMinSketch& sketch) {
    std::vector<std::int64_t> columns;
    for (const auto& row : sketch.record().table) {
        std::int64_t found = -1;
        for (std::size_t j = 0; j < row.size(); ++j) {
            if (row[j] != 0) {
                EXPECT_EQ(found, -1) << "two counters set in one row";
                found = static_cast<std::int64_t>(j);
            }
        }
        columns.push_back(found);
    }
    return columns;
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
        EXPECT_EQ(s.record().table.front().size(), c.width);
        EXPECT_EQ(s.size_in_bytes(), c.width * c.depth * 8);
    }
}

TEST(CountMinSketch, ConstructionMessagesInOrder) {
    const std::optional<std::uint64_t> none;
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] { CountMinSketch::create(none, none, {}, {}, 0); }, "Either provide (width, depth) or (error_rate, confidence)"},
        {[&] { CountMinSketch::create(10, none, 0.01, 0.9, 0); }, "Either provide (width, depth) or (error_rate, confidence)"},
        {[&] { CountMinSketch::create(none, 4, 0.01, 0.9, 0); }, "Either provide (width, depth) or (error_rate, confidence)"},
        {[&] { CountMinSketch::create(none, none, 1.0, 2.0, 0); }, "error_rate must be between 0 and 1 (exclusive)"},
        {[&] { CountMinSketch::create(none, none, 0.5, 1.0, 0); }, "confidence must be between 0 and 1 (exclusive)"},
        {[&] { CountMinSketch::create(0, 3, {}, {}, 0); }, "width must be positive"},
        {[&] { CountMinSketch::create(0, 0, {}, {}, 0); }, "width must be positive"},
        {[&] { CountMinSketch::create(3, 0, {}, {}, 0); }, "depth must be positive"},
        {[&] { CountMinSketch::create(none, none, 0.01, 1e-17, 0); }, "depth must be positive"},
    };
    for (const auto& [construct, message] : cases) {
        try {
            construct();
            ADD_FAILURE() << "accepted: " << message;
        } catch (const ValueError& error) {
            EXPECT_EQ(error.what(), message);
        }
    }
    // Explicit dimensions leave an out-of-range rate unchecked.
    EXPECT_EQ(CountMinSketch::create(100, 4, 5.0, {}, 0).width(), 100u);
}

TEST(CountMinSketch, UnholdableTablesThrowBeforeAllocating) {
    // Saturated width; a product of width and depth beyond 2^64; a row count whose
    // row headers alone overflow.
    EXPECT_THROW(CountMinSketch::create({}, {}, 1e-300, 0.5, 0), std::bad_alloc);
    EXPECT_THROW(sketch_of(std::uint64_t{1} << 32, std::uint64_t{1} << 32), std::bad_alloc);
    EXPECT_THROW(sketch_of(1, max_u64 / 16), std::bad_alloc);
    EXPECT_THROW(check_total_allocation(std::uint64_t{1} << 62), std::bad_alloc);
    EXPECT_NO_THROW(check_total_allocation(std::uint64_t{1} << 20));
}

TEST(CountMinSketch, ItemColumnsAreSeededXxh3PerRow) {
    for (const std::uint64_t seed : {std::uint64_t{0}, std::uint64_t{42}, max_u64}) {
        CountMinSketch s = sketch_of(1009, 4, seed);
        s.add("apple", 7);
        std::vector<std::int64_t> expected;
        for (std::uint64_t i = 0; i < 4; ++i) {
            expected.push_back(static_cast<std::int64_t>(XXH3_64bits_withSeed("apple", 5, seed + i * G) % 1009));
        }
        EXPECT_EQ(touched_columns(s), expected);
        EXPECT_EQ(s.query("apple"), 7u);
        EXPECT_EQ(s.total_count(), 7u);
    }
}

TEST(CountMinSketch, CallerHashColumnsAreSplitMixPerRow) {
    const std::uint64_t seed = 99;
    const std::uint64_t hash = 0xDEADBEEFCAFEF00DULL;
    CountMinSketch s = sketch_of(1009, 3, seed);
    s.add_hash(hash, 2);
    std::vector<std::int64_t> expected;
    for (std::uint64_t i = 0; i < 3; ++i) {
        std::uint64_t z = (seed + i * G) ^ hash;
        z += G;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        expected.push_back(static_cast<std::int64_t>(z % 1009));
    }
    EXPECT_EQ(touched_columns(s), expected);
    EXPECT_EQ(s.query_hash(hash), 2u);
}

TEST(CountMinSketch, CountsSaturateAndZeroChangesNothing) {
    // Width 2: the bound e / 2 x total passes 2^64 once the total saturates.
    CountMinSketch s = sketch_of(2, 3);
    s.add("x", 0);
    s.add_hash(5, 0);
    EXPECT_EQ(touched_columns(s), (std::vector<std::int64_t>{-1, -1, -1}));
    s.add("x", max_u64);
    s.add("x", max_u64);
    EXPECT_EQ(s.query("x"), max_u64);
    EXPECT_EQ(s.total_count(), max_u64);
    EXPECT_EQ(s.error_bound(), max_u64);
}

TEST(CountMinSketch, MergeAddsCountersAndChecksShapeInOrder) {
    CountMinSketch a = sketch_of(50, 3, 1);
    CountMinSketch b = sketch_of(50, 3, 1);
    a.add("shared", 2);
    b.add("shared", 3);
    b.add("other");
    a.merge(b);
    EXPECT_GE(a.query("shared"), 5u);
    EXPECT_EQ(a.total_count(), 6u);

    const std::pair<CountMinSketch, std::string> mismatches[] = {
        {sketch_of(51, 4, 2), "Cannot merge: width mismatch (50 vs 51)"},
        {sketch_of(50, 4, 2), "Cannot merge: depth mismatch (3 vs 4)"},
        {sketch_of(50, 3, 2), "Cannot merge: seed mismatch (1 vs 2)"},
    };
    const std::string before = to_bytes(a);
    for (const auto& [other, message] : mismatches) {
        try {
            a.merge(other);
            ADD_FAILURE() << "merged: " << message;
        } catch (const ValueError& error) {
            EXPECT_EQ(error.what(), message);
        }
        EXPECT_THROW(static_cast<void>(a.inner_product(other)), ValueError);
    }
    EXPECT_EQ(to_bytes(a), before);
}

TEST(CountMinSketch, InnerProductIsSmallestRowSumAndSaturates) {
    CountMinSketch a = sketch_of(1, 2);
    a.add("x", 3);
    EXPECT_EQ(a.inner_product(a), 9u);
    a.add("y", std::uint64_t{1} << 32);
    EXPECT_EQ(a.inner_product(a), max_u64);  // (2^32 + 3)^2 overflows
    CountMinSketch b = sketch_of(1, 2);
    EXPECT_EQ(a.inner_product(b), 0u);
}

TEST(CountMinSketch, GuaranteeFigures) {
    const CountMinSketch s = CountMinSketch::create({}, {}, 0.01, 0.99, 0);
    EXPECT_EQ(s.error_rate(), 0.009993683192864136);
    EXPECT_EQ(s.confidence(), 0.9932620530009145);
    EXPECT_EQ(s.error_bound(), 0u);
    CountMinSketch t = sketch_of(272, 1);
    t.add("a", 1000);
    EXPECT_EQ(t.error_bound(), 10u);
    EXPECT_EQ(t.repr(), "CountMinSketch(width=272, depth=1, total_count=1000)");
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
        {record_with(3, 3, 2, {3, 3}), "Unsupported Count-Min Sketch data version"},
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

TEST(CountMinSketch, BinaryFormOfTheStandardSketch) {
    CountMinSketch s = CountMinSketch::create({}, {}, 0.01, 0.99, 7);
    EXPECT_EQ(to_bytes(s).size(), 10982u);
    s.update(std::vector<std::string_view>{"a", "b", "a"});
    const CountMinSketch back = from_bytes<CountMinSketch>(to_bytes(s));
    EXPECT_EQ(to_bytes(back), to_bytes(s));
    EXPECT_EQ(back.query("a"), 2u);
    EXPECT_EQ(to_json(from_json<CountMinSketch>(to_json(s))), to_json(s));
}

}  // namespace
}  // namespace velt
