// The split-block Bloom filter (Putze, Sanders and Singler 2007, "Cache-,
// hash- and space-efficient Bloom filters"), in the layout of Apache Parquet's
// and Impala's filters: an array of 256-bit blocks, each of eight 32-bit
// words. An item sets one bit in each word of one block, so that adding or
// testing it touches a single cache line. It needs more bits than the classic
// filter for the same rate (the blocks' loads vary), and answers faster.
// Membership answers have false positives but never false negatives.
#pragma once

#include <array>
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
#include "core/mapped_words.hpp"

namespace velt {

// The filter's whole state, which is also its serialised record.
struct BlockedBloomFilterData {
    static constexpr std::string_view record_name = "BlockedBloomFilterData";

    // Block b is the four words 4b .. 4b + 3. Its 32-bit word w (0 .. 7) is the
    // low half (w even) or the high half (w odd) of word 4b + w / 2, which is
    // where a little-endian machine keeps Parquet's eight 32-bit words.
    LargeArray<std::uint64_t> blocks;
    std::uint64_t num_blocks = 0;
    std::uint64_t count = 0;  // insertions performed, saturating
    std::uint64_t seed = 0;

    template <class Visitor>
    void fields(Visitor& visit) {
        visit("blocks", blocks);
        visit("num_blocks", num_blocks);
        visit("count", count);
        visit("seed", seed);
    }
};

// Where an item goes: its block, and the bits it sets in each of the block's four words.
struct BlockPlacement {
    std::uint64_t block;
    std::array<std::uint64_t, 4> masks;
};

namespace split_block {

inline constexpr std::uint64_t words_per_block = 4;
inline constexpr std::uint64_t bits_per_block = 64 * words_per_block;

// The block is chosen by multiplying the hash's high 32 bits by the block
// count and keeping the high half of the product: at most 2^32 blocks (128 GiB).
inline constexpr std::uint64_t max_blocks = std::uint64_t{1} << 32;

// The eight odd multipliers of the Parquet and Impala split-block filters.
inline constexpr std::uint32_t salts[8] = {0x47b6137bU, 0x44974d91U, 0x8824ad5bU, 0xa2b7289dU,
                                           0x705495c7U, 0x2df1424bU, 0x9efc4947U, 0x5c6bfb31U};

// The block of a hash: (hash's high half * num_blocks) >> 32.
inline std::uint64_t block_of(std::uint64_t hash, std::uint64_t num_blocks) { return ((hash >> 32) * num_blocks) >> 32; }

// In the block's 32-bit word w, bit (key * salts[w] mod 2^32) >> 27, where the
// key is the hash's low half. The eight words are computed alike, lane by lane,
// so that the compiler may do them at once in vector registers.
inline BlockPlacement place(std::uint64_t hash, std::uint64_t num_blocks) {
    const auto key = static_cast<std::uint32_t>(hash);
    std::uint32_t word_masks[8];
    for (unsigned w = 0; w < 8; ++w) word_masks[w] = std::uint32_t{1} << (static_cast<std::uint32_t>(key * salts[w]) >> 27);
    BlockPlacement placement{block_of(hash, num_blocks), {}};
    for (unsigned i = 0; i < 4; ++i) {
        placement.masks[i] = word_masks[2 * i] | (std::uint64_t{word_masks[2 * i + 1]} << 32);
    }
    return placement;
}

// The predicted false-positive rate of a filter holding `items_per_block` items
// per block on average: the block loads are Poisson distributed, and a block
// that holds j items answers a foreign key falsely with (1 - (31/32)^j)^8.
double predicted_rate(double items_per_block);

// The fewest blocks whose predicted rate for `expected_items` is at most `rate`.
// Throws ValueError when even max_blocks do not reach it.
std::uint64_t blocks_for(std::uint64_t expected_items, double rate);

}  // namespace split_block

class BlockedBloomFilter {
public:
    using Record = BlockedBloomFilterData;
    static constexpr codec::Format format{"VTBB", 1};
    static constexpr FileErrorStyle file_errors = FileErrorStyle::separate;

    // Sizes the filter from the expected item count and target rate, or takes num_blocks as given.
    static BlockedBloomFilter create(std::optional<std::uint64_t> expected_items, double false_positive_rate,
                                     std::optional<std::uint64_t> num_blocks, std::uint64_t seed);
    // A filter from a decoded record, after checking it.
    static BlockedBloomFilter from_record(BlockedBloomFilterData record);
    // The filter saved at `path`, read in place from a read-only mapping of the
    // file; `verify` checks the payload's checksum (the header is always checked).
    static BlockedBloomFilter open(const std::string& path, bool verify);

    // A copy is always writable: an opened filter's blocks are copied out of the mapping.
    BlockedBloomFilter(const BlockedBloomFilter& other);
    BlockedBloomFilter(BlockedBloomFilter&&) noexcept = default;
    BlockedBloomFilter& operator=(const BlockedBloomFilter&) = delete;
    BlockedBloomFilter& operator=(BlockedBloomFilter&&) noexcept = default;

    // The record of a writable filter (an opened one is written from a copy).
    const BlockedBloomFilterData& record() const { return data_; }
    bool is_read_only() const { return mapped_.has_value(); }

    void add(std::string_view item) { insert(hash_with_seed(item, data_.seed)); }
    void add_hash(std::uint64_t hash) { insert(mix_caller_hash(hash, data_.seed)); }
    bool contains(std::string_view item) const { return test(hash_with_seed(item, data_.seed)); }
    bool contains_hash(std::uint64_t hash) const { return test(mix_caller_hash(hash, data_.seed)); }

    void update(std::span<const std::string_view> items);
    void update_hashes(std::span<const std::uint64_t> hashes);
    // One answer (0 or 1) per item, in order.
    std::vector<std::uint8_t> query_many(std::span<const std::string_view> items) const;
    std::vector<std::uint8_t> query_hashes(std::span<const std::uint64_t> hashes) const;

    // Batches in two steps, for items converted a block at a time: the hashes
    // of the items (which change nothing), then inserting or testing them.
    using ItemHash = std::uint64_t;
    void hash_items(std::span<const std::string_view> items, ItemHash* out) const;
    void update_hashed(std::span<const ItemHash> hashes);
    std::vector<std::uint8_t> query_hashed(std::span<const ItemHash> hashes) const;

    void merge(const BlockedBloomFilter& other);
    BlockedBloomFilter intersection(const BlockedBloomFilter& other) const;
    void clear();

    std::uint64_t num_blocks() const { return data_.num_blocks; }
    std::uint64_t num_bits() const { return split_block::bits_per_block * data_.num_blocks; }
    std::uint64_t count() const { return data_.count; }
    std::uint64_t seed() const { return data_.seed; }
    std::uint64_t size_in_bytes() const { return split_block::bits_per_block / 8 * data_.num_blocks; }

    std::uint64_t bit_count() const;
    double fill_ratio() const;
    double false_positive_rate() const;
    double estimate_count() const;
    std::string_view health() const;
    bool is_saturated() const;
    std::string repr() const;

private:
    BlockedBloomFilter(BlockedBloomFilterData data, std::optional<MappedWords> mapped)
        : data_(std::move(data)), mapped_(std::move(mapped)) {}

    void insert(std::uint64_t hash);
    bool test(std::uint64_t hash) const;
    // Sets the bits of every hash (an item's or a caller's, mixed already).
    void set_blocks(std::span<const std::uint64_t> hashes);
    // insert(hash_of(i)) for i = 0 .. count-1, and test likewise.
    template <class HashOf>
    void insert_all(std::size_t count, HashOf&& hash_of);
    template <class HashOf>
    std::vector<std::uint8_t> test_all(std::size_t count, HashOf&& hash_of) const;
    // read(words): the words of the blocks, owned or mapped (after checking
    // that the file still holds them), as one type or the other.
    template <class Read>
    decltype(auto) with_words(Read&& read) const {
        if (mapped_) {
            mapped_->require_whole_file();
            return read(*mapped_);
        }
        return read(data_.blocks.data());
    }

    BlockedBloomFilterData data_;  // an opened filter keeps its blocks in mapped_ instead
    std::optional<MappedWords> mapped_;
};

}  // namespace velt
