// The scalable Bloom filter (Almeida, Baquero, Preguiça and Hutchison 2007): a
// chain of Bloom filter slices for an unknown number of items. New items go
// into the newest slice until it holds its design capacity; then a slice
// `growth_ratio` times larger, at a rate `fpr_ratio` times tighter, is
// appended. Slice i is designed for the rate initial_fpr x (1 - fpr_ratio) x
// fpr_ratio^i, a geometric series that sums to initial_fpr, so the chain as a
// whole stays under its target however long it grows. Older slices keep
// answering membership tests: there are never false negatives.
#pragma once

#include <cstdint>
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

// One Bloom filter of the chain, sized for `capacity` items at rate `fpr`.
struct BloomFilterSlice {
    static constexpr std::string_view record_name = "BloomFilterSlice";

    // Bit j is bit (j mod 64) of word (j div 64), least significant first.
    LargeArray<std::uint64_t> bits;
    std::uint64_t num_bits = 0;
    std::uint32_t num_hashes = 0;
    std::uint64_t count = 0;     // items stored in this slice, at most `capacity`
    std::uint64_t capacity = 0;  // the slice takes new items while count < capacity
    double fpr = 0.0;            // the design false-positive rate of this slice

    template <class Visitor>
    void fields(Visitor& visit) {
        visit("bits", bits);
        visit("num_bits", num_bits);
        visit("num_hashes", num_hashes);
        visit("count", count);
        visit("capacity", capacity);
        visit("fpr", fpr);
    }
};

// The filter's whole state, which is also its serialised record. There is no
// stored total: the item count is the sum of the slices' counts.
struct ScalableBloomFilterData {
    static constexpr std::string_view record_name = "ScalableBloomFilterData";

    std::vector<BloomFilterSlice> slices;  // oldest first; only the last one takes new items
    std::uint64_t initial_capacity = 0;
    double initial_fpr = 0.0;  // the target rate of the whole chain
    double growth_ratio = 0.0;
    double fpr_ratio = 0.0;
    std::uint64_t seed = 0;

    template <class Visitor>
    void fields(Visitor& visit) {
        visit("slices", slices);
        visit("initial_capacity", initial_capacity);
        visit("initial_fpr", initial_fpr);
        visit("growth_ratio", growth_ratio);
        visit("fpr_ratio", fpr_ratio);
        visit("seed", seed);
    }
};

class ScalableBloomFilter {
public:
    using Record = ScalableBloomFilterData;
    static constexpr codec::Format format{"VTSB", 2};
    static constexpr FileErrorStyle file_errors = FileErrorStyle::separate;

    // A filter with its first slice. A slice too large to hold throws std::bad_alloc.
    static ScalableBloomFilter create(std::uint64_t initial_capacity, double false_positive_rate, double growth_ratio,
                                      double fpr_ratio, std::uint64_t seed);
    // A filter from a decoded record, after checking it. The slices are taken
    // as stored, possibly none.
    static ScalableBloomFilter from_record(ScalableBloomFilterData record);
    const ScalableBloomFilterData& record() const { return data_; }

    // Inserting skips an item that any slice already reports present. When the
    // last slice is full and the next one cannot be allocated, std::bad_alloc
    // leaves the filter unchanged; a batch keeps the items before that one.
    void add(std::string_view item) { insert(hash_pair(item, data_.seed)); }
    void add_hash(std::uint64_t hash) { insert(caller_hash_pair(hash, data_.seed)); }
    void update(std::span<const std::string_view> items);
    void update_hashes(std::span<const std::uint64_t> hashes);

    bool contains(std::string_view item) const { return test(hash_pair(item, data_.seed)); }
    bool contains_hash(std::uint64_t hash) const { return test(caller_hash_pair(hash, data_.seed)); }
    // One answer (0 or 1) per item, in order.
    std::vector<std::uint8_t> query_many(std::span<const std::string_view> items) const;
    std::vector<std::uint8_t> query_hashes(std::span<const std::uint64_t> hashes) const;

    // Back to one empty first slice; the growth parameters and seed stay.
    void clear();

    std::uint64_t num_slices() const { return data_.slices.size(); }
    std::uint64_t seed() const { return data_.seed; }
    // Items stored over all slices (repeats and false positives excluded), saturating.
    std::uint64_t count() const;
    // The slices' design capacities added up, saturating.
    std::uint64_t capacity() const;
    std::uint64_t size_in_bytes() const;
    // 1 - prod(1 - fpr) over the slices: the design rate, not the observed one.
    double false_positive_rate() const;
    // "warning" once the slices' rates add up past the target (possible only for loaded slices).
    std::string_view health() const;
    std::string repr() const;

private:
    explicit ScalableBloomFilter(ScalableBloomFilterData data) : data_(std::move(data)) {}

    // The first slice of the chain, and the one that follows the current last
    // slice (the first one when the chain is empty).
    BloomFilterSlice first_slice() const;
    BloomFilterSlice next_slice() const;
    void insert(HashPair pair);
    bool test(HashPair pair) const;
    // Calls visit(i, pair_of(i)) for i = 0 .. count-1, in order, a block at a time.
    template <class PairOf, class Visit>
    void for_each_pair(std::size_t count, PairOf&& pair_of, Visit&& visit) const;

    ScalableBloomFilterData data_;
};

}  // namespace velt
