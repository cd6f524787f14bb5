// Decimal text of doubles, both ways, with code of our own: floating-point
// std::to_chars and std::from_chars are missing or restricted in some C++
// libraries, and the C functions (strtod, printf) depend on the locale.
#pragma once

#include <cstdint>
#include <string_view>

namespace velt::codec {

// A positive decimal digits x 10^exponent, the digits without trailing zeros.
struct ShortestDecimal {
    std::uint64_t digits = 0;
    int exponent = 0;
};

// The shortest decimal that reads back as |value| (finite, non-zero); among
// several of that length, the one nearest to it, the even one on a tie.
ShortestDecimal shortest_decimal(double value);

// The double nearest to the number `text` written as JSON writes it
// (-?digits(.digits)?([eE][+-]?digits)?, any number of digits), ties to even:
// +-infinity beyond the largest double, +-0.0 below half the smallest.
double parse_decimal(std::string_view text);

}  // namespace velt::codec
