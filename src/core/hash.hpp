// Item hashing: every structure turns items into 64-bit values through these
// functions, so their results are part of the stored formats and must never change.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "core/fixed_divisor.hpp"
#include "core/platform/hints.hpp"
#include "core/tuning.hpp"

namespace velt {

// The 64-bit golden-ratio increment of SplitMix64.
inline constexpr std::uint64_t golden_gamma = 0x9E3779B97F4A7C15ULL;

// XXH3-64 of `data` with a 64-bit seed.
inline std::uint64_t hash_with_seed(std::string_view data, std::uint64_t seed) {
    return XXH3_64bits_withSeed(data.data(), data.size(), seed);
}

struct HashPair {
    std::uint64_t h1;
    std::uint64_t h2;
};

// Two independent hashes of one item, for double hashing. h2 is used as it
// comes: it is not forced odd or non-zero.
inline HashPair hash_pair(std::string_view data, std::uint64_t seed) {
    return {hash_with_seed(data, seed), hash_with_seed(data, seed + golden_gamma)};
}

// The SplitMix64 finaliser: a bijection with splitmix_finalise(0) == 0.
inline constexpr std::uint64_t splitmix_finalise(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// Spreads a caller-provided hash with a seed: one SplitMix64 step from seed ^ hash.
inline constexpr std::uint64_t mix_caller_hash(std::uint64_t hash, std::uint64_t seed) {
    return splitmix_finalise((seed ^ hash) + golden_gamma);
}

// The double-hashing pair of a caller-provided hash; caller hashes never go through XXH3.
inline constexpr HashPair caller_hash_pair(std::uint64_t hash, std::uint64_t seed) {
    const std::uint64_t h1 = mix_caller_hash(hash, seed);
    const std::uint64_t t = ((seed + golden_gamma) ^ hash) + golden_gamma;
    // splitmix_finalise is zero only at zero; h2 = 0 would put every position on h1.
    const std::uint64_t h2 = t == 0 ? golden_gamma : splitmix_finalise(t);
    return {h1, h2};
}

// v mod m, by the hardware's division or, for a modulus that serves many
// positions (a filter's bit count), by a FixedDivisor made once.
inline std::uint64_t remainder_of(std::uint64_t v, std::uint64_t m) { return v % m; }
inline std::uint64_t remainder_of(std::uint64_t v, const FixedDivisor& m) { return m.remainder(v); }

// Calls visit(p) for the positions p_i = (h1 + i * h2) mod 2^64 mod m, i = 0 .. k-1,
// in order, until visit returns false. Returns whether every visit returned true.
// `m` is the modulus, as a number or as a FixedDivisor of it.
template <class Modulus, class Visit>
inline bool for_each_position(HashPair pair, std::uint32_t k, const Modulus& m, Visit&& visit) {
    std::uint64_t v = pair.h1;
    for (std::uint32_t i = 0; i < k; ++i, v += pair.h2) {
        if (!visit(remainder_of(v, m))) return false;
    }
    return true;
}

// ---- Batches ----------------------------------------------------------------
// The items of a batch are separate objects scattered through memory, and a
// large table misses the cache on every position. Batches therefore hash a
// block of items before touching the table, prefetching what the block will
// touch, and fetch item bytes a little ahead: cache misses overlap instead of
// following one another.

// items[i], after prefetching the bytes of an item further on.
inline std::string_view item_prefetching_ahead(std::span<const std::string_view> items, std::size_t i) {
    constexpr std::size_t prefetch_distance = tuning::item_prefetch_distance;
    if (i + prefetch_distance < items.size()) platform::prefetch_for_read(items[i + prefetch_distance].data());
    return items[i];
}

// The hash pairs of a batch by index: i -> the pair of items[i] (prefetching
// ahead), or of caller hash hashes[i].
inline auto item_pairs(std::span<const std::string_view> items, std::uint64_t seed) {
    return [items, seed](std::size_t i) { return hash_pair(item_prefetching_ahead(items, i), seed); };
}
inline auto caller_hash_pairs(std::span<const std::uint64_t> hashes, std::uint64_t seed) {
    return [hashes, seed](std::size_t i) { return caller_hash_pair(hashes[i], seed); };
}

// Calls visit(i, hash_of(i)) for i = 0 .. count-1 in order, a block at a time;
// prefetch(hashed) is called for every hashed item of a block (a hash pair, or
// whatever hash_of makes of an item) before the block is visited.
template <class HashOf, class Prefetch, class Visit>
void for_each_in_blocks(std::size_t count, HashOf&& hash_of, Prefetch&& prefetch, Visit&& visit) {
    using Hashed = std::invoke_result_t<HashOf&, std::size_t>;
    constexpr std::size_t block_size = tuning::items_per_block;
    Hashed hashed[block_size];
    for (std::size_t start = 0; start < count; start += block_size) {
        const std::size_t size = std::min(block_size, count - start);
        for (std::size_t j = 0; j < size; ++j) {
            hashed[j] = hash_of(start + j);
            prefetch(hashed[j]);
        }
        for (std::size_t j = 0; j < size; ++j) visit(start + j, hashed[j]);
    }
}

// The answers (0 or 1) test(hash_of(i)) for i = 0 .. count-1, in order, a block
// at a time as for_each_in_blocks goes: the query batches of the filters.
template <class HashOf, class Prefetch, class Test>
std::vector<std::uint8_t> answers_in_blocks(std::size_t count, HashOf&& hash_of, Prefetch&& prefetch, Test&& test) {
    std::vector<std::uint8_t> answers(count);
    for_each_in_blocks(count, hash_of, prefetch, [&](std::size_t i, const auto& hashed) { answers[i] = test(hashed); });
    return answers;
}

}  // namespace velt
