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

#include "core/bloom_sizing.hpp"
#include "core/codec/binary.hpp"
#include "core/codec/record.hpp"
#include "core/file_io.hpp"
#include "core/hash.hpp"
#include "core/large_array.hpp"
#include "core/mapped_words.hpp"

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
    // The filter saved at `path`, read in place from a read-only mapping of the
    // file; `verify` checks the payload's checksum (the header is always checked).
    static BloomFilter open(const std::string& path, bool verify);

    // A copy is always writable: an opened filter's bits are copied out of the mapping.
    BloomFilter(const BloomFilter& other);
    BloomFilter(BloomFilter&&) noexcept = default;
    BloomFilter& operator=(const BloomFilter&) = delete;
    BloomFilter& operator=(BloomFilter&&) noexcept = default;

    // The record of a writable filter (an opened one is written from a copy).
    const BloomFilterData& record() const { return data_; }
    bool is_read_only() const { return mapped_.has_value(); }

    void add(std::string_view item) { insert(hash_pair(item, data_.seed)); }
    void add_hash(std::uint64_t hash) { insert(caller_hash_pair(hash, data_.seed)); }
    bool contains(std::string_view item) const { return test(hash_pair(item, data_.seed)); }
    bool contains_hash(std::uint64_t hash) const { return test(caller_hash_pair(hash, data_.seed)); }

    void update(std::span<const std::string_view> items);
    void update_hashes(std::span<const std::uint64_t> hashes);
    // One answer (0 or 1) per item, in order.
    std::vector<std::uint8_t> query_many(std::span<const std::string_view> items) const;
    std::vector<std::uint8_t> query_hashes(std::span<const std::uint64_t> hashes) const;

    // Batches in two steps, for items converted a block at a time: the hashes
    // of the items (which change nothing), then inserting or testing them.
    using ItemHash = HashPair;
    void hash_items(std::span<const std::string_view> items, ItemHash* out) const;
    void update_hashed(std::span<const ItemHash> hashes);
    std::vector<std::uint8_t> query_hashed(std::span<const ItemHash> hashes) const;

    void merge(const BloomFilter& other);
    BloomFilter intersection(const BloomFilter& other) const;
    void clear();

    std::uint64_t num_bits() const { return data_.num_bits; }
    std::uint32_t num_hashes() const { return data_.num_hashes; }
    std::uint64_t count() const { return data_.count; }
    std::uint64_t seed() const { return data_.seed; }
    std::uint64_t size_in_bytes() const { return 8 * word_count(data_.num_bits); }

    std::uint64_t bit_count() const;
    double fill_ratio() const;
    double false_positive_rate() const;
    double estimate_count() const;
    std::string_view health() const;
    bool is_saturated() const;
    std::string repr() const;

private:
    explicit BloomFilter(BloomFilterData data, std::optional<MappedWords> mapped = std::nullopt)
        : data_(std::move(data)), mapped_(std::move(mapped)), bit_index_(data_.num_bits) {}

    void insert(HashPair pair);
    bool test(HashPair pair) const;
    // Lists the positions of blocks of items, prefetching them, and visits each item's.
    template <bool for_writing, class Words, class PairOf, class Visit>
    bool for_each_listed(const Words& words, std::size_t count, PairOf&& pair_of, Visit&& visit) const;
    // insert(pair_of(i)) for i = 0 .. count-1.
    template <class PairOf>
    void insert_all(std::size_t count, PairOf&& pair_of);
    // process(pairs) for the hash pairs of each run of items, in order.
    template <class Process>
    void for_each_hashed_run(std::span<const std::string_view> items, Process&& process) const;
    // Tests items 0 .. count-1 against `words`, whose hash pairs come from
    // pair_of(i), writing answers[i]; test_all makes the answers and finds the words.
    template <class Words, class PairOf>
    void test_into(const Words& words, std::size_t count, PairOf&& pair_of, std::uint8_t* answers) const;
    // One answer per item 0 .. count-1, whose hash pairs come from pair_of(i).
    template <class PairOf>
    std::vector<std::uint8_t> test_all(std::size_t count, PairOf&& pair_of) const;

    // read(words): the bits' words, owned or mapped (after checking that the
    // file still holds them), as one type or the other.
    template <class Read>
    decltype(auto) with_words(Read&& read) const {
        if (mapped_) {
            mapped_->require_whole_file();
            return read(*mapped_);
        }
        return read(data_.bits.data());
    }

    BloomFilterData data_;  // an opened filter keeps its bits in mapped_ instead
    std::optional<MappedWords> mapped_;
    // Reduces a position's value to its bit, v % num_bits, without a hardware
    // division: a filter computes k of them per item.
    FixedDivisor bit_index_;
};

}  // namespace velt
