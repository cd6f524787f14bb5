// Eight 32-bit or four 64-bit lanes at once, for processors that have AVX2, chosen at run
// time (cpu_features.hpp): the build targets the baseline instruction set, so
// the vector code is compiled for AVX2 separately and called only where
// cpu_has_avx2(). Vector types differ between compilers; where they are not
// available, VELT_HAS_AVX2_LANES is 0 and callers keep their portable code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/platform/cpu_features.hpp"

#if VELT_HAS_AVX2_VARIANT && defined(__x86_64__)
#define VELT_HAS_AVX2_LANES 1
#include <immintrin.h>
#else
#define VELT_HAS_AVX2_LANES 0
#endif

namespace velt::platform {

#if VELT_HAS_AVX2_LANES

using Lanes32x8 = std::uint32_t __attribute__((vector_size(32)));

// ORs into the eight 32-bit words at `words` (little-endian, two to a 64-bit
// word) bit (key * salts[w] mod 2^32) >> 27 of word w.
VELT_TARGET_AVX2 inline void or_salted_bits(std::uint64_t* words, std::uint32_t key, const std::uint32_t (&salts)[8]) {
    Lanes32x8 multipliers, lanes;
    std::memcpy(&multipliers, salts, sizeof multipliers);
    std::memcpy(&lanes, words, sizeof lanes);
    const Lanes32x8 ones = {1, 1, 1, 1, 1, 1, 1, 1};
    lanes |= ones << ((key * multipliers) >> 27);
    std::memcpy(words, &lanes, sizeof lanes);
}

// Whether the eight 32-bit words at `words`, laid out as or_salted_bits lays
// them, all have the bit that or_salted_bits sets for `key`.
VELT_TARGET_AVX2 inline bool has_salted_bits(const void* words, std::uint32_t key, const std::uint32_t (&salts)[8]) {
    Lanes32x8 multipliers, lanes;
    std::memcpy(&multipliers, salts, sizeof multipliers);
    std::memcpy(&lanes, words, sizeof lanes);
    const Lanes32x8 ones = {1, 1, 1, 1, 1, 1, 1, 1};
    const Lanes32x8 missing = (ones << ((key * multipliers) >> 27)) & ~lanes;
    std::uint64_t quarters[4];
    std::memcpy(quarters, &missing, sizeof quarters);
    return (quarters[0] | quarters[1] | quarters[2] | quarters[3]) == 0;
}

using Lanes64x4 = std::uint64_t __attribute__((vector_size(32)));

VELT_TARGET_AVX2 inline Lanes64x4 load_lanes(const std::uint64_t* words) {
    Lanes64x4 lanes;
    std::memcpy(&lanes, words, sizeof lanes);
    return lanes;
}

VELT_TARGET_AVX2 inline void store_lanes(std::uint64_t* words, Lanes64x4 lanes) {
    std::memcpy(words, &lanes, sizeof lanes);
}

// Each lane's smaller value, as unsigned integers (AVX2 has no 64-bit minimum).
// Biased by 2^63, unsigned order is signed order, which AVX2 compares; the blend then
// takes each lane from one side in one instruction.
VELT_TARGET_AVX2 inline Lanes64x4 min_lanes(Lanes64x4 a, Lanes64x4 b) {
    const Lanes64x4 bias = {std::uint64_t{1} << 63, std::uint64_t{1} << 63, std::uint64_t{1} << 63,
                            std::uint64_t{1} << 63};
    const __m256i a_smaller =
        _mm256_cmpgt_epi64(reinterpret_cast<__m256i>(b ^ bias), reinterpret_cast<__m256i>(a ^ bias));
    return reinterpret_cast<Lanes64x4>(
        _mm256_blendv_epi8(reinterpret_cast<__m256i>(b), reinterpret_cast<__m256i>(a), a_smaller));
}

// The products of the low 32 bits of each lane, 64 bits each.
VELT_TARGET_AVX2 inline Lanes64x4 multiply_low_halves(Lanes64x4 a, Lanes64x4 b) {
    return reinterpret_cast<Lanes64x4>(_mm256_mul_epu32(reinterpret_cast<__m256i>(a), reinterpret_cast<__m256i>(b)));
}

// Per lane, the high and low halves of the 128-bit product a * b xored, from
// the four products of their 32-bit halves.
VELT_TARGET_AVX2 inline Lanes64x4 multiply_fold_lanes(Lanes64x4 a, Lanes64x4 b) {
    const Lanes64x4 half_mask = {0xFFFF'FFFFu, 0xFFFF'FFFFu, 0xFFFF'FFFFu, 0xFFFF'FFFFu};
    const Lanes64x4 a_high = a >> 32, b_high = b >> 32;
    const Lanes64x4 low_low = multiply_low_halves(a, b);
    // Each partial sum stays below 2^64: (2^32 - 1)^2 + 2 (2^32 - 1) = 2^64 - 1.
    const Lanes64x4 middle = multiply_low_halves(a_high, b) + (low_low >> 32);
    const Lanes64x4 middle_low = multiply_low_halves(a, b_high) + (middle & half_mask);
    const Lanes64x4 high = multiply_low_halves(a_high, b_high) + (middle >> 32) + (middle_low >> 32);
    // The low half: middle_low's low 32 bits over low_low's.
    const __m256i low = _mm256_blend_epi32(reinterpret_cast<__m256i>(low_low),
                                           reinterpret_cast<__m256i>(middle_low << 32), 0b1010'1010);
    return reinterpret_cast<Lanes64x4>(low) ^ high;
}

// The multiply_shift signature's inner loop, for eight slots j at once:
//     minima[j] = min(minima[j], min over the hashes h of multipliers[j] * h + increments[j]),
// modulo 2^64 and ordered as unsigned integers. Values are kept biased by 2^63
// (the same as adding it modulo 2^64), so that the signed comparison AVX2 has
// orders them as unsigned integers, without unbiasing each value.
inline constexpr std::size_t multiply_add_minima_lanes = 8;
VELT_TARGET_AVX2 inline void lower_multiply_add_minima(const std::uint64_t* hashes, std::size_t count,
                                                       const std::uint64_t* multipliers,
                                                       const std::uint64_t* increments, std::uint64_t* minima) {
    using SignedLanes64x4 = std::int64_t __attribute__((vector_size(32)));
    constexpr std::uint64_t bias = std::uint64_t{1} << 63;
    const Lanes64x4 biases = {bias, bias, bias, bias};
    const Lanes64x4 multiplier[2] = {load_lanes(multipliers), load_lanes(multipliers + 4)};
    const Lanes64x4 multiplier_high[2] = {multiplier[0] >> 32, multiplier[1] >> 32};
    const Lanes64x4 increment[2] = {load_lanes(increments) ^ biases, load_lanes(increments + 4) ^ biases};
    Lanes64x4 lowest[2] = {load_lanes(minima) ^ biases, load_lanes(minima + 4) ^ biases};
    for (std::size_t i = 0; i < count; ++i) {
        const Lanes64x4 hash = {hashes[i], hashes[i], hashes[i], hashes[i]};
        // Each lane's high half copied to its low half, all a 32-bit multiply reads (one
        // shuffle, which the compiler keeps in the vector unit, unlike a shift).
        const auto hash_high = reinterpret_cast<Lanes64x4>(_mm256_shuffle_epi32(reinterpret_cast<__m256i>(hash), 0xF5));
        for (int half = 0; half < 2; ++half) {
            // a * h modulo 2^64 from 32-bit halves: a_lo h_lo + ((a_hi h_lo + a_lo h_hi) << 32).
            const Lanes64x4 cross = multiply_low_halves(multiplier_high[half], hash) +
                                    multiply_low_halves(multiplier[half], hash_high);
            const Lanes64x4 value = multiply_low_halves(multiplier[half], hash) + (cross << 32) + increment[half];
            const auto smaller = reinterpret_cast<__m256i>(reinterpret_cast<SignedLanes64x4>(value) <
                                                           reinterpret_cast<SignedLanes64x4>(lowest[half]));
            lowest[half] = reinterpret_cast<Lanes64x4>(_mm256_blendv_epi8(
                reinterpret_cast<__m256i>(lowest[half]), reinterpret_cast<__m256i>(value), smaller));
        }
    }
    store_lanes(minima, lowest[0] ^ biases);
    store_lanes(minima + 4, lowest[1] ^ biases);
}

#endif

}  // namespace velt::platform
