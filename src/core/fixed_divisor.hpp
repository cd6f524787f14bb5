// Remainders by a divisor fixed for a structure's lifetime (a table width),
// computed by a multiplication and shifts instead of a hardware division,
// which costs tens of cycles. The results are exactly those of `%`.
//
// The method is Granlund and Montgomery's ("Division by invariant integers
// using multiplication", 1994) in its branch-free form: with l = floor(log2 d)
// and a 65-bit magic number 2^64 + magic, the quotient of x is
// (mulhi(magic, x) + (x - mulhi(magic, x)) / 2) >> l.
#pragma once

#include <bit>
#include <cstdint>

#include "core/platform/wide_arithmetic.hpp"

namespace velt {

class FixedDivisor {
public:
    // `divisor` must not be 0.
    explicit FixedDivisor(std::uint64_t divisor) : divisor_(divisor), power_of_two_(std::has_single_bit(divisor)) {
        if (power_of_two_) return;  // a mask does it
        shift_ = static_cast<unsigned>(std::bit_width(divisor) - 1);
        // 2^(64 + l) / d fits in 64 bits because d > 2^l; doubled with the
        // remainder's carry it gives floor(2^(65 + l) / d) - 2^64.
        const auto [quotient, remainder] = platform::divide_wide(std::uint64_t{1} << shift_, 0, divisor);
        const std::uint64_t twice_remainder = remainder + remainder;
        std::uint64_t magic = quotient + quotient;
        if (twice_remainder >= divisor || twice_remainder < remainder) magic += 1;
        magic_ = magic + 1;
    }

    // x % divisor.
    std::uint64_t remainder(std::uint64_t x) const {
        if (power_of_two_) return x & (divisor_ - 1);
        const std::uint64_t high = platform::multiply_high(magic_, x);
        const std::uint64_t quotient = (((x - high) >> 1) + high) >> shift_;
        return x - quotient * divisor_;
    }

private:
    std::uint64_t divisor_;
    bool power_of_two_;
    std::uint64_t magic_ = 0;
    unsigned shift_ = 0;
};

}  // namespace velt
