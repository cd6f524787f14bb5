// The counting Bloom filter (Fan, Cao, Almeida and Broder 2000): a Bloom
// filter whose bits are 8-bit counters, so that items can also be removed. An
// item increments the counters at its k positions (double hashing, as in the
// Bloom filter) and is reported present while all of them are non-zero, so
// every item added and not removed is found. Counters never wrap and never
// saturate silently: an add or merge that would push one past 255 is refused
// as a whole and changes nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/codec/binary.hpp"
#include "core/codec/record.hpp"
#include "core/file_io.hpp"
#include "core/hash.hpp"
#include "core/large_array.hpp"

namespace velt {

// The filter's whole state, which is also its serialised record.
struct CountingBloomFilterData {
    static constexpr std::string_view record_name = "CountingBloomFilterData";

    // Counter j counts the insertions minus removals that touched position j.
    LargeArray<std::uint8_t> counters;
    std::uint64_t num_counters = 0;
    std::uint32_t num_hashes = 0;
    // Successful adds minus successful removes, plus the counts merged in;
    // saturating at both ends. Not a count of distinct items.
    std::uint64_t count = 0;
    std::uint64_t seed = 0;

    template <class Visitor>
    void fields(Visitor& visit) {
        visit("counters", counters);
        visit("num_counters", num_counters);
        visit("num_hashes", num_hashes);
        visit("count", count);
        visit("seed", seed);
    }
};

class CountingBloomFilter {
public:
    using Record = CountingBloomFilterData;
    static constexpr codec::Format format{"VTCB", 2};
    static constexpr FileErrorStyle file_errors = FileErrorStyle::separate;

    // The largest value a counter can hold.
    static constexpr std::uint8_t counter_limit = 255;

    // Sizes the filter like a Bloom filter of num_counters bits.
    static CountingBloomFilter create(std::optional<std::uint64_t> expected_items, double false_positive_rate,
                                      std::optional<std::uint64_t> num_counters,
                                      std::optional<std::uint32_t> num_hashes, std::uint64_t seed);
    // A filter from a decoded record, after checking it.
    static CountingBloomFilter from_record(CountingBloomFilterData record);
    const CountingBloomFilterData& record() const { return data_; }

    // Adding throws OverflowError, changing nothing, when a counter would pass 255.
    void add(std::string_view item) { add_hash_pair(hash_pair(item, data_.seed)); }
    void add_hash(std::uint64_t hash) { add_hash_pair(caller_hash_pair(hash, data_.seed)); }
    void add_hash_pair(HashPair pair);
    // Batches stop at the first refused item: those before it stay added.
    void update(std::span<const std::string_view> items);
    void update_hashes(std::span<const std::uint64_t> hashes);

    // Takes one occurrence out, if every counter of the item is non-zero.
    bool remove(std::string_view item) { return remove_hash_pair(hash_pair(item, data_.seed)); }
    bool remove_hash_pair(HashPair pair);

    bool contains(std::string_view item) const { return test(hash_pair(item, data_.seed)); }
    bool contains_hash(std::uint64_t hash) const { return test(caller_hash_pair(hash, data_.seed)); }
    // One answer (0 or 1) per item, in order.
    std::vector<std::uint8_t> query_many(std::span<const std::string_view> items) const;
    std::vector<std::uint8_t> query_hashes(std::span<const std::uint64_t> hashes) const;
    // The smallest counter at the item's positions: an upper bound on how many
    // times it is held, as long as no absent item was removed.
    std::uint8_t smallest_counter(std::string_view item) const;

    // Adds other's counters to these; refused whole if any sum would pass 255.
    void merge(const CountingBloomFilter& other);
    void clear();

    std::uint64_t num_counters() const { return data_.num_counters; }
    std::uint32_t num_hashes() const { return data_.num_hashes; }
    std::uint64_t count() const { return data_.count; }
    std::uint64_t seed() const { return data_.seed; }
    std::uint64_t size_in_bytes() const { return data_.counters.size(); }

    double fill_ratio() const;
    double false_positive_rate() const;
    std::string_view health() const;
    std::string repr() const;

private:
    explicit CountingBloomFilter(CountingBloomFilterData data) : data_(std::move(data)) {}

    // Throws the capacity error when no add can ever fit (k > 255 m).
    void refuse_impossible_adds() const;
    // Writes the pair's k positions, in order, to `positions`.
    void list_positions(HashPair pair, std::uint64_t* positions) const;
    // Adds one item given its k positions (which it sorts), or throws, changing nothing.
    void add_positions(std::span<std::uint64_t> positions);
    // Adds items 0 .. count-1, whose hash pairs come from pair_of(i), in order.
    template <class PairOf>
    void add_all(std::size_t count, PairOf&& pair_of);
    bool test(HashPair pair) const;
    // One answer per item 0 .. count-1, whose hash pairs come from pair_of(i).
    template <class PairOf>
    std::vector<std::uint8_t> test_all(std::size_t count, PairOf&& pair_of) const;

    CountingBloomFilterData data_;
};

}  // namespace velt
