// The serialised forms: binary of a 64 MiB Bloom filter, JSON of a filter of
// one million items at 1 % (1.2 MB of bits).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <optional>
#include <string>

#include "core/bloom.hpp"
#include "core/persistence.hpp"
#include "inputs.hpp"

namespace velt::bench {
namespace {

BloomFilter filled(BloomFilter filter) {
    filter.update(short_items());
    return filter;
}

const BloomFilter& binary_filter() {
    static const BloomFilter filter = filled(BloomFilter::create(std::nullopt, 0.01, std::uint64_t{64} << 23, 7, 0));
    return filter;
}

const BloomFilter& json_filter() {
    static const BloomFilter filter = filled(BloomFilter::create(item_count, 0.01, std::nullopt, std::nullopt, 0));
    return filter;
}

void BM_BloomToBytes(benchmark::State& state) {
    const BloomFilter& filter = binary_filter();
    std::size_t size = 0;
    for (auto _ : state) {
        std::string bytes = to_bytes(filter);
        size = bytes.size();
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void BM_BloomFromBytes(benchmark::State& state) {
    const std::string bytes = to_bytes(binary_filter());
    for (auto _ : state) benchmark::DoNotOptimize(from_bytes<BloomFilter>(bytes).num_bits());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void BM_BloomToJson(benchmark::State& state) {
    const BloomFilter& filter = json_filter();
    std::size_t size = 0;
    for (auto _ : state) {
        std::string text = to_json(filter);
        size = text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void BM_BloomFromJson(benchmark::State& state) {
    const std::string text = to_json(json_filter());
    for (auto _ : state) benchmark::DoNotOptimize(from_json<BloomFilter>(text).num_bits());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

}  // namespace

BENCHMARK(BM_BloomToBytes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BloomFromBytes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BloomToJson)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BloomFromJson)->Unit(benchmark::kMillisecond);

}  // namespace velt::bench
