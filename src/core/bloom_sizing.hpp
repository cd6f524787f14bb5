// The formulas the Bloom-family filters share: how many bits (or counters) and
// hash functions a filter needs, how bit positions address 64-bit words, and
// how an item's positions are set and tested.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/hash.hpp"

namespace velt {

// m = ceil(ln(p) * n / -(ln 2)^2): the optimal number of bits for n items at
// false-positive rate p, saturating at 2^64 - 1.
std::uint64_t optimal_num_bits(std::uint64_t expected_items, double false_positive_rate);

// k = max(1, round(m / n * ln 2)): the optimal number of hash functions for
// m bits and n items, saturating at 2^32 - 1.
std::uint32_t optimal_num_hashes(std::uint64_t num_bits, std::uint64_t expected_items);

struct BloomShape {
    std::uint64_t size;  // m: bits, or counters
    std::uint32_t num_hashes;
};

// The constructor rules of a Bloom-family filter: the rate is checked first
// (even when the size makes it unnecessary), then m comes from `size` or is
// derived from expected_items, then k comes from num_hashes or is derived from
// m and expected_items (or one item per ten positions when that is absent).
// `size_name` names the size parameter in the messages ("num_bits", "num_counters").
BloomShape bloom_shape(std::optional<std::uint64_t> expected_items, double false_positive_rate,
                       std::optional<std::uint64_t> size, std::optional<std::uint32_t> num_hashes,
                       std::string_view size_name);

// The share of set bits (or non-zero counters) from which a filter is saturated.
inline constexpr double saturated_fill = 0.8;

// The health signal of a filter whose share of set bits (or non-zero counters)
// is `fill`: "saturated" from saturated_fill, "warning" from 0.65, else "healthy".
constexpr std::string_view fill_health(double fill) {
    if (fill >= saturated_fill) return "saturated";
    if (fill >= 0.65) return "warning";
    return "healthy";
}

// The number of 64-bit words holding m bits.
constexpr std::uint64_t word_count(std::uint64_t num_bits) { return num_bits / 64 + (num_bits % 64 != 0); }

// Bit p of a bit array is bit (p mod 64) of word (p div 64), least significant first.
inline void set_bit(std::uint64_t* words, std::uint64_t position) {
    words[position / 64] |= std::uint64_t{1} << (position % 64);
}
// `words` is an array, or any type whose words[i] reads word i (a mapped file's words).
template <class Words>
inline bool test_bit(const Words& words, std::uint64_t position) {
    return (words[position / 64] >> (position % 64) & 1) != 0;
}

// Sets the bits at a hash pair's k positions in an array of m bits (m as a
// number or as a FixedDivisor, see for_each_position).
template <class Modulus>
inline void set_bits(std::uint64_t* words, HashPair pair, std::uint32_t k, const Modulus& m) {
    for_each_position(pair, k, m, [words](std::uint64_t position) {
        set_bit(words, position);
        return true;
    });
}

// Whether the bits at a hash pair's k positions are all set, testing them in
// order and stopping at the first clear one.
template <class Words, class Modulus>
inline bool test_bits(const Words& words, HashPair pair, std::uint32_t k, const Modulus& m) {
    return for_each_position(pair, k, m, [&words](std::uint64_t position) { return test_bit(words, position); });
}

}  // namespace velt
