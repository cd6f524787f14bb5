// The inputs of the native benchmarks, already converted as the binding hands
// them to the core: item views over one arena, and 64-bit caller hashes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include <benchmark/benchmark.h>

namespace velt::bench {

inline constexpr std::size_t item_count = 1'000'000;

// item_count distinct short items "user-0", "user-1", ...
std::span<const std::string_view> short_items();
// item_count draws of a Zipf(1.1) law over 100,000 keys "key-<rank>".
std::span<const std::string_view> zipf_items();
// item_count pseudo-random caller hashes.
std::span<const std::uint64_t> caller_hashes();

// The table sizes every structure is measured at: one that stays in the cache,
// and one of 256 MiB, where every position is a cache and TLB miss.
inline constexpr std::int64_t in_cache = 0;
inline constexpr std::int64_t large_table = 1;
inline constexpr std::uint64_t large_table_bytes = std::uint64_t{256} << 20;

inline void count_items(benchmark::State& state, std::size_t items_per_iteration) {
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(items_per_iteration));
}

}  // namespace velt::bench
