#include "core/counting_bloom.hpp"

#include <algorithm>
#include <cmath>

#include "core/bloom_sizing.hpp"
#include "core/error.hpp"
#include "core/platform/hints.hpp"
#include "core/saturating.hpp"
#include "core/tuning.hpp"

namespace velt {
namespace {

constexpr const char* capacity_exceeded = "counter capacity exceeded; create a larger filter or clear it";

}  // namespace

CountingBloomFilter CountingBloomFilter::create(std::optional<std::uint64_t> expected_items,
                                                double false_positive_rate,
                                                std::optional<std::uint64_t> num_counters,
                                                std::optional<std::uint32_t> num_hashes, std::uint64_t seed) {
    const BloomShape shape = bloom_shape(expected_items, false_positive_rate, num_counters, num_hashes, "num_counters");
    CountingBloomFilterData data;
    data.counters.resize(shape.size);
    data.num_counters = shape.size;
    data.num_hashes = shape.num_hashes;
    data.seed = seed;
    return CountingBloomFilter(std::move(data));
}

CountingBloomFilter CountingBloomFilter::from_record(CountingBloomFilterData record) {
    if (record.num_counters == 0) throw ValueError("num_counters must be positive");
    if (record.num_hashes == 0) throw ValueError("num_hashes must be positive");
    if (record.counters.size() != record.num_counters) {
        throw ValueError("counter array length does not match num_counters");
    }
    // Neither the counters nor the count are checked against anything.
    return CountingBloomFilter(std::move(record));
}

// ---- Adding ------------------------------------------------------------------------

void CountingBloomFilter::refuse_impossible_adds() const {
    // More increments than all counters together can take: some run is too long
    // for its counter, whatever the positions. Refused before listing them.
    if (data_.num_hashes > saturating_multiply(data_.num_counters, counter_limit)) {
        throw OverflowError(capacity_exceeded);
    }
}

void CountingBloomFilter::list_positions(HashPair pair, std::uint64_t* positions) const {
    std::uint64_t* next = positions;
    for_each_position(pair, data_.num_hashes, data_.num_counters, [&next](std::uint64_t position) {
        *next++ = position;
        return true;
    });
}

// Positions may repeat, and a position that occurs r times takes r increments.
// Every counter is checked before anything changes, so a refusal needs no undo.
// No counter can take more increments than there are positions: when every one
// has that much room, as is usual, no closer look is needed. Otherwise sorting
// brings the repeats together and each run is checked against its counter.
void CountingBloomFilter::add_positions(std::span<std::uint64_t> positions) {
    std::uint8_t* counters = data_.counters.data();
    const bool all_have_room = std::all_of(positions.begin(), positions.end(), [&](std::uint64_t position) {
        return positions.size() <= std::uint64_t{counter_limit} - counters[position];
    });
    if (!all_have_room) {
        std::sort(positions.begin(), positions.end());
        for (auto run = positions.begin(); run != positions.end();) {
            const auto run_end = std::upper_bound(run, positions.end(), *run);
            if (static_cast<std::uint64_t>(run_end - run) > std::uint64_t{counter_limit} - counters[*run]) {
                throw OverflowError(capacity_exceeded);
            }
            run = run_end;
        }
    }
    for (std::uint64_t position : positions) ++counters[position];
    data_.count = saturating_add(data_.count, 1);
}

void CountingBloomFilter::add_hash_pair(HashPair pair) {
    refuse_impossible_adds();
    std::vector<std::uint64_t> positions(data_.num_hashes);
    list_positions(pair, positions.data());
    add_positions(positions);
}

// Batches list the positions of a block of items before touching the counters,
// prefetching each one meanwhile, so that the cache misses of a block overlap
// instead of following one another. Items are still added one by one, in order.
template <class PairOf>
void CountingBloomFilter::add_all(std::size_t count, PairOf&& pair_of) {
    if (count == 0) return;
    refuse_impossible_adds();
    const std::size_t k = data_.num_hashes;
    const std::size_t block_size =
        std::clamp<std::size_t>(tuning::counting_positions_per_block / k, 1, tuning::items_per_block);
    std::vector<std::uint64_t> positions(block_size * k);
    const std::uint8_t* counters = data_.counters.data();
    for (std::size_t start = 0; start < count; start += block_size) {
        const std::size_t size = std::min(block_size, count - start);
        for (std::size_t j = 0; j < size; ++j) {
            std::uint64_t* listed = positions.data() + j * k;
            list_positions(pair_of(start + j), listed);
            for (std::size_t i = 0; i < k; ++i) platform::prefetch_for_write(counters + listed[i]);
        }
        for (std::size_t j = 0; j < size; ++j) add_positions({positions.data() + j * k, k});
    }
}

void CountingBloomFilter::update(std::span<const std::string_view> items) {
    add_all(items.size(), item_pairs(items, data_.seed));
}

void CountingBloomFilter::update_hashes(std::span<const std::uint64_t> hashes) {
    add_all(hashes.size(), caller_hash_pairs(hashes, data_.seed));
}

// ---- Removing and querying -------------------------------------------------------------

bool CountingBloomFilter::remove_hash_pair(HashPair pair) {
    if (!test(pair)) return false;
    // A repeated position goes down once per occurrence, but never below zero.
    std::uint8_t* counters = data_.counters.data();
    for_each_position(pair, data_.num_hashes, data_.num_counters, [counters](std::uint64_t position) {
        if (counters[position] != 0) --counters[position];
        return true;
    });
    if (data_.count != 0) --data_.count;
    return true;
}

bool CountingBloomFilter::test(HashPair pair) const {
    const std::uint8_t* counters = data_.counters.data();
    return for_each_position(pair, data_.num_hashes, data_.num_counters,
                             [counters](std::uint64_t position) { return counters[position] != 0; });
}

// Queries hash a block of items first and prefetch the counters each will
// read (up to tuning::counting_prefetched_positions of them), as adds do, but list no positions: a test reads its
// counters in order and stops at the first zero, whatever k is.
template <class PairOf>
std::vector<std::uint8_t> CountingBloomFilter::test_all(std::size_t count, PairOf&& pair_of) const {
    const std::uint32_t prefetched = std::min<std::uint32_t>(data_.num_hashes, tuning::counting_prefetched_positions);
    const std::uint8_t* counters = data_.counters.data();
    const auto prefetch = [&](HashPair pair) {
        for_each_position(pair, prefetched, data_.num_counters, [counters](std::uint64_t position) {
            platform::prefetch_for_read(counters + position);
            return true;
        });
    };
    return answers_in_blocks(count, pair_of, prefetch, [this](HashPair pair) { return test(pair); });
}

std::vector<std::uint8_t> CountingBloomFilter::query_many(std::span<const std::string_view> items) const {
    return test_all(items.size(), item_pairs(items, data_.seed));
}

std::vector<std::uint8_t> CountingBloomFilter::query_hashes(std::span<const std::uint64_t> hashes) const {
    return test_all(hashes.size(), caller_hash_pairs(hashes, data_.seed));
}

std::uint8_t CountingBloomFilter::smallest_counter(std::string_view item) const {
    const std::uint8_t* counters = data_.counters.data();
    std::uint8_t smallest = counter_limit;
    for_each_position(hash_pair(item, data_.seed), data_.num_hashes, data_.num_counters,
                      [counters, &smallest](std::uint64_t position) {
                          smallest = std::min(smallest, counters[position]);
                          return smallest != 0;
                      });
    return smallest;
}

// ---- Combining -----------------------------------------------------------------------

void CountingBloomFilter::merge(const CountingBloomFilter& other) {
    require_same_settings("merge", {{"num_counters", data_.num_counters, other.data_.num_counters},
                                    {"num_hashes", data_.num_hashes, other.data_.num_hashes},
                                    {"seed", data_.seed, other.data_.seed}});

    auto& mine = data_.counters;
    const auto& theirs = other.data_.counters;
    for (std::size_t j = 0; j < mine.size(); ++j) {
        if (theirs[j] > counter_limit - mine[j]) throw OverflowError("counter capacity exceeded during merge");
    }
    for (std::size_t j = 0; j < mine.size(); ++j) mine[j] = static_cast<std::uint8_t>(mine[j] + theirs[j]);
    data_.count = saturating_add(data_.count, other.data_.count);
}

void CountingBloomFilter::clear() {
    std::fill(data_.counters.begin(), data_.counters.end(), 0);
    data_.count = 0;
}

// ---- Statistics ------------------------------------------------------------------------

double CountingBloomFilter::fill_ratio() const {
    const auto non_zero = std::count_if(data_.counters.begin(), data_.counters.end(),
                                        [](std::uint8_t counter) { return counter != 0; });
    return static_cast<double>(non_zero) / static_cast<double>(data_.num_counters);
}

double CountingBloomFilter::false_positive_rate() const {
    return std::pow(fill_ratio(), static_cast<double>(data_.num_hashes));
}

std::string_view CountingBloomFilter::health() const { return fill_health(fill_ratio()); }

std::string CountingBloomFilter::repr() const {
    return "CountingBloomFilter(num_counters=" + std::to_string(data_.num_counters) +
           ", num_hashes=" + std::to_string(data_.num_hashes) + ", count=" + std::to_string(data_.count) + ")";
}

}  // namespace velt
