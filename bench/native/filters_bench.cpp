// The membership filters' core operations on pre-converted items, in a table
// that stays in the cache and in one of 256 MiB.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/bloom.hpp"
#include "core/counting_bloom.hpp"
#include "core/cuckoo.hpp"
#include "core/scalable_bloom.hpp"
#include "inputs.hpp"

namespace velt::bench {
namespace {

constexpr double one_percent = 0.01;
// A Bloom filter of 10,000 items at 1 %: 12 KiB of bits.
constexpr std::uint64_t small_filter_items = 10'000;
// The filters that refuse or degrade once full take the items in chunks of their
// capacity, cleared in between (a cheap clear at this size, timed with the rest).
constexpr std::size_t small_filter_chunk = 4096;

BloomFilter make_bloom(std::int64_t size) {
    if (size == in_cache) return BloomFilter::create(small_filter_items, one_percent, std::nullopt, std::nullopt, 0);
    return BloomFilter::create(std::nullopt, one_percent, large_table_bytes * 8, 7, 0);
}

// One add call per item: every position is fetched when its item comes, with no
// block hashing and no prefetch.
void BM_BloomAddLoop(benchmark::State& state, std::int64_t size) {
    BloomFilter filter = make_bloom(size);
    const auto items = short_items();
    for (auto _ : state) {
        for (std::string_view item : items) filter.add(item);
        benchmark::ClobberMemory();
    }
    count_items(state, items.size());
}

void BM_BloomUpdate(benchmark::State& state, std::int64_t size) {
    BloomFilter filter = make_bloom(size);
    const auto items = short_items();
    for (auto _ : state) {
        filter.update(items);
        benchmark::ClobberMemory();
    }
    count_items(state, items.size());
}

void BM_BloomContainsLoop(benchmark::State& state, std::int64_t size) {
    BloomFilter filter = make_bloom(size);
    const auto items = short_items();
    filter.update(items);
    for (auto _ : state) {
        std::size_t found = 0;
        for (std::string_view item : items) found += filter.contains(item);
        benchmark::DoNotOptimize(found);
    }
    count_items(state, items.size());
}

void BM_BloomQueryMany(benchmark::State& state, std::int64_t size) {
    BloomFilter filter = make_bloom(size);
    const auto items = short_items();
    filter.update(items);
    for (auto _ : state) benchmark::DoNotOptimize(filter.query_many(items));
    count_items(state, items.size());
}

void BM_BloomUpdateHashes(benchmark::State& state, std::int64_t size) {
    BloomFilter filter = make_bloom(size);
    const auto hashes = caller_hashes();
    for (auto _ : state) {
        filter.update_hashes(hashes);
        benchmark::ClobberMemory();
    }
    count_items(state, hashes.size());
}

void BM_BloomQueryHashes(benchmark::State& state, std::int64_t size) {
    BloomFilter filter = make_bloom(size);
    const auto hashes = caller_hashes();
    filter.update_hashes(hashes);
    for (auto _ : state) benchmark::DoNotOptimize(filter.query_hashes(hashes));
    count_items(state, hashes.size());
}

// Feeds `items` to a filter of small capacity chunk by chunk, clearing it in
// between; a large filter takes them all, and is cleared untimed.
template <class Filter, class Update>
void update_in_chunks(benchmark::State& state, Filter& filter, std::int64_t size, Update&& update) {
    const auto items = short_items();
    for (auto _ : state) {
        if (size == in_cache) {
            for (std::size_t start = 0; start < items.size(); start += small_filter_chunk) {
                update(filter, items.subspan(start, std::min(small_filter_chunk, items.size() - start)));
                filter.clear();
            }
        } else {
            update(filter, items);
            state.PauseTiming();
            filter.clear();
            state.ResumeTiming();
        }
        benchmark::ClobberMemory();
    }
    count_items(state, items.size());
}

void BM_CountingBloomUpdate(benchmark::State& state, std::int64_t size) {
    CountingBloomFilter filter =
        size == in_cache ? CountingBloomFilter::create(small_filter_chunk, one_percent, std::nullopt, std::nullopt, 0)
                         : CountingBloomFilter::create(std::nullopt, one_percent, large_table_bytes, 7, 0);
    update_in_chunks(state, filter, size, [](auto& f, std::span<const std::string_view> chunk) { f.update(chunk); });
}

void BM_ScalableBloomUpdate(benchmark::State& state, std::int64_t size) {
    // The first slice of a chain of 195 million items at 1 % takes about 256 MiB.
    const std::uint64_t capacity = size == in_cache ? small_filter_chunk : 195'000'000;
    ScalableBloomFilter filter = ScalableBloomFilter::create(capacity, one_percent, 2.0, 0.5, 0);
    update_in_chunks(state, filter, size, [](auto& f, std::span<const std::string_view> chunk) { f.update(chunk); });
}

void BM_CuckooUpdate(benchmark::State& state, std::int64_t size) {
    // Eight bytes a bucket of four fingerprints: 2^27 items fill 256 MiB.
    CuckooFilter filter = CuckooFilter::create(size == in_cache ? small_filter_chunk : std::uint64_t{1} << 27, 0);
    update_in_chunks(state, filter, size, [](auto& f, std::span<const std::string_view> chunk) {
        benchmark::DoNotOptimize(f.update(chunk));
    });
}

void BM_CuckooQueryMany(benchmark::State& state, std::int64_t size) {
    CuckooFilter filter = CuckooFilter::create(size == in_cache ? small_filter_chunk : std::uint64_t{1} << 27, 0);
    const auto items = short_items();
    filter.update(items.first(size == in_cache ? small_filter_chunk : items.size()));
    for (auto _ : state) benchmark::DoNotOptimize(filter.query_many(items));
    count_items(state, items.size());
}

}  // namespace

#define VELT_AT_BOTH_SIZES(function)                                                \
    BENCHMARK_CAPTURE(function, in_cache, in_cache)->Unit(benchmark::kMillisecond); \
    BENCHMARK_CAPTURE(function, large_table, large_table)->Unit(benchmark::kMillisecond)

VELT_AT_BOTH_SIZES(BM_BloomAddLoop);
VELT_AT_BOTH_SIZES(BM_BloomUpdate);
VELT_AT_BOTH_SIZES(BM_BloomContainsLoop);
VELT_AT_BOTH_SIZES(BM_BloomQueryMany);
VELT_AT_BOTH_SIZES(BM_BloomUpdateHashes);
VELT_AT_BOTH_SIZES(BM_BloomQueryHashes);
VELT_AT_BOTH_SIZES(BM_CountingBloomUpdate);
VELT_AT_BOTH_SIZES(BM_ScalableBloomUpdate);
VELT_AT_BOTH_SIZES(BM_CuckooUpdate);
VELT_AT_BOTH_SIZES(BM_CuckooQueryMany);

}  // namespace velt::bench
