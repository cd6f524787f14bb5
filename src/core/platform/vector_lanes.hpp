// Eight 32-bit lanes at once, for processors that have AVX2, chosen at run
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

#endif

}  // namespace velt::platform
