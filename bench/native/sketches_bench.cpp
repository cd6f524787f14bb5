// The sketches' core operations on pre-converted items: HyperLogLog and MinHash
// (whose state always fits in the cache), CountMinSketch in the cache and at
// 256 MiB, and TopK on a Zipf stream.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <optional>

#include "core/count_min_sketch.hpp"
#include "core/hyperloglog.hpp"
#include "core/minhash.hpp"
#include "core/topk.hpp"
#include "inputs.hpp"

namespace velt::bench {
namespace {

void BM_HyperLogLogUpdate(benchmark::State& state) {
    HyperLogLog sketch = HyperLogLog::create(14, 0);
    const auto items = short_items();
    for (auto _ : state) {
        sketch.update(items);
        benchmark::ClobberMemory();
    }
    count_items(state, items.size());
}

void BM_HyperLogLogUpdateHashes(benchmark::State& state) {
    HyperLogLog sketch = HyperLogLog::create(14, 0);
    const auto hashes = caller_hashes();
    for (auto _ : state) {
        sketch.update_hashes(hashes);
        benchmark::ClobberMemory();
    }
    count_items(state, hashes.size());
}

// 2719 x 5 counters (106 KiB) for a 0.1 % error at 99 %, or 2^23 x 4 (256 MiB).
CountMinSketch make_count_min(std::int64_t size) {
    if (size == in_cache) return CountMinSketch::create(std::nullopt, std::nullopt, 0.001, 0.99, 0);
    return CountMinSketch::create(large_table_bytes / 8 / 4, 4, std::nullopt, std::nullopt, 0);
}

void BM_CountMinSketchUpdate(benchmark::State& state, std::int64_t size) {
    CountMinSketch sketch = make_count_min(size);
    const auto items = zipf_items();
    for (auto _ : state) {
        sketch.update(items);
        benchmark::ClobberMemory();
    }
    count_items(state, items.size());
}

void BM_CountMinSketchUpdateHashes(benchmark::State& state, std::int64_t size) {
    CountMinSketch sketch = make_count_min(size);
    const auto hashes = caller_hashes();
    for (auto _ : state) {
        sketch.update_hashes(hashes);
        benchmark::ClobberMemory();
    }
    count_items(state, hashes.size());
}

void BM_CountMinSketchQueryMany(benchmark::State& state, std::int64_t size) {
    CountMinSketch sketch = make_count_min(size);
    const auto items = zipf_items();
    sketch.update(items);
    for (auto _ : state) benchmark::DoNotOptimize(sketch.query_many(items));
    count_items(state, items.size());
}

void BM_MinHashUpdate(benchmark::State& state) {
    MinHash signature = MinHash::create(128, 0);
    const auto items = short_items().first(100'000);
    for (auto _ : state) {
        signature.update(items);
        benchmark::ClobberMemory();
    }
    count_items(state, items.size());
}

void BM_TopKUpdate(benchmark::State& state) {
    const auto items = zipf_items();
    for (auto _ : state) {
        TopK tracker(100);
        tracker.update(items);
        benchmark::DoNotOptimize(tracker.min_count());
    }
    count_items(state, items.size());
}

}  // namespace

BENCHMARK(BM_HyperLogLogUpdate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HyperLogLogUpdateHashes)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CountMinSketchUpdate, in_cache, in_cache)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CountMinSketchUpdate, large_table, large_table)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CountMinSketchUpdateHashes, in_cache, in_cache)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CountMinSketchUpdateHashes, large_table, large_table)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CountMinSketchQueryMany, in_cache, in_cache)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CountMinSketchQueryMany, large_table, large_table)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MinHashUpdate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TopKUpdate)->Unit(benchmark::kMillisecond);

}  // namespace velt::bench
