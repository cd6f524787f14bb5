// Saturating arithmetic. Counts stop at the largest value instead of wrapping,
// and computed sizes convert to integers with out-of-range values saturating
// and NaN becoming zero, so a sizing formula can never wrap around either.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace velt {

inline constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();

constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return b > max_u64 - a ? max_u64 : a + b; }

constexpr std::uint64_t saturating_multiply(std::uint64_t a, std::uint64_t b) {
    return a != 0 && b > max_u64 / a ? max_u64 : a * b;
}

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
