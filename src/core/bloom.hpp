// The standard Bloom filter (Bloom 1970): a fixed array of m bits in which each
// item sets k bits chosen by double hashing (Kirsch and Mitzenmacher 2006).
// Membership answers have false positives but never false negatives.
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
struct BloomFilterData {
    static constexpr std::string_view record_name = "BloomFilterData";

    // Bit j is bit (j mod 64) of word (j div 64), least significant first; the
    // bits of the last word at positions num_bits and above are always zero.
    LargeArray<std::uint64_t> bits;
    std::uint64_t num_bits = 0;
    std::uint32_t num_hashes = 0;
    std::uint64_t count = 0;  // insertions performed, saturating
    std::uint64_t seed = 0;

    template <class Visitor>
    void fields(Visitor& visit) {
        visit("bits", bits);
        visit("num_bits", num_bits);
        visit("num_hashes", num_hashes);
        visit("count", count);
        visit("seed", seed);
    }
};

class BloomFilter {
public:
    using Record = BloomFilterData;
    static constexpr codec::Format format{"VTBF", 2};
    static constexpr FileErrorStyle file_errors = FileErrorStyle::separate;

    // Sizes the filter from the expected item count and target rate, or takes
    // num_bits and num_hashes as given.
    static BloomFilter create(std::optional<std::uint64_t> expected_items, double false_positive_rate,
                              std::optional<std::uint64_t> num_bits, std::optional<std::uint32_t> num_hashes,
                              std::uint64_t seed);
    // A filter from a decoded record, after checking it.
    static BloomFilter from_record(BloomFilterData record);
    const BloomFilterData& record() const { return data_; }

    void add(std::string_view item) { insert(hash_pair(item, data_.seed)); }
    void add_hash(std::uint64_t hash) { insert(caller_hash_pair(hash, data_.seed)); }
    bool contains(std::string_view item) const { return test(hash_pair(item, data_.seed)); }
    bool contains_hash(std::uint64_t hash) const { return test(caller_hash_pair(hash, data_.seed)); }

    void update(std::span<const std::string_view> items);
    void update_hashes(std::span<const std::uint64_t> hashes);
    // One answer (0 or 1) per item, in order.
    std::vector<std::uint8_t> query_many(std::span<const std::string_view> items) const;
    std::vector<std::uint8_t> query_hashes(std::span<const std::uint64_t> hashes) const;

    void merge(const BloomFilter& other);
    BloomFilter intersection(const BloomFilter& other) const;
    void clear();

    std::uint64_t num_bits() const { return data_.num_bits; }
    std::uint32_t num_hashes() const { return data_.num_hashes; }
    std::uint64_t count() const { return data_.count; }
    std::uint64_t seed() const { return data_.seed; }
    std::uint64_t size_in_bytes() const { return 8 * static_cast<std::uint64_t>(data_.bits.size()); }

    std::uint64_t bit_count() const;
    double fill_ratio() const;
    double false_positive_rate() const;
    double estimate_count() const;
    std::string_view health() const;
    bool is_saturated() const;
    std::string repr() const;

private:
    explicit BloomFilter(BloomFilterData data) : data_(std::move(data)) {}

    void insert(HashPair pair);
    bool test(HashPair pair) const;
    // Lists the positions of blocks of items, prefetching them, and visits each item's.
    template <bool for_writing, class PairOf, class Visit>
    bool for_each_listed(std::size_t count, PairOf&& pair_of, Visit&& visit) const;
    // insert(pair_of(i)) for i = 0 .. count-1.
    template <class PairOf>
    void insert_all(std::size_t count, PairOf&& pair_of);
    // One answer per item 0 .. count-1, whose hash pairs come from pair_of(i).
    template <class PairOf>
    std::vector<std::uint8_t> test_all(std::size_t count, PairOf&& pair_of) const;

    BloomFilterData data_;
};

}  // namespace velt
