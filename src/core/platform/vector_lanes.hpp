// Eight 32-bit or four 64-bit lanes at once, for processors that have AVX2, chosen at run
// time (cpu_features.hpp): the build targets the baseline instruction set, so
// the vector code is compiled for AVX2 separately and called only where
// cpu_has_avx2(). Vector types differ between compilers; where they are not
// available, VELT_HAS_AVX2_LANES is 0 and callers keep their portable code.
#pragma once

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
VELT_TARGET_AVX2 inline Lanes64x4 min_lanes(Lanes64x4 a, Lanes64x4 b) {
    const auto a_smaller = reinterpret_cast<Lanes64x4>(a < b);
    return (a & a_smaller) | (b & ~a_smaller);
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

#endif

}  // namespace velt::platform
