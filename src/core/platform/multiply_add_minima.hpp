// The multiply_shift signature's inner loop in AVX2, for processors that have
// it (chosen at run time, cpu_features.hpp): for eight slots j at once,
//     minima[j] = min(minima[j], min over h of multipliers[j] * h + increments[j]),
// in 64-bit arithmetic modulo 2^64, ordered as unsigned integers. AVX2 has
// neither a 64-bit multiply nor an unsigned 64-bit comparison, so both are made
// here from what it has. Where VELT_HAS_AVX2_MINIMA is 0, callers keep their
// portable loop, which computes the same values.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/platform/cpu_features.hpp"

#if VELT_HAS_AVX2_VARIANT && defined(__x86_64__)
#define VELT_HAS_AVX2_MINIMA 1
#include <immintrin.h>
#else
#define VELT_HAS_AVX2_MINIMA 0
#endif

namespace velt::platform {

#if VELT_HAS_AVX2_MINIMA

inline constexpr std::size_t multiply_add_minima_lanes = 8;

namespace avx2 {

VELT_TARGET_AVX2 inline __m256i load(const std::uint64_t* from) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
}

VELT_TARGET_AVX2 inline void store(std::uint64_t* to, __m256i lanes) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), lanes);
}

// a * h + b mod 2^64 from 32-bit halves: a_lo h_lo + ((a_hi h_lo + a_lo h_hi) << 32) + b.
VELT_TARGET_AVX2 inline __m256i multiply_add(__m256i multiplier, __m256i multiplier_high, __m256i hash,
                                             __m256i hash_high, __m256i increment) {
    const __m256i cross =
        _mm256_add_epi64(_mm256_mul_epu32(multiplier_high, hash), _mm256_mul_epu32(multiplier, hash_high));
    return _mm256_add_epi64(_mm256_add_epi64(_mm256_mul_epu32(multiplier, hash), _mm256_slli_epi64(cross, 32)),
                            increment);
}

// The lanes of `lowest` lowered to those of `value`, both biased by 2^63 (see below).
VELT_TARGET_AVX2 inline __m256i lower(__m256i lowest, __m256i value) {
    return _mm256_blendv_epi8(lowest, value, _mm256_cmpgt_epi64(lowest, value));
}

}  // namespace avx2

// Lowers minima[0..8) over `count` hashes (see above).
VELT_TARGET_AVX2 inline void lower_multiply_add_minima(const std::uint64_t* hashes, std::size_t count,
                                                       const std::uint64_t* multipliers,
                                                       const std::uint64_t* increments, std::uint64_t* minima) {
    using namespace avx2;
    // Values are kept biased by 2^63 (the same as adding it modulo 2^64), so that
    // the signed comparison AVX2 has orders them as unsigned integers.
    const __m256i bias = _mm256_set1_epi64x(INT64_MIN);
    const __m256i multiplier_0 = load(multipliers), multiplier_1 = load(multipliers + 4);
    const __m256i multiplier_high_0 = _mm256_srli_epi64(multiplier_0, 32);
    const __m256i multiplier_high_1 = _mm256_srli_epi64(multiplier_1, 32);
    const __m256i increment_0 = _mm256_xor_si256(load(increments), bias);
    const __m256i increment_1 = _mm256_xor_si256(load(increments + 4), bias);
    __m256i lowest_0 = _mm256_xor_si256(load(minima), bias);
    __m256i lowest_1 = _mm256_xor_si256(load(minima + 4), bias);
    for (std::size_t i = 0; i < count; ++i) {
        const __m256i hash = _mm256_set1_epi64x(static_cast<long long>(hashes[i]));
        const __m256i hash_high = _mm256_srli_epi64(hash, 32);
        lowest_0 = lower(lowest_0, multiply_add(multiplier_0, multiplier_high_0, hash, hash_high, increment_0));
        lowest_1 = lower(lowest_1, multiply_add(multiplier_1, multiplier_high_1, hash, hash_high, increment_1));
    }
    store(minima, _mm256_xor_si256(lowest_0, bias));
    store(minima + 4, _mm256_xor_si256(lowest_1, bias));
}

#endif

}  // namespace velt::platform
