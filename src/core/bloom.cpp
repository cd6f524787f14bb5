#include "core/bloom.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>

#include "core/bloom_sizing.hpp"
#include "core/error.hpp"
#include "core/platform/hints.hpp"
#include "core/saturating.hpp"
#include "core/tuning.hpp"

namespace velt {

BloomFilter BloomFilter::create(std::optional<std::uint64_t> expected_items, double false_positive_rate,
                                std::optional<std::uint64_t> num_bits, std::optional<std::uint32_t> num_hashes,
                                std::uint64_t seed) {
    const BloomShape shape = bloom_shape(expected_items, false_positive_rate, num_bits, num_hashes, "num_bits");
    BloomFilterData data;
    data.bits.resize(word_count(shape.size));
    data.num_bits = shape.size;
    data.num_hashes = shape.num_hashes;
    data.seed = seed;
    return BloomFilter(std::move(data));
}

namespace {

// Checks a record's settings against its words (the record's own, or a mapped file's).
template <class Words>
void check_record(const BloomFilterData& record, std::uint64_t word_total, const Words& words) {
    if (record.num_bits == 0) throw ValueError("num_bits must be positive");
    if (record.num_hashes == 0) throw ValueError("num_hashes must be positive");
    if (word_total != word_count(record.num_bits)) throw ValueError("bit array length does not match num_bits");
    const unsigned used_in_last_word = record.num_bits % 64;
    if (used_in_last_word != 0 && (words[word_total - 1] >> used_in_last_word) != 0) {
        throw ValueError("padding bits must be zero");
    }
}

}  // namespace

BloomFilter BloomFilter::from_record(BloomFilterData record) {
    check_record(record, record.bits.size(), record.bits.data());
    return BloomFilter(std::move(record));
}

BloomFilter BloomFilter::open(const std::string& path, bool verify) {
    auto [fields, words] = open_record<BloomFilterData>(path, format, verify);
    check_record(fields, words.size(), words);
    return BloomFilter(std::move(fields), std::move(words));
}

BloomFilter::BloomFilter(const BloomFilter& other) : data_(other.data_), bit_index_(other.bit_index_) {
    if (other.mapped_) data_.bits = other.mapped_->copy();
}

void BloomFilter::insert(HashPair pair) {
    set_bits(data_.bits.data(), pair, data_.num_hashes, bit_index_);
    if (data_.count != max_u64) ++data_.count;
}

// One item is not worth a look at the file's size (see with_words).
bool BloomFilter::test(HashPair pair) const {
    return mapped_ ? test_bits(*mapped_, pair, data_.num_hashes, bit_index_)
                   : test_bits(data_.bits.data(), pair, data_.num_hashes, bit_index_);
}

// Batches list the positions of a block of items before touching any bit,
// prefetching the word of each meanwhile, so that the cache misses of a block
// overlap instead of following one another. Calls visit(j, positions) for each
// item j of the block with its k listed positions; false when k is too large to
// list, and nothing was visited. Adds prefetch the words for writing.
template <bool for_writing, class Words, class PairOf, class Visit>
bool BloomFilter::for_each_listed(const Words& words, std::size_t count, PairOf&& pair_of, Visit&& visit) const {
    constexpr std::size_t most_listed = tuning::bloom_positions_per_block;
    const std::size_t k = data_.num_hashes;
    if (k > most_listed) return false;
    std::uint64_t positions[most_listed];
    const std::size_t block_size = most_listed / k;
    for (std::size_t start = 0; start < count; start += block_size) {
        const std::size_t size = std::min(block_size, count - start);
        std::uint64_t* next = positions;
        for (std::size_t j = 0; j < size; ++j) {
            for_each_position(pair_of(start + j), data_.num_hashes, bit_index_, [&](std::uint64_t position) {
                if constexpr (for_writing) platform::prefetch_for_write(word_address(words, position / 64));
                else platform::prefetch_for_read(word_address(words, position / 64));
                *next++ = position;
                return true;
            });
        }
        for (std::size_t j = 0; j < size; ++j) visit(start + j, std::span<const std::uint64_t>(positions + j * k, k));
    }
    return true;
}

template <class PairOf>
void BloomFilter::insert_all(std::size_t count, PairOf&& pair_of) {
    std::uint64_t* words = data_.bits.data();
    const bool listed = for_each_listed<true>(words, count, pair_of, [words](std::size_t, std::span<const std::uint64_t> positions) {
        for (const std::uint64_t position : positions) set_bit(words, position);
    });
    if (!listed) {
        for (std::size_t i = 0; i < count; ++i) insert(pair_of(i));
        return;
    }
    data_.count = saturating_add(data_.count, count);
}

// Items are hashed a run at a time before their positions are listed, as a
// list's are: interleaved, the hashing and the remainders of the positions
// contend for the multiplier. Calls process(pairs) on each run's hash pairs.
template <class Process>
void BloomFilter::for_each_hashed_run(std::span<const std::string_view> items, Process&& process) const {
    HashPair pairs[tuning::hashed_block_items];
    for (std::size_t start = 0; start < items.size(); start += std::size(pairs)) {
        const std::size_t size = std::min(std::size(pairs), items.size() - start);
        hash_items(items.subspan(start, size), pairs);
        process(std::span<const HashPair>(pairs, size));
    }
}

void BloomFilter::update(std::span<const std::string_view> items) {
    for_each_hashed_run(items, [&](std::span<const HashPair> pairs) { update_hashed(pairs); });
}

void BloomFilter::update_hashes(std::span<const std::uint64_t> hashes) {
    insert_all(hashes.size(), caller_hash_pairs(hashes, data_.seed));
}

// Queries list every position too: a query of a stored item reads all k words,
// and prefetching only the first would leave the other misses one after another.
// Writes answers[i] for items i = 0 .. count-1, whose hash pairs come from pair_of(i).
template <class Words, class PairOf>
void BloomFilter::test_into(const Words& words, std::size_t count, PairOf&& pair_of, std::uint8_t* answers) const {
    const bool listed =
        for_each_listed<false>(words, count, pair_of, [&](std::size_t i, std::span<const std::uint64_t> positions) {
            bool all_set = true;
            for (const std::uint64_t position : positions) all_set &= test_bit(words, position);
            answers[i] = all_set;
        });
    if (!listed) {
        for (std::size_t i = 0; i < count; ++i) answers[i] = test_bits(words, pair_of(i), data_.num_hashes, bit_index_);
    }
}

template <class PairOf>
std::vector<std::uint8_t> BloomFilter::test_all(std::size_t count, PairOf&& pair_of) const {
    std::vector<std::uint8_t> answers(count);
    with_words([&](const auto& words) { test_into(words, count, pair_of, answers.data()); });
    return answers;
}

std::vector<std::uint8_t> BloomFilter::query_many(std::span<const std::string_view> items) const {
    std::vector<std::uint8_t> answers(items.size());
    with_words([&](const auto& words) {
        std::uint8_t* next = answers.data();
        for_each_hashed_run(items, [&](std::span<const HashPair> pairs) {
            test_into(words, pairs.size(), [&](std::size_t i) { return pairs[i]; }, next);
            next += pairs.size();
        });
    });
    return answers;
}

std::vector<std::uint8_t> BloomFilter::query_hashes(std::span<const std::uint64_t> hashes) const {
    return test_all(hashes.size(), caller_hash_pairs(hashes, data_.seed));
}

void BloomFilter::hash_items(std::span<const std::string_view> items, ItemHash* out) const {
    for (std::size_t i = 0; i < items.size(); ++i) out[i] = hash_pair(item_prefetching_ahead(items, i), data_.seed);
}

void BloomFilter::update_hashed(std::span<const ItemHash> hashes) {
    insert_all(hashes.size(), [&](std::size_t i) { return hashes[i]; });
}

std::vector<std::uint8_t> BloomFilter::query_hashed(std::span<const ItemHash> hashes) const {
    return test_all(hashes.size(), [&](std::size_t i) { return hashes[i]; });
}

void BloomFilter::merge(const BloomFilter& other) {
    require_same_settings("merge", {{"num_bits", data_.num_bits, other.data_.num_bits},
                                    {"num_hashes", data_.num_hashes, other.data_.num_hashes},
                                    {"seed", data_.seed, other.data_.seed}});
    other.with_words([&](const auto& theirs) {
        for (std::size_t i = 0; i < data_.bits.size(); ++i) data_.bits[i] |= theirs[i];
    });
    data_.count = saturating_add(data_.count, other.data_.count);
}

BloomFilter BloomFilter::intersection(const BloomFilter& other) const {
    if (data_.num_bits != other.data_.num_bits || data_.num_hashes != other.data_.num_hashes ||
        data_.seed != other.data_.seed) {
        throw ValueError("Cannot intersect: filters must have same configuration");
    }
    BloomFilterData result;
    result.bits.resize(word_count(data_.num_bits));
    with_words([&](const auto& mine) {
        other.with_words([&](const auto& theirs) {
            for (std::size_t i = 0; i < result.bits.size(); ++i) result.bits[i] = mine[i] & theirs[i];
        });
    });
    result.num_bits = data_.num_bits;
    result.num_hashes = data_.num_hashes;
    result.seed = data_.seed;
    return BloomFilter(std::move(result));
}

void BloomFilter::clear() {
    std::fill(data_.bits.begin(), data_.bits.end(), 0);
    data_.count = 0;
}

std::uint64_t BloomFilter::bit_count() const {
    return with_words([&](const auto& words) {
        std::uint64_t set = 0;
        for (std::uint64_t i = 0; i < word_count(data_.num_bits); ++i) {
            set += static_cast<std::uint64_t>(std::popcount(words[i]));
        }
        return set;
    });
}

double BloomFilter::fill_ratio() const {
    return static_cast<double>(bit_count()) / static_cast<double>(data_.num_bits);
}

double BloomFilter::false_positive_rate() const {
    return std::pow(fill_ratio(), static_cast<double>(data_.num_hashes));
}

double BloomFilter::estimate_count() const {
    const double fill = fill_ratio();
    if (fill >= 1.0) return std::numeric_limits<double>::infinity();
    // An empty filter gives -0.0.
    return std::log(1.0 - fill) *
           (-static_cast<double>(data_.num_bits) / static_cast<double>(data_.num_hashes));
}

std::string_view BloomFilter::health() const { return fill_health(fill_ratio()); }

bool BloomFilter::is_saturated() const { return fill_ratio() >= saturated_fill; }

std::string BloomFilter::repr() const {
    char fpr[32];
    std::snprintf(fpr, sizeof fpr, "%.4f", false_positive_rate());
    return "BloomFilter(num_bits=" + std::to_string(data_.num_bits) +
           ", num_hashes=" + std::to_string(data_.num_hashes) + ", count=" + std::to_string(data_.count) +
           ", fpr=" + fpr + (mapped_ ? ", read_only=True)" : ")");
}

}  // namespace velt
