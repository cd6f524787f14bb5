// Remainders by multiplication must equal the hardware's, for every divisor
// shape: powers of two, their neighbours, and the extremes of the range.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/fixed_divisor.hpp"

namespace velt {
namespace {

constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();

TEST(FixedDivisor, RemaindersEqualTheModuloOperator) {
    std::mt19937_64 random(7);
    std::vector<std::uint64_t> divisors = {1, 2, 3, 5, 7, 10, 2719, 10007, 1ULL << 32, (1ULL << 32) + 1,
                                           (1ULL << 63) - 1, 1ULL << 63, (1ULL << 63) + 1, max - 1, max};
    for (int i = 0; i < 200; ++i) divisors.push_back(random() >> (random() % 64) | 1);
    for (int i = 0; i < 50; ++i) divisors.push_back((random() >> (random() % 64)) + 2);

    for (const std::uint64_t divisor : divisors) {
        const FixedDivisor fixed(divisor);
        std::vector<std::uint64_t> values = {0, 1, divisor - 1, divisor, divisor + 1, max - 1, max};
        for (int i = 0; i < 2000; ++i) values.push_back(random() >> (random() % 64));
        for (const std::uint64_t x : values) ASSERT_EQ(fixed.remainder(x), x % divisor) << x << " % " << divisor;
    }
}

}  // namespace
}  // namespace velt
