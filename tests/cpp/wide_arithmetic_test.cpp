// The 128-bit multiply and divide: known answers at the edges of the range,
// and the portable forms against the compiler's on many operands. This file is
// also built with VELT_PORTABLE_WIDE_ARITHMETIC, where the portable forms serve
// the whole core.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <vector>

#include "core/platform/wide_arithmetic.hpp"

namespace velt::platform {

void PrintTo(const WideProduct& product, std::ostream* out) { *out << product.high << ":" << product.low; }
void PrintTo(const WideQuotient& result, std::ostream* out) { *out << result.quotient << " r " << result.remainder; }

namespace {

constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t two_32 = std::uint64_t{1} << 32;
constexpr std::uint64_t two_63 = std::uint64_t{1} << 63;

// The edges of each half and of the whole range, then random operands of every magnitude.
std::vector<std::uint64_t> operands() {
    std::vector<std::uint64_t> values = {0,          1,          2,         3,         two_32 - 1, two_32,
                                         two_32 + 1, two_63 - 1, two_63,    two_63 + 1, max - 1,    max};
    std::mt19937_64 random(2026);
    for (int i = 0; i < 300; ++i) values.push_back(random() >> (random() % 64));
    return values;
}

TEST(WideArithmetic, ProductsAtTheEdges) {
    EXPECT_EQ(portable::multiply(max, max), (WideProduct{max - 1, 1}));
    EXPECT_EQ(portable::multiply(two_32, two_32), (WideProduct{1, 0}));
    EXPECT_EQ(portable::multiply(two_63, 2), (WideProduct{1, 0}));
    EXPECT_EQ(portable::multiply(two_32 + 1, two_32 + 1), (WideProduct{1, (std::uint64_t{1} << 33) + 1}));
    EXPECT_EQ(portable::multiply(two_32 - 1, two_32 - 1), (WideProduct{0, 0xFFFF'FFFE'0000'0001}));
    EXPECT_EQ(portable::multiply(max, 0), (WideProduct{0, 0}));
    EXPECT_EQ(multiply_high(max, max), max - 1);
}

TEST(WideArithmetic, QuotientsAtTheEdges) {
    EXPECT_EQ(portable::divide(1, 0, 3), (WideQuotient{0x5555'5555'5555'5555, 1}));
    // 2^128 - 2^64 - 1 = (2^64 - 1)^2 + 2^64 - 2.
    EXPECT_EQ(portable::divide(max - 1, max, max), (WideQuotient{max, max - 1}));
    EXPECT_EQ(portable::divide(two_63, 0, two_63 + 1), (WideQuotient{max - 1, 2}));
    EXPECT_EQ(portable::divide(0, max, 1), (WideQuotient{max, 0}));
    EXPECT_EQ(portable::divide(0, 7, max), (WideQuotient{0, 7}));
    EXPECT_EQ(divide_wide(1, 0, 3), (WideQuotient{0x5555'5555'5555'5555, 1}));
}

// Every product and quotient is its own check: q * d + r rebuilds the numerator.
TEST(WideArithmetic, QuotientsRebuildTheirNumerators) {
    const std::vector<std::uint64_t> values = operands();
    for (const std::uint64_t divisor : values) {
        if (divisor == 0) continue;
        for (const std::uint64_t low : values) {
            const std::uint64_t high = low % divisor;  // keeps the quotient within 64 bits
            const WideQuotient result = portable::divide(high, low, divisor);
            ASSERT_LT(result.remainder, divisor);
            const WideProduct product = portable::multiply(result.quotient, divisor);
            const std::uint64_t rebuilt_low = product.low + result.remainder;
            const std::uint64_t rebuilt_high = product.high + (rebuilt_low < product.low ? 1 : 0);
            ASSERT_EQ((WideProduct{rebuilt_high, rebuilt_low}), (WideProduct{high, low})) << high << ":" << low << " / "
                                                                                          << divisor;
        }
    }
}

TEST(WideArithmetic, PortableFormsEqualTheCompilers) {
#if defined(VELT_NATIVE_WIDE_ARITHMETIC)
    const std::vector<std::uint64_t> values = operands();
    for (const std::uint64_t a : values) {
        for (const std::uint64_t b : values) {
            ASSERT_EQ(portable::multiply(a, b), native::multiply(a, b)) << a << " * " << b;
            ASSERT_EQ(multiply_high(a, b), native::multiply(a, b).high) << a << " * " << b;
            if (b == 0) continue;
            const std::uint64_t high = a % b;
            ASSERT_EQ(portable::divide(high, a, b), native::divide(high, a, b)) << high << ":" << a << " / " << b;
            ASSERT_EQ(divide_wide(high, a, b), native::divide(high, a, b)) << high << ":" << a << " / " << b;
        }
    }
#else
    GTEST_SKIP() << "this compiler has no 128-bit arithmetic of its own";
#endif
}

}  // namespace
}  // namespace velt::platform
