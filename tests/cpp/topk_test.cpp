// The Top-K tracker core: Space-Saving adds with their tie order, merge,
// record validation and the sizes that must never wrap or over-allocate.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/saturating.hpp"
#include "core/topk.hpp"

namespace velt {
namespace {

std::vector<TopKCounter> counters_of(const TopK& tracker) { return tracker.top(); }

TopK tracker_with(std::uint64_t k, std::vector<TopKCounter> counters) {
    TopKData data;
    data.counters = std::move(counters);
    data.k = k;
    return TopK::from_record(std::move(data));
}

std::string message_of(auto&& action) {
    try {
        action();
    } catch (const ValueError& error) {
        return error.what();
    }
    return "(no error)";
}

struct AddCase {
    const char* name;
    std::uint64_t k;
    std::vector<std::pair<std::string, std::uint64_t>> adds;  // item and count
    std::vector<TopKCounter> expected;
};

TEST(TopK, AddSequences) {
    const AddCase cases[] = {
        {"c replaces the later of two equal counters and moves in front", 2,
         {{"a", 1}, {"b", 1}, {"c", 1}}, {{"c", 2, 1}, {"a", 1, 0}}},
        {"d replaces c, e replaces b and stays behind d", 3,
         {{"a", 1}, {"b", 1}, {"c", 1}, {"d", 1}, {"e", 1}}, {{"d", 2, 1}, {"e", 2, 1}, {"a", 1, 0}}},
        {"a count of zero takes nothing in", 2, {{"a", 0}, {"b", 3}, {"b", 0}}, {{"b", 3, 0}}},
        {"a weighted replacement passes several counters", 3,
         {{"a", 3}, {"b", 2}, {"c", 2}, {"d", 2}}, {{"d", 4, 2}, {"a", 3, 0}, {"b", 2, 0}}},
        {"an empty text is an item", 2, {{"", 1}, {"", 1}}, {{"", 2, 0}}},
    };
    for (const AddCase& c : cases) {
        TopK tracker(c.k);
        for (const auto& [item, count] : c.adds) tracker.add(item, count);
        EXPECT_EQ(counters_of(tracker), c.expected) << c.name;
        for (const TopKCounter& counter : c.expected) {
            EXPECT_EQ(tracker.query(counter.item), counter.count) << c.name;
        }
        EXPECT_EQ(tracker.min_count(), c.expected.empty() ? 0 : c.expected.back().count) << c.name;
    }
}

// The literal algorithm: a linear search and one adjacent swap at a time.
struct ReferenceTracker {
    std::uint64_t k;
    std::vector<TopKCounter> counters;

    void add(const std::string& item, std::uint64_t count) {
        if (count == 0) return;
        std::size_t p = 0;
        while (p < counters.size() && counters[p].item != item) ++p;
        if (p < counters.size()) {
            counters[p].count += count;
        } else if (counters.size() < k) {
            counters.push_back({item, count, 0});
        } else {
            p = counters.size() - 1;
            counters[p] = {item, counters[p].count + count, counters[p].count};
        }
        while (p > 0 && counters[p].count > counters[p - 1].count) {
            std::swap(counters[p], counters[p - 1]);
            --p;
        }
    }
};

TEST(TopK, AgreesWithTheStepwiseAlgorithmOnRandomStreams) {
    std::mt19937_64 random(2026);
    for (std::uint64_t k : {1, 2, 5, 17, 50}) {
        TopK tracker(k);
        ReferenceTracker reference{k, {}};
        for (int i = 0; i < 4000; ++i) {
            // A skewed alphabet, so that items both stay and get replaced;
            // some texts too long to be stored inline.
            const std::uint64_t number = random() % 3 == 0 ? random() % 4 : random() % 60;
            const std::string item = (number % 7 == 0 ? std::string(24, 'l') : "i") + std::to_string(number);
            const std::uint64_t count = random() % 5 == 0 ? random() % 9 : 1;
            tracker.add(item, count);
            reference.add(item, count);
        }
        ASSERT_EQ(counters_of(tracker), reference.counters) << "k=" << k;
        // Every replaced item must have left the index, every tracked one be found.
        for (std::uint64_t number = 0; number < 60; ++number) {
            const std::string item = (number % 7 == 0 ? std::string(24, 'l') : "i") + std::to_string(number);
            const auto counter = std::find_if(reference.counters.begin(), reference.counters.end(),
                                              [&](const TopKCounter& c) { return c.item == item; });
            EXPECT_EQ(tracker.query(item), counter == reference.counters.end() ? 0 : counter->count) << item;
        }
    }
}

TEST(TopK, MergeSumsSaturate) {
    TopK mine = tracker_with(1, {{"a", max_u64, max_u64}});
    mine.merge(tracker_with(1, {{"b", 1, 0}}));
    EXPECT_EQ(counters_of(mine), (std::vector<TopKCounter>{{"a", max_u64, max_u64}}));
}

TEST(TopK, FromRecordValidatesInOrder) {
    auto record = [](std::uint8_t version, std::uint64_t k, std::vector<TopKCounter> counters) {
        TopKData data;
        data.version = version;
        data.counters = std::move(counters);
        data.k = k;
        return data;
    };
    const std::pair<TopKData, std::string> cases[] = {
        {record(2, 0, {{"a", 0, 1}}), "Unsupported TopK data version"},
        {record(0, 5, {}), "Unsupported TopK data version"},
        {record(1, 0, {}), "k must be positive"},
        {record(1, 1, {{"a", 1, 0}, {"b", 2, 0}}), "number of counters exceeds k"},
        {record(1, 5, {{"a", 5, 1}, {"a", 4, 0}}), "duplicate tracked item"},
        {record(1, 5, {{"a", 5, 6}, {"a", 4, 0}}), "counter error exceeds count"},
        {record(1, 5, {{"a", 5, 0}, {"a", 4, 5}}), "counter error exceeds count"},
        {record(1, 5, {{"a", 3, 0}, {"b", 5, 0}}), "counters must be sorted by descending count"},
        {record(1, 5, {{"a", 3, 0}, {"b", 5, 9}}), "counter error exceeds count"},
    };
    for (const auto& [data, message] : cases) {
        EXPECT_EQ(message_of([&] { TopK::from_record(data); }), message);
    }
}

TEST(TopK, HugeKReservesOnlyWhatIsUsed) {
    TopK tracker(max_u64);
    EXPECT_EQ(tracker.size_in_bytes(), max_u64);
    tracker.add("a");
    EXPECT_EQ(tracker.tracked(), 1u);
    EXPECT_EQ(tracker.min_count(), 1u);

    const TopK loaded = tracker_with(max_u64, {});
    EXPECT_EQ(loaded.k(), max_u64);
    EXPECT_EQ(loaded.tracked(), 0u);

    // 32 bytes per possible counter fill all but 31 of the 2^64 - 1; one tracked item passes the limit.
    TopK nearly_full_estimate((std::uint64_t{1} << 59) - 1);
    EXPECT_EQ(nearly_full_estimate.size_in_bytes(), max_u64 - 31);
    nearly_full_estimate.add("abcdefghijklmnop");
    EXPECT_EQ(nearly_full_estimate.size_in_bytes(), max_u64);
}

TEST(TopK, SizeEstimate) {
    TopK tracker(10);
    EXPECT_EQ(tracker.size_in_bytes(), 320u);
    tracker.add("abc");
    EXPECT_EQ(tracker.size_in_bytes(), 339u);
    tracker.clear();
    EXPECT_EQ(tracker.size_in_bytes(), 320u);
    EXPECT_EQ(tracker.k(), 10u);
}

}  // namespace
}  // namespace velt
