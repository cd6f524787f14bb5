#include "core/codec/number_text.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <limits>
#include <vector>

namespace velt::codec {

namespace {

// ---- The layout of a double ----

// A double of biased exponent E > 0 is (2^52 + fraction) x 2^(E - 1075); one of
// E = 0 (subnormal) is fraction x 2^-1074.
constexpr int fraction_bits = 52;
constexpr std::uint64_t hidden_bit = std::uint64_t{1} << fraction_bits;
constexpr std::uint64_t fraction_mask = hidden_bit - 1;
constexpr std::uint64_t sign_bit = std::uint64_t{1} << 63;
constexpr int exponent_offset = 1075;  // the bias, 1023, plus the fraction bits
constexpr int smallest_binary_exponent = 1 - exponent_offset;
constexpr std::uint64_t infinity_bits = std::uint64_t{0x7FF} << fraction_bits;

// A non-negative double as significand x 2^exponent.
struct Binary {
    std::uint64_t significand = 0;
    int exponent = 0;
};

Binary decode(std::uint64_t bits) {
    const int biased = static_cast<int>(bits >> fraction_bits);
    const std::uint64_t fraction = bits & fraction_mask;
    if (biased == 0) return {fraction, smallest_binary_exponent};
    return {fraction | hidden_bit, biased - exponent_offset};
}

// floor(log10(2^e)) and floor(log10(3/4 x 2^e)), exact for |e| <= 1100
// (Giulietti's constants), and floor(log2(10^e)), exact for |e| <= 400.
int floor_log10_pow2(int e) { return static_cast<int>((e * std::int64_t{661'971'961'083}) >> 41); }

int floor_log10_three_quarters_pow2(int e) {
    return static_cast<int>((e * std::int64_t{661'971'961'083} - 274'743'187'321) >> 41);
}

int floor_log2_pow10(int e) { return (e * 217'706) >> 16; }

// ---- 128-bit products and powers of ten ----

struct UInt128 {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
};

// platform: 128-bit multiply
UInt128 multiply(std::uint64_t a, std::uint64_t b) {
    __extension__ typedef unsigned __int128 uint128;
    const uint128 product = static_cast<uint128>(a) * b;
    return {static_cast<std::uint64_t>(product >> 64), static_cast<std::uint64_t>(product)};
}

// The leading 128 bits of 10^e, truncated: floor(10^e x 2^(127 - floor(log2 10^e))),
// whose top bit is set. The reader needs e in [-342, 308] (beyond, any 19-digit
// number is zero or infinite); the writer needs 10^-k for every double's k, [-292, 324].
constexpr int smallest_power = -342;
constexpr int largest_power = 324;

// An exact integer of 1344 bits for the table, least significant limb first.
using Limbs = std::array<std::uint32_t, 42>;

// The 64 bits of `number` from bit `first` up.
constexpr std::uint64_t bits_from(const Limbs& number, int first) {
    const auto limb = static_cast<std::size_t>(first / 32);
    const int shift = first % 32;
    const auto at = [&](std::size_t i) { return i < number.size() ? std::uint64_t{number[i]} : 0; };
    const std::uint64_t low = at(limb) | at(limb + 1) << 32;
    return low >> shift | (shift == 0 ? 0 : at(limb + 2) << (64 - shift));
}

constexpr UInt128 leading_bits(const Limbs& number) {
    std::size_t top = number.size() - 1;
    while (number[top] == 0) --top;
    // (bit_width is unsigned in some libraries, int in others)
    const int width = 32 * static_cast<int>(top) + static_cast<int>(std::bit_width(number[top]));
    return {bits_from(number, width - 64), bits_from(number, width - 128)};
}

// Computed at compile time from numbers with more than 128 significant bits that
// have the same leading bits: 10^e x 2^128 for e >= 0, floor(2^1312 / 10^-e) below.
constexpr auto powers_of_ten = [] {
    std::array<UInt128, largest_power - smallest_power + 1> powers{};
    Limbs number{};
    number[4] = 1;
    for (int e = 0; e <= largest_power; ++e) {
        powers[static_cast<std::size_t>(e - smallest_power)] = leading_bits(number);
        std::uint64_t carry = 0;
        for (std::uint32_t& limb : number) {
            const std::uint64_t x = std::uint64_t{limb} * 10 + carry;
            limb = static_cast<std::uint32_t>(x);
            carry = x >> 32;
        }
    }
    number = {};
    number.back() = 1;
    for (int e = -1; e >= smallest_power; --e) {
        std::uint64_t remainder = 0;
        for (auto limb = number.rbegin(); limb != number.rend(); ++limb) {
            const std::uint64_t x = remainder << 32 | *limb;
            *limb = static_cast<std::uint32_t>(x / 10);
            remainder = x % 10;
        }
        powers[static_cast<std::size_t>(e - smallest_power)] = leading_bits(number);
    }
    return powers;
}();

UInt128 power_of_ten(int e) { return powers_of_ten[static_cast<std::size_t>(e - smallest_power)]; }

// ---- Writing: Schubfach ----
//
// Raffaello Giulietti, "The Schubfach way to render doubles" (2020). The
// decimals that read back as v = c x 2^q fill an interval around v. With 10^k
// the largest power of ten not above that interval's width, the interval holds
// at most one multiple of 10^(k+1), which is then the shortest; else the answer
// is s x 10^k or (s + 1) x 10^k, s = floor(v / 10^k), whichever lies inside, the
// nearer to v if both do. v / 10^k comes from a 128-bit approximation of 10^-k,
// rounded to odd, which the paper proves exact enough for every comparison.

// floor(g x cp / 2^128), with its lowest bit set when anything is lost below
// (the paper's "round to odd").
std::uint64_t round_to_odd(UInt128 g, std::uint64_t cp) {
    const UInt128 low = multiply(g.low, cp);
    const UInt128 high = multiply(g.high, cp);
    const std::uint64_t middle = high.low + low.high;
    const std::uint64_t top = high.high + (middle < high.low ? 1 : 0);
    return top | (middle > 1 ? 1 : 0);
}

// ---- Reading: Eisel-Lemire, with an exact fallback ----

// The significant digits of a number's text: from its first non-zero digit to
// the end of its mantissa, the decimal point included when it comes after.
struct DecimalDigits {
    std::string_view text;
    std::int64_t count = 0;     // digits in `text`
    std::int64_t exponent = 0;  // of the last digit: the value is digits x 10^exponent
};

// The value of the next `count` digits (at most 19) of `text`, which it passes.
std::uint64_t take_digits(std::string_view& text, std::int64_t count) {
    std::uint64_t value = 0;
    for (; count > 0; text.remove_prefix(1)) {
        if (text.front() == '.') continue;
        value = value * 10 + static_cast<std::uint64_t>(text.front() - '0');
        --count;
    }
    return value;
}

// (A point is below '0'.)
bool any_non_zero_digit(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return c > '0'; });
}

// A double's bits, and whether they are surely those of the nearest double.
struct Approximation {
    std::uint64_t bits = 0;
    bool certain = true;
};

// Daniel Lemire, "Number Parsing at a Gigabyte per Second" (2021), after
// Michael Eisel: w x 10^q from the leading bits of the 192-bit product of w and
// the truncated 128-bit 10^q. The product falls short of the exact one by less
// than 2 in its 128th bit, so its rounding is certain unless that margin reaches
// the midpoint between two doubles.
Approximation eisel_lemire(std::uint64_t w, int q) {
    if (q < smallest_power) return {0, true};  // below 2^64 x 10^-343 < 2^-1075
    if (q > 308) return {infinity_bits, true};
    const int leading_zeros = std::countl_zero(w);
    const std::uint64_t normalized = w << leading_zeros;
    const UInt128 power = power_of_ten(q);
    const UInt128 high = multiply(normalized, power.high);
    const UInt128 low = multiply(normalized, power.low);
    const std::uint64_t below = high.low + low.high;  // the product's second word
    const std::uint64_t top = high.high + (below < high.low ? 1 : 0);

    // `top` holds the leading bits of w x 10^q, its first at bit 63 or 62: a
    // normal double keeps 53 of them, a subnormal fewer; the others round.
    const int upper_bit = static_cast<int>(top >> 63);
    int biased_exponent = floor_log2_pow10(q) + 63 + upper_bit - leading_zeros + 1023;
    int dropped_bits = upper_bit + 10;
    if (biased_exponent <= 0) {
        dropped_bits += 1 - biased_exponent;
        biased_exponent = 1;  // a subnormal's field is 0, as (1 - 1) << 52 below
    }
    if (dropped_bits > 64) return {0, true};  // at most half the smallest subnormal
    if (dropped_bits == 64) return {0, false};  // near it: left to the exact fallback

    const std::uint64_t kept = top >> dropped_bits;
    const std::uint64_t dropped = top & ((std::uint64_t{1} << dropped_bits) - 1);
    const std::uint64_t half = std::uint64_t{1} << (dropped_bits - 1);
    const bool certain = !(dropped == half && below == 0) &&
                         !(dropped == half - 1 && below == std::numeric_limits<std::uint64_t>::max());
    // Adding the significand to the exponent field lets a carry from rounding
    // (2^53, or 2^52 for a subnormal) move up to the next binade.
    const std::uint64_t bits = (static_cast<std::uint64_t>(biased_exponent - 1) << fraction_bits) +
                               kept + (dropped >= half ? 1 : 0);
    return {std::min(bits, infinity_bits), certain};
}

// A non-negative integer of any size, for the exact fallback.
class BigInteger {
public:
    explicit BigInteger(std::uint64_t value) {
        for (; value != 0; value >>= 32) limbs_.push_back(static_cast<std::uint32_t>(value));
    }

    // this = this x factor + addend
    void multiply_add(std::uint32_t factor, std::uint32_t addend) {
        std::uint64_t carry = addend;
        for (std::uint32_t& limb : limbs_) {
            const std::uint64_t x = std::uint64_t{limb} * factor + carry;
            limb = static_cast<std::uint32_t>(x);
            carry = x >> 32;
        }
        if (carry != 0) limbs_.push_back(static_cast<std::uint32_t>(carry));
    }

    void multiply_by_power_of_five(std::int64_t exponent) {
        constexpr std::uint32_t five_to_13 = 1'220'703'125;
        for (; exponent >= 13; exponent -= 13) multiply_add(five_to_13, 0);
        std::uint32_t rest = 1;
        for (; exponent > 0; --exponent) rest *= 5;
        multiply_add(rest, 0);
    }

    void shift_left(std::int64_t bits) {
        if (limbs_.empty()) return;
        const int shift = static_cast<int>(bits % 32);
        if (shift != 0) {
            std::uint32_t carry = 0;
            for (std::uint32_t& limb : limbs_) {
                const std::uint32_t next_carry = limb >> (32 - shift);
                limb = limb << shift | carry;
                carry = next_carry;
            }
            if (carry != 0) limbs_.push_back(carry);
        }
        limbs_.insert(limbs_.begin(), static_cast<std::size_t>(bits / 32), 0);
    }

    // < 0, 0 or > 0 as a is below, equal to or above b.
    friend int compare(const BigInteger& a, const BigInteger& b) {
        if (a.limbs_.size() != b.limbs_.size()) return a.limbs_.size() < b.limbs_.size() ? -1 : 1;
        for (std::size_t i = a.limbs_.size(); i-- > 0;) {
            if (a.limbs_[i] != b.limbs_[i]) return a.limbs_[i] < b.limbs_[i] ? -1 : 1;
        }
        return 0;
    }

private:
    std::vector<std::uint32_t> limbs_;  // least significant first, the last non-zero
};

// The midpoint between two doubles has at most 767 significant digits, so the
// digits after the first 800 only tell, by being non-zero, that a number equal
// to a midpoint in its first 800 is above it.
constexpr std::int64_t compared_digits = 800;

// As in Clinger's AlgorithmR ("How to Read Floating Point Numbers Accurately",
// 1990), with big integers: from a double `bits` near the number, compare the
// number exactly with the midpoints to its neighbours, and step to a neighbour
// while the number lies beyond the midpoint to it (on it, to the even one).
std::uint64_t nearest_by_comparison(const DecimalDigits& digits, std::uint64_t bits) {
    static constexpr std::array<std::uint32_t, 10> tens = {
        1, 10, 100, 1'000, 10'000, 100'000, 1'000'000, 10'000'000, 100'000'000, 1'000'000'000};
    std::string_view rest = digits.text;
    const std::int64_t kept = std::min(digits.count, compared_digits);
    BigInteger significand(0);
    for (std::int64_t left = kept; left > 0; left -= 9) {
        const std::int64_t chunk = std::min<std::int64_t>(left, 9);
        significand.multiply_add(tens[static_cast<std::size_t>(chunk)],
                                 static_cast<std::uint32_t>(take_digits(rest, chunk)));
    }
    const bool non_zero_beyond = any_non_zero_digit(rest);
    const std::int64_t exponent = digits.exponent + digits.count - kept;

    // The number against the midpoint between `lower` and the next double up:
    // significand x 10^exponent against (2m + 1) x 2^(e - 1), both made integers
    // by moving the powers of five and of two to one side each.
    const auto compare_with_midpoint_above = [&](std::uint64_t lower) {
        const Binary binary = decode(lower);
        BigInteger number = significand;
        BigInteger midpoint(2 * binary.significand + 1);
        std::int64_t number_twos = 0;
        std::int64_t midpoint_twos = binary.exponent - 1;
        if (exponent >= 0) {
            number.multiply_by_power_of_five(exponent);
            number_twos = exponent;
        } else {
            midpoint.multiply_by_power_of_five(-exponent);
            midpoint_twos -= exponent;
        }
        if (number_twos > midpoint_twos) number.shift_left(number_twos - midpoint_twos);
        else midpoint.shift_left(midpoint_twos - number_twos);
        const int order = compare(number, midpoint);
        return order == 0 && non_zero_beyond ? 1 : order;
    };
    for (;;) {
        const bool odd = (bits & 1) != 0;
        if (bits < infinity_bits) {
            const int order = compare_with_midpoint_above(bits);
            if (order > 0 || (order == 0 && odd)) {
                ++bits;
                continue;
            }
        }
        if (bits > 0) {
            const int order = compare_with_midpoint_above(bits - 1);
            if (order < 0 || (order == 0 && odd)) {
                --bits;
                continue;
            }
        }
        return bits;
    }
}

double to_double(const DecimalDigits& digits) {
    const std::int64_t order = digits.exponent + digits.count - 1;  // of the leading digit
    if (order > 309) return std::numeric_limits<double>::infinity();
    if (order < -325) return 0.0;  // below 10^-325, under half the smallest subnormal
    std::string_view rest = digits.text;
    const std::int64_t taken = std::min<std::int64_t>(digits.count, 19);
    const std::uint64_t leading = take_digits(rest, taken);
    const int q = static_cast<int>(digits.exponent + digits.count - taken);
    const Approximation approximation = eisel_lemire(leading, q);
    if (approximation.certain) {
        if (!any_non_zero_digit(rest)) return std::bit_cast<double>(approximation.bits);
        // More digits follow: the number lies between leading and leading + 1.
        const Approximation above = eisel_lemire(leading + 1, q);
        if (above.certain && above.bits == approximation.bits) return std::bit_cast<double>(above.bits);
    }
    return std::bit_cast<double>(nearest_by_comparison(digits, approximation.bits));
}

}  // namespace

ShortestDecimal shortest_decimal(double value) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(value) & ~sign_bit;
    const auto [c, q] = decode(bits);
    // The interval reaches half way to each neighbour: c -+ 1/2, in units of 2^q,
    // except just above a power of two, where the neighbour below is nearer
    // (c - 1/4). Its ends read back as v when c is even (ties go to even).
    // Below, the interval is in quarter units: cb -+ 2.
    const bool irregular = c == hidden_bit && q > smallest_binary_exponent;
    const int k = irregular ? floor_log10_three_quarters_pow2(q) : floor_log10_pow2(q);
    const int h = q + floor_log2_pow10(-k) + 1;  // 1 to 4: v x 10^-k with two bits to spare
    UInt128 g = power_of_ten(-k);
    g.low += 1;  // the analysis takes the truncated 10^-k plus one
    if (g.low == 0) g.high += 1;
    const std::uint64_t cb = c << 2;
    const std::uint64_t vb = round_to_odd(g, cb << h);
    const std::uint64_t vb_low = round_to_odd(g, (cb - (irregular ? 1 : 2)) << h);
    const std::uint64_t vb_high = round_to_odd(g, (cb + 2) << h);
    const std::uint64_t open = c & 1;  // the ends are excluded

    ShortestDecimal decimal{0, k};
    const std::uint64_t s = vb >> 2;
    const std::uint64_t shorter = s / 10 * 10;  // a multiple of 10^(k+1)
    if (vb_low + open <= shorter << 2) {
        decimal.digits = shorter;
    } else if (((shorter + 10) << 2) + open <= vb_high) {
        decimal.digits = shorter + 10;
    } else {
        const bool s_inside = vb_low + open <= s << 2;
        const bool next_inside = ((s + 1) << 2) + open <= vb_high;
        if (s_inside != next_inside) {
            decimal.digits = s_inside ? s : s + 1;
        } else {  // both: the nearer to v, the even one on a tie
            const std::uint64_t midpoint = (s << 2) + 2;
            decimal.digits = vb < midpoint || (vb == midpoint && (s & 1) == 0) ? s : s + 1;
        }
    }
    for (; decimal.digits % 10 == 0; decimal.digits /= 10) ++decimal.exponent;
    return decimal;
}

double parse_decimal(std::string_view text) {
    const bool negative = text.front() == '-';
    if (negative) text.remove_prefix(1);
    // One pass over the mantissa (a library's find_first_of costs a call per character).
    DecimalDigits digits;
    std::size_t first = std::string_view::npos;
    std::size_t end = 0;
    bool after_point = false;
    for (; end < text.size() && text[end] != 'e' && text[end] != 'E'; ++end) {
        if (text[end] == '.') {
            after_point = true;
            continue;
        }
        if (after_point) --digits.exponent;
        if (first == std::string_view::npos) {
            if (text[end] == '0') continue;
            first = end;
        }
        ++digits.count;
    }
    if (first == std::string_view::npos) return negative ? -0.0 : 0.0;
    digits.text = text.substr(first, end - first);

    if (end < text.size()) {
        // Exponents saturate far beyond any range: a number of more than 10^17
        // digits cannot be read anyway.
        constexpr std::int64_t exponent_limit = 100'000'000'000'000'000;
        std::string_view exponent_text = text.substr(end + 1);
        const bool negative_exponent = exponent_text.front() == '-';
        if (exponent_text.front() == '-' || exponent_text.front() == '+') exponent_text.remove_prefix(1);
        std::int64_t exponent = 0;
        for (const char c : exponent_text) exponent = std::min(exponent * 10 + (c - '0'), exponent_limit);
        digits.exponent += negative_exponent ? -exponent : exponent;
    }
    const double magnitude = to_double(digits);
    return negative ? -magnitude : magnitude;
}

}  // namespace velt::codec
