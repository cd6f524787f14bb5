// Conversions of computed sizes to integers: out-of-range values saturate and
// NaN becomes zero, so a sizing formula can never wrap around.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace velt {

template <class Unsigned>
constexpr Unsigned saturating_cast(double value) {
    if (!(value > 0.0)) return 0;  // also NaN
    // 2^bits as a double; every double below it fits.
    constexpr double limit = 2.0 * static_cast<double>(Unsigned{1} << (std::numeric_limits<Unsigned>::digits - 1));
    if (value >= limit) return std::numeric_limits<Unsigned>::max();
    return static_cast<Unsigned>(value);
}

constexpr std::uint64_t saturating_u64(double value) { return saturating_cast<std::uint64_t>(value); }
constexpr std::uint32_t saturating_u32(double value) { return saturating_cast<std::uint32_t>(value); }

}  // namespace velt
