// The serialised forms: binary of a 64 MiB Bloom filter, JSON of a filter of
// one million items at 1 % (1.2 MB of bits); and the decimal text of integer
// items against std::to_chars.
#include <benchmark/benchmark.h>

#include <charconv>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/bloom.hpp"
#include "core/decimal.hpp"
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
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
}

void BM_BloomFromBytes(benchmark::State& state) {
    const std::string bytes = to_bytes(binary_filter());
    for (auto _ : state) benchmark::DoNotOptimize(from_bytes<BloomFilter>(bytes).num_bits());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}

void BM_BloomToJson(benchmark::State& state) {
    const BloomFilter& filter = json_filter();
    std::size_t size = 0;
    for (auto _ : state) {
        std::string text = to_json(filter);
        size = text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
}

void BM_BloomFromJson(benchmark::State& state) {
    const std::string text = to_json(json_filter());
    for (auto _ : state) benchmark::DoNotOptimize(from_json<BloomFilter>(text).num_bits());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

// 4096 pseudo-random values of `bits` bits: ids, timestamps, full 64-bit hashes.
std::vector<std::uint64_t> values_of(std::int64_t bits) {
    std::mt19937_64 random(7);
    std::vector<std::uint64_t> values(4096);
    for (auto& value : values) value = random() >> (64 - bits);
    return values;
}

template <class Write>
void decimal_text(benchmark::State& state, Write write) {
    const auto values = values_of(state.range(0));
    DecimalBuffer buffer;
    for (auto _ : state) {
        for (const std::uint64_t value : values) {
            benchmark::DoNotOptimize(write(buffer.data(), value));
            benchmark::ClobberMemory();
        }
    }
    count_items(state, values.size());
}

void BM_DecimalText(benchmark::State& state) {
    decimal_text(state, [](char* out, std::uint64_t value) { return write_decimal(out, value); });
}

void BM_DecimalTextStdToChars(benchmark::State& state) {
    decimal_text(state, [](char* out, std::uint64_t value) { return std::to_chars(out, out + 24, value).ptr; });
}

}  // namespace

BENCHMARK(BM_DecimalText)->Arg(20)->Arg(40)->Arg(64);
BENCHMARK(BM_DecimalTextStdToChars)->Arg(20)->Arg(40)->Arg(64);
BENCHMARK(BM_BloomToBytes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BloomFromBytes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BloomToJson)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BloomFromJson)->Unit(benchmark::kMillisecond);

}  // namespace velt::bench
