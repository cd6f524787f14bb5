// 64 x 64 -> 128-bit multiplication and 128 / 64-bit division, for the
// remainders by a fixed divisor (core/fixed_divisor.hpp) and the number text
// of doubles (core/codec/number_text.cpp).
//
// GCC and clang have a 128-bit integer type on 64-bit targets; MSVC has
// intrinsics on x64 and ARM64. Everywhere else, and wherever the macro
// VELT_PORTABLE_WIDE_ARITHMETIC is defined (CMake option of the same name), the
// portable forms below serve: a product from 32-bit halves and a quotient by
// shifting and subtracting, which give the same results.
#pragma once

#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__) && (defined(_M_X64) || defined(_M_ARM64))
#include <intrin.h>
#endif

namespace velt::platform {

// A 128-bit value as its two 64-bit halves.
struct WideProduct {
    std::uint64_t high;
    std::uint64_t low;
    friend bool operator==(const WideProduct&, const WideProduct&) = default;
};

struct WideQuotient {
    std::uint64_t quotient;
    std::uint64_t remainder;
    friend bool operator==(const WideQuotient&, const WideQuotient&) = default;
};

namespace portable {

// a * b from the four products of their 32-bit halves.
constexpr WideProduct multiply(std::uint64_t a, std::uint64_t b) {
    constexpr std::uint64_t half_mask = 0xFFFF'FFFFu;
    const std::uint64_t a_low = a & half_mask, a_high = a >> 32;
    const std::uint64_t b_low = b & half_mask, b_high = b >> 32;
    const std::uint64_t low_low = a_low * b_low;
    const std::uint64_t high_low = a_high * b_low;
    const std::uint64_t low_high = a_low * b_high;
    const std::uint64_t high_high = a_high * b_high;
    // The middle column: each term is below 2^32, so their sum cannot overflow.
    const std::uint64_t middle = (low_low >> 32) + (high_low & half_mask) + (low_high & half_mask);
    return {high_high + (high_low >> 32) + (low_high >> 32) + (middle >> 32), (middle << 32) | (low_low & half_mask)};
}

// (high * 2^64 + low) / divisor, one quotient bit at a time; needs high < divisor
// so that the quotient fits in 64 bits.
constexpr WideQuotient divide(std::uint64_t high, std::uint64_t low, std::uint64_t divisor) {
    std::uint64_t remainder = high;
    std::uint64_t quotient = 0;
    for (int bit = 63; bit >= 0; --bit) {
        // The remainder stays below the divisor, but doubled it may need a 65th
        // bit; when it does, it certainly exceeds the divisor, and the wrapping
        // subtraction below gives the true difference.
        const bool carry = (remainder >> 63) != 0;
        remainder = (remainder << 1) | ((low >> bit) & 1);
        if (carry || remainder >= divisor) {
            remainder -= divisor;
            quotient |= std::uint64_t{1} << bit;
        }
    }
    return {quotient, remainder};
}

}  // namespace portable

// The compiler's own forms, where it has them.
#if defined(__SIZEOF_INT128__)
#define VELT_NATIVE_WIDE_ARITHMETIC 1
namespace native {
__extension__ typedef unsigned __int128 uint128;

inline WideProduct multiply(std::uint64_t a, std::uint64_t b) {
    const uint128 product = static_cast<uint128>(a) * b;
    return {static_cast<std::uint64_t>(product >> 64), static_cast<std::uint64_t>(product)};
}

inline WideQuotient divide(std::uint64_t high, std::uint64_t low, std::uint64_t divisor) {
    const uint128 numerator = (static_cast<uint128>(high) << 64) | low;
    return {static_cast<std::uint64_t>(numerator / divisor), static_cast<std::uint64_t>(numerator % divisor)};
}
}  // namespace native
#elif defined(_MSC_VER) && defined(_M_X64)
#define VELT_NATIVE_WIDE_ARITHMETIC 1
namespace native {
inline WideProduct multiply(std::uint64_t a, std::uint64_t b) {
    unsigned __int64 high = 0;
    const unsigned __int64 low = _umul128(a, b, &high);
    return {high, low};
}

inline WideQuotient divide(std::uint64_t high, std::uint64_t low, std::uint64_t divisor) {
    unsigned __int64 remainder = 0;
    const unsigned __int64 quotient = _udiv128(high, low, divisor, &remainder);
    return {quotient, remainder};
}
}  // namespace native
#elif defined(_MSC_VER) && defined(_M_ARM64)
#define VELT_NATIVE_WIDE_ARITHMETIC 1
namespace native {
inline WideProduct multiply(std::uint64_t a, std::uint64_t b) { return {__umulh(a, b), a * b}; }

// ARM64 has no 128 / 64-bit division instruction.
inline WideQuotient divide(std::uint64_t high, std::uint64_t low, std::uint64_t divisor) {
    return portable::divide(high, low, divisor);
}
}  // namespace native
#endif

#if defined(VELT_NATIVE_WIDE_ARITHMETIC) && !defined(VELT_PORTABLE_WIDE_ARITHMETIC)
namespace wide = native;
#else
namespace wide = portable;
#endif

// a * b, all 128 bits.
inline WideProduct multiply_wide(std::uint64_t a, std::uint64_t b) { return wide::multiply(a, b); }

// The high 64 bits of a * b.
inline std::uint64_t multiply_high(std::uint64_t a, std::uint64_t b) { return wide::multiply(a, b).high; }

// (high * 2^64 + low) / divisor and its remainder; high must be below divisor.
inline WideQuotient divide_wide(std::uint64_t high, std::uint64_t low, std::uint64_t divisor) {
    return wide::divide(high, low, divisor);
}

}  // namespace velt::platform
