#include "core/scalable_bloom.hpp"

#include <algorithm>
#include <cmath>
#include <new>

#include "core/bloom_sizing.hpp"
#include "core/error.hpp"
#include "core/platform/hints.hpp"
#include "core/saturating.hpp"

namespace velt {
namespace {

// Both fail for NaN.
bool is_probability(double rate) { return rate > 0.0 && rate < 1.0; }
bool is_growth_ratio(double ratio) { return ratio > 1.0 && std::isfinite(ratio); }

bool slice_is_malformed(const BloomFilterSlice& slice) {
    return slice.capacity == 0 || slice.num_bits == 0 || slice.num_hashes == 0 || slice.count > slice.capacity ||
           slice.bits.size() != word_count(slice.num_bits) || !is_probability(slice.fpr);
}

// An empty slice sized for `capacity` items at `rate` by the Bloom filter's rules.
BloomFilterSlice sized_slice(std::uint64_t capacity, double rate) {
    BloomFilterSlice slice;
    slice.num_bits = optimal_num_bits(capacity, rate);
    slice.num_hashes = optimal_num_hashes(slice.num_bits, capacity);
    slice.capacity = capacity;
    slice.fpr = rate;
    // A chain grown far enough (or a rate that underflowed to 0) asks for more
    // bits than any machine holds: refuse before touching memory.
    const std::uint64_t words = word_count(slice.num_bits);
    check_total_allocation(saturating_multiply(words, sizeof(std::uint64_t)));
    slice.bits.resize(words);
    return slice;
}

}  // namespace

ScalableBloomFilter ScalableBloomFilter::create(std::uint64_t initial_capacity, double false_positive_rate,
                                                double growth_ratio, double fpr_ratio, std::uint64_t seed) {
    if (initial_capacity == 0) throw ValueError("initial_capacity must be positive");
    if (!is_probability(false_positive_rate)) {
        throw ValueError("false_positive_rate must be between 0 and 1 (exclusive)");
    }
    if (!is_growth_ratio(growth_ratio)) throw ValueError("growth_ratio must be greater than 1");
    if (!is_probability(fpr_ratio)) throw ValueError("fpr_ratio must be between 0 and 1 (exclusive)");

    ScalableBloomFilterData data;
    data.initial_capacity = initial_capacity;
    data.initial_fpr = false_positive_rate;
    data.growth_ratio = growth_ratio;
    data.fpr_ratio = fpr_ratio;
    data.seed = seed;
    ScalableBloomFilter filter(std::move(data));
    filter.data_.slices.push_back(filter.first_slice());
    return filter;
}

ScalableBloomFilter ScalableBloomFilter::from_record(ScalableBloomFilterData record) {
    if (record.initial_capacity == 0) {
        throw ValueError("Invalid Scalable Bloom filter: initial capacity must be positive");
    }
    if (!is_probability(record.initial_fpr)) {
        throw ValueError("Invalid Scalable Bloom filter: false-positive rate is out of range");
    }
    if (!is_growth_ratio(record.growth_ratio) || !is_probability(record.fpr_ratio)) {
        throw ValueError("Invalid Scalable Bloom filter: growth parameters are out of range");
    }
    for (const BloomFilterSlice& slice : record.slices) {
        if (slice_is_malformed(slice)) throw ValueError("Invalid Scalable Bloom filter: malformed slice metadata");
    }
    return ScalableBloomFilter(std::move(record));
}

BloomFilterSlice ScalableBloomFilter::first_slice() const {
    return sized_slice(data_.initial_capacity, data_.initial_fpr * (1.0 - data_.fpr_ratio));
}

// Each slice holds floor(growth_ratio x c') items (saturating) at rate q' x
// fpr_ratio, where c' and q' are those of the slice before it.
BloomFilterSlice ScalableBloomFilter::next_slice() const {
    if (data_.slices.empty()) return first_slice();
    const BloomFilterSlice& last = data_.slices.back();
    return sized_slice(saturating_u64(data_.growth_ratio * static_cast<double>(last.capacity)),
                       last.fpr * data_.fpr_ratio);
}

void ScalableBloomFilter::insert(HashPair pair) {
    if (test(pair)) return;
    if (data_.slices.empty() || data_.slices.back().count >= data_.slices.back().capacity) {
        // The new slice is complete before the chain changes, so a failure changes nothing.
        data_.slices.push_back(next_slice());
    }
    BloomFilterSlice& last = data_.slices.back();
    set_bits(last.bits.data(), pair, last.num_hashes, last.num_bits);
    ++last.count;  // below capacity, so it cannot wrap
}

bool ScalableBloomFilter::test(HashPair pair) const {
    for (const BloomFilterSlice& slice : data_.slices) {
        if (test_bits(slice.bits.data(), pair, slice.num_hashes, slice.num_bits)) return true;
    }
    return false;
}

// Batches prefetch the word of each item's first position in every slice.
void ScalableBloomFilter::prefetch(HashPair pair) const {
    for (const BloomFilterSlice& slice : data_.slices) platform::prefetch_for_read(&slice.bits[pair.h1 % slice.num_bits / 64]);
}

template <class PairOf>
void ScalableBloomFilter::insert_all(std::size_t count, PairOf&& pair_of) {
    for_each_in_blocks(
        count, pair_of, [this](HashPair pair) { prefetch(pair); }, [this](std::size_t, HashPair pair) { insert(pair); });
}

template <class PairOf>
std::vector<std::uint8_t> ScalableBloomFilter::test_all(std::size_t count, PairOf&& pair_of) const {
    return answers_in_blocks(
        count, pair_of, [this](HashPair pair) { prefetch(pair); }, [this](HashPair pair) { return test(pair); });
}

void ScalableBloomFilter::update(std::span<const std::string_view> items) {
    insert_all(items.size(), item_pairs(items, data_.seed));
}

void ScalableBloomFilter::update_hashes(std::span<const std::uint64_t> hashes) {
    insert_all(hashes.size(), caller_hash_pairs(hashes, data_.seed));
}

std::vector<std::uint8_t> ScalableBloomFilter::query_many(std::span<const std::string_view> items) const {
    return test_all(items.size(), item_pairs(items, data_.seed));
}

std::vector<std::uint8_t> ScalableBloomFilter::query_hashes(std::span<const std::uint64_t> hashes) const {
    return test_all(hashes.size(), caller_hash_pairs(hashes, data_.seed));
}

void ScalableBloomFilter::clear() {
    // The fresh slice is built before the old ones go, so a failure changes
    // nothing; the emptied vector keeps its room, so the push cannot fail.
    BloomFilterSlice fresh = first_slice();
    data_.slices.clear();
    data_.slices.push_back(std::move(fresh));
}

std::uint64_t ScalableBloomFilter::count() const {
    std::uint64_t total = 0;
    for (const BloomFilterSlice& slice : data_.slices) total = saturating_add(total, slice.count);
    return total;
}

std::uint64_t ScalableBloomFilter::capacity() const {
    std::uint64_t total = 0;
    for (const BloomFilterSlice& slice : data_.slices) total = saturating_add(total, slice.capacity);
    return total;
}

std::uint64_t ScalableBloomFilter::size_in_bytes() const {
    std::uint64_t total = 0;
    for (const BloomFilterSlice& slice : data_.slices) total += 8 * static_cast<std::uint64_t>(slice.bits.size());
    return total;
}

double ScalableBloomFilter::false_positive_rate() const {
    double all_miss = 1.0;
    for (const BloomFilterSlice& slice : data_.slices) all_miss *= 1.0 - slice.fpr;
    return 1.0 - all_miss;
}

std::string_view ScalableBloomFilter::health() const {
    return false_positive_rate() > data_.initial_fpr ? "warning" : "healthy";
}

std::string ScalableBloomFilter::repr() const {
    return "ScalableBloomFilter(slices=" + std::to_string(num_slices()) + ", count=" + std::to_string(count()) +
           ", size=" + std::to_string(size_in_bytes()) + "B)";
}

}  // namespace velt
