#include "core/blocked_bloom.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>

#include "core/bloom_sizing.hpp"
#include "core/error.hpp"
#include "core/platform/hints.hpp"
#include "core/platform/vector_lanes.hpp"
#include "core/saturating.hpp"
#include "core/tuning.hpp"

namespace velt {

namespace split_block {

double predicted_rate(double items_per_block) {
    // From this load on, every block load within twelve standard deviations of
    // the mean gives (1 - (31/32)^j)^8 = 1 to the last bit of a double.
    constexpr double certain_load = 4096.0;
    if (items_per_block >= certain_load) return 1.0;
    const double spread = 12.0 * std::sqrt(items_per_block) + 20.0;
    const auto first = static_cast<std::uint64_t>(std::max(0.0, items_per_block - spread));
    const auto last = static_cast<std::uint64_t>(items_per_block + spread);
    const double log_load = std::log(items_per_block);
    double rate = 0.0;
    for (std::uint64_t j = first; j <= last; ++j) {
        const double load = static_cast<double>(j);
        const double probability = std::exp(load * log_load - items_per_block - std::lgamma(load + 1.0));
        rate += probability * std::pow(1.0 - std::pow(31.0 / 32.0, load), 8.0);
    }
    return rate;
}

std::uint64_t blocks_for(std::uint64_t expected_items, double rate) {
    const auto meets = [&](std::uint64_t blocks) {
        return predicted_rate(static_cast<double>(expected_items) / static_cast<double>(blocks)) <= rate;
    };
    if (!meets(max_blocks)) {
        throw ValueError("expected_items and false_positive_rate need more than 4294967296 blocks");
    }
    // The predicted rate falls as blocks are added: the fewest that meet it, by bisection.
    std::uint64_t low = 1, high = max_blocks;
    while (low < high) {
        const std::uint64_t middle = low + (high - low) / 2;
        if (meets(middle)) high = middle;
        else low = middle + 1;
    }
    return low;
}

}  // namespace split_block

namespace {

using split_block::words_per_block;

// Checks a record's settings against its word count (the fields but the words).
void check_settings(const BlockedBloomFilterData& record, std::uint64_t word_count) {
    if (record.num_blocks == 0) throw ValueError("num_blocks must be positive");
    if (record.num_blocks > split_block::max_blocks) throw ValueError("num_blocks must be at most 4294967296");
    if (word_count != words_per_block * record.num_blocks) {
        throw ValueError("block array length does not match num_blocks");
    }
}

template <class Words>
bool test_block(const Words& words, const BlockPlacement& placement) {
    const std::uint64_t first = words_per_block * placement.block;
    bool all = true;
    for (std::uint64_t w = 0; w < words_per_block; ++w) {
        all &= (words[first + w] & placement.masks[w]) == placement.masks[w];
    }
    return all;
}

void set_block(std::uint64_t* words, const BlockPlacement& placement) {
    std::uint64_t* block = words + words_per_block * placement.block;
    for (std::uint64_t w = 0; w < words_per_block; ++w) block[w] |= placement.masks[w];
}

// A block straddles two cache lines where the words are not 32-byte aligned
// (in a mapped file): both are fetched.
template <class Words>
void prefetch_block(const Words& words, std::uint64_t block) {
    platform::prefetch_for_read(word_address(words, words_per_block * block));
    platform::prefetch_for_read(word_address(words, words_per_block * block + words_per_block - 1));
}

// Calls visit(i, placement of hashes[i]) for every hash in order, having
// prefetched the block of the hash tuning::blocked_prefetch_distance places
// on: that many cache misses are in flight at once, while the blocks already
// fetched are visited.
template <class Prefetch, class Visit>
void for_each_placement(std::span<const std::uint64_t> hashes, std::uint64_t num_blocks, Prefetch&& prefetch,
                        Visit&& visit) {
    constexpr std::size_t distance = tuning::blocked_prefetch_distance;
    const std::size_t ahead = std::min(distance, hashes.size());
    for (std::size_t i = 0; i < ahead; ++i) prefetch(split_block::block_of(hashes[i], num_blocks));
    for (std::size_t i = 0; i < hashes.size(); ++i) {
        if (i + distance < hashes.size()) prefetch(split_block::block_of(hashes[i + distance], num_blocks));
        visit(i, split_block::place(hashes[i], num_blocks));
    }
}

// set_block for every hash, as for_each_placement goes, with the eight words
// of a block computed at once in vector lanes (where the processor has them:
// in scalar code, computing the bits costs more than fetching the blocks).
// Written out rather than through lambdas, which would not be compiled for the
// vector instructions.
VELT_TARGET_AVX2 void set_blocks_in_lanes(std::uint64_t* words, std::span<const std::uint64_t> hashes,
                                            std::uint64_t num_blocks) {
#if VELT_HAS_AVX2_LANES
    constexpr std::size_t distance = tuning::blocked_prefetch_distance;
    const auto block = [&](std::size_t i) { return words + words_per_block * split_block::block_of(hashes[i], num_blocks); };
    for (std::size_t i = 0; i < std::min(distance, hashes.size()); ++i) platform::prefetch_for_write(block(i));
    for (std::size_t i = 0; i < hashes.size(); ++i) {
        if (i + distance < hashes.size()) platform::prefetch_for_write(block(i + distance));
        platform::or_salted_bits(block(i), static_cast<std::uint32_t>(hashes[i]), split_block::salts);
    }
#else
    static_cast<void>(words);
    static_cast<void>(hashes);
    static_cast<void>(num_blocks);
#endif
}

// test_blocks with the eight words of a block tested at once in vector lanes,
// written out as set_blocks_in_lanes is. The words are little-endian in memory
// whether owned or mapped, as the processors with these lanes keep them.
template <class Words>
VELT_TARGET_AVX2 void test_blocks_in_lanes(const Words& words, std::span<const std::uint64_t> hashes,
                                             std::uint64_t num_blocks, std::uint8_t* answers) {
#if VELT_HAS_AVX2_LANES
    constexpr std::size_t distance = tuning::blocked_prefetch_distance;
    const auto block = [&](std::size_t i) { return split_block::block_of(hashes[i], num_blocks); };
    for (std::size_t i = 0; i < std::min(distance, hashes.size()); ++i) prefetch_block(words, block(i));
    for (std::size_t i = 0; i < hashes.size(); ++i) {
        if (i + distance < hashes.size()) prefetch_block(words, block(i + distance));
        const void* first_word = word_address(words, words_per_block * block(i));
        answers[i] = platform::has_salted_bits(first_word, static_cast<std::uint32_t>(hashes[i]), split_block::salts);
    }
#else
    static_cast<void>(words);
    static_cast<void>(hashes);
    static_cast<void>(num_blocks);
    static_cast<void>(answers);
#endif
}

// Writes whether each hash's bits are all set.
template <class Words>
void test_blocks(const Words& words, std::span<const std::uint64_t> hashes, std::uint64_t num_blocks,
                 std::uint8_t* answers) {
    if (VELT_HAS_AVX2_LANES && platform::cpu_has_avx2()) {
        test_blocks_in_lanes(words, hashes, num_blocks, answers);
        return;
    }
    for_each_placement(
        hashes, num_blocks, [&](std::uint64_t block) { prefetch_block(words, block); },
        [&](std::size_t i, const BlockPlacement& placement) { answers[i] = test_block(words, placement); });
}

// Calls process(start, hashes) on the hashes of items 0 .. count-1 (hash_of(i)), a run
// of them at a time: a run is hashed before its blocks are touched, so that
// hashing reads the items in sequence without waiting on the filter.
template <class HashOf, class Process>
void for_each_hashed_run(std::size_t count, HashOf&& hash_of, Process&& process) {
    std::uint64_t hashes[tuning::blocked_hashes_per_run];
    for (std::size_t start = 0; start < count; start += std::size(hashes)) {
        const std::size_t size = std::min(std::size(hashes), count - start);
        for (std::size_t j = 0; j < size; ++j) hashes[j] = hash_of(start + j);
        process(start, std::span<const std::uint64_t>(hashes, size));
    }
}

}  // namespace

BlockedBloomFilter BlockedBloomFilter::create(std::optional<std::uint64_t> expected_items, double false_positive_rate,
                                              std::optional<std::uint64_t> num_blocks, std::uint64_t seed) {
    if (!(false_positive_rate > 0.0 && false_positive_rate < 1.0)) {
        throw ValueError("false_positive_rate must be between 0 and 1 (exclusive)");
    }
    if (expected_items && *expected_items == 0) throw ValueError("expected_items must be positive");
    if (!num_blocks && !expected_items) throw ValueError("Either expected_items or num_blocks must be provided");
    BlockedBloomFilterData data;
    data.num_blocks = num_blocks ? *num_blocks : split_block::blocks_for(*expected_items, false_positive_rate);
    check_settings(data, words_per_block * data.num_blocks);
    data.blocks.resize(words_per_block * data.num_blocks);
    data.seed = seed;
    return BlockedBloomFilter(std::move(data), std::nullopt);
}

BlockedBloomFilter BlockedBloomFilter::from_record(BlockedBloomFilterData record) {
    check_settings(record, record.blocks.size());
    return BlockedBloomFilter(std::move(record), std::nullopt);
}

BlockedBloomFilter BlockedBloomFilter::open(const std::string& path, bool verify) {
    auto [fields, words] = open_record<BlockedBloomFilterData>(path, format, verify);
    check_settings(fields, words.size());
    return BlockedBloomFilter(std::move(fields), std::move(words));
}

BlockedBloomFilter::BlockedBloomFilter(const BlockedBloomFilter& other) : data_(other.data_) {
    if (other.mapped_) data_.blocks = other.mapped_->copy();
}

void BlockedBloomFilter::insert(std::uint64_t hash) {
    set_block(data_.blocks.data(), split_block::place(hash, data_.num_blocks));
    if (data_.count != max_u64) ++data_.count;
}

bool BlockedBloomFilter::test(std::uint64_t hash) const {
    // One item is not worth a look at the file's size (see with_words).
    const BlockPlacement placement = split_block::place(hash, data_.num_blocks);
    return mapped_ ? test_block(*mapped_, placement) : test_block(data_.blocks.data(), placement);
}

template <class HashOf>
void BlockedBloomFilter::insert_all(std::size_t count, HashOf&& hash_of) {
    for_each_hashed_run(count, hash_of, [&](std::size_t, std::span<const std::uint64_t> hashes) { set_blocks(hashes); });
}

void BlockedBloomFilter::set_blocks(std::span<const std::uint64_t> hashes) {
    std::uint64_t* words = data_.blocks.data();
    if (VELT_HAS_AVX2_LANES && platform::cpu_has_avx2()) {
        set_blocks_in_lanes(words, hashes, data_.num_blocks);
    } else {
        for_each_placement(
            hashes, data_.num_blocks, [&](std::uint64_t block) { platform::prefetch_for_write(words + words_per_block * block); },
            [&](std::size_t, const BlockPlacement& placement) { set_block(words, placement); });
    }
    data_.count = saturating_add(data_.count, hashes.size());
}

void BlockedBloomFilter::update(std::span<const std::string_view> items) {
    insert_all(items.size(), [&](std::size_t i) { return hash_with_seed(item_prefetching_ahead(items, i), data_.seed); });
}

void BlockedBloomFilter::update_hashes(std::span<const std::uint64_t> hashes) {
    insert_all(hashes.size(), [&](std::size_t i) { return mix_caller_hash(hashes[i], data_.seed); });
}

template <class HashOf>
std::vector<std::uint8_t> BlockedBloomFilter::test_all(std::size_t count, HashOf&& hash_of) const {
    std::vector<std::uint8_t> answers(count);
    with_words([&](const auto& words) {
        for_each_hashed_run(count, hash_of, [&](std::size_t start, std::span<const std::uint64_t> hashes) {
            test_blocks(words, hashes, data_.num_blocks, answers.data() + start);
        });
    });
    return answers;
}

std::vector<std::uint8_t> BlockedBloomFilter::query_many(std::span<const std::string_view> items) const {
    return test_all(items.size(),
                    [&](std::size_t i) { return hash_with_seed(item_prefetching_ahead(items, i), data_.seed); });
}

std::vector<std::uint8_t> BlockedBloomFilter::query_hashes(std::span<const std::uint64_t> hashes) const {
    return test_all(hashes.size(), [&](std::size_t i) { return mix_caller_hash(hashes[i], data_.seed); });
}

void BlockedBloomFilter::hash_items(std::span<const std::string_view> items, ItemHash* out) const {
    for (std::size_t i = 0; i < items.size(); ++i) out[i] = hash_with_seed(item_prefetching_ahead(items, i), data_.seed);
}

void BlockedBloomFilter::update_hashed(std::span<const ItemHash> hashes) { set_blocks(hashes); }

std::vector<std::uint8_t> BlockedBloomFilter::query_hashed(std::span<const ItemHash> hashes) const {
    std::vector<std::uint8_t> answers(hashes.size());
    with_words([&](const auto& words) { test_blocks(words, hashes, data_.num_blocks, answers.data()); });
    return answers;
}

void BlockedBloomFilter::merge(const BlockedBloomFilter& other) {
    require_same_settings("merge", {{"num_blocks", data_.num_blocks, other.data_.num_blocks},
                                    {"seed", data_.seed, other.data_.seed}});
    other.with_words([&](const auto& theirs) {
        for (std::size_t i = 0; i < data_.blocks.size(); ++i) data_.blocks[i] |= theirs[i];
    });
    data_.count = saturating_add(data_.count, other.data_.count);
}

BlockedBloomFilter BlockedBloomFilter::intersection(const BlockedBloomFilter& other) const {
    if (data_.num_blocks != other.data_.num_blocks || data_.seed != other.data_.seed) {
        throw ValueError("Cannot intersect: filters must have same configuration");
    }
    BlockedBloomFilterData result;
    result.blocks.resize(words_per_block * data_.num_blocks);
    with_words([&](const auto& mine) {
        other.with_words([&](const auto& theirs) {
            for (std::size_t i = 0; i < result.blocks.size(); ++i) result.blocks[i] = mine[i] & theirs[i];
        });
    });
    result.num_blocks = data_.num_blocks;
    result.seed = data_.seed;
    return BlockedBloomFilter(std::move(result), std::nullopt);
}

void BlockedBloomFilter::clear() {
    std::fill(data_.blocks.begin(), data_.blocks.end(), 0);
    data_.count = 0;
}

std::uint64_t BlockedBloomFilter::bit_count() const {
    return with_words([&](const auto& words) {
        std::uint64_t set = 0;
        for (std::uint64_t i = 0; i < words_per_block * data_.num_blocks; ++i) {
            set += static_cast<std::uint64_t>(std::popcount(words[i]));
        }
        return set;
    });
}

double BlockedBloomFilter::fill_ratio() const {
    return static_cast<double>(bit_count()) / static_cast<double>(num_bits());
}

// The chance that a key foreign to the filter is found: the mean over blocks
// of the product of the shares of set bits in the block's eight 32-bit words.
double BlockedBloomFilter::false_positive_rate() const {
    return with_words([&](const auto& words) {
        double total = 0.0;
        for (std::uint64_t block = 0; block < data_.num_blocks; ++block) {
            double product = 1.0;
            for (std::uint64_t w = 0; w < words_per_block; ++w) {
                const std::uint64_t word = words[words_per_block * block + w];
                product *= static_cast<double>(std::popcount(static_cast<std::uint32_t>(word))) / 32.0;
                product *= static_cast<double>(std::popcount(static_cast<std::uint32_t>(word >> 32))) / 32.0;
            }
            total += product;
        }
        return total / static_cast<double>(data_.num_blocks);
    });
}

// Each item sets one of the 32 bits of a word in its block, so a bit stays
// clear after n items with probability (1 - 1 / (32 B))^n ~ exp(-n / (32 B)):
// the classic filter's estimate with m = 256 B bits and k = 8.
double BlockedBloomFilter::estimate_count() const {
    const double fill = fill_ratio();
    if (fill >= 1.0) return std::numeric_limits<double>::infinity();
    return std::log(1.0 - fill) * (-32.0 * static_cast<double>(data_.num_blocks));
}

std::string_view BlockedBloomFilter::health() const { return fill_health(fill_ratio()); }

bool BlockedBloomFilter::is_saturated() const { return fill_ratio() >= saturated_fill; }

std::string BlockedBloomFilter::repr() const {
    char fpr[32];
    std::snprintf(fpr, sizeof fpr, "%.4f", false_positive_rate());
    return "BlockedBloomFilter(num_blocks=" + std::to_string(data_.num_blocks) +
           ", count=" + std::to_string(data_.count) + ", fpr=" + fpr + (mapped_ ? ", read_only=True)" : ")");
}

}  // namespace velt
