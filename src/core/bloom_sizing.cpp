#include "core/bloom_sizing.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/error.hpp"
#include "core/saturating.hpp"

namespace velt {
namespace {

// -(ln 2)^2 and ln 2, as the doubles the formulas are defined with.
constexpr double negative_ln2_squared = -0.4804530139182014;
constexpr double ln2 = 0.6931471805599453;

}  // namespace

std::uint64_t optimal_num_bits(std::uint64_t expected_items, double false_positive_rate) {
    return saturating_u64(
        std::ceil(std::log(false_positive_rate) * static_cast<double>(expected_items) / negative_ln2_squared));
}

std::uint32_t optimal_num_hashes(std::uint64_t num_bits, std::uint64_t expected_items) {
    const double per_item = static_cast<double>(num_bits) / static_cast<double>(expected_items);
    return std::max<std::uint32_t>(saturating_u32(std::round(per_item * ln2)), 1);
}

BloomShape bloom_shape(std::optional<std::uint64_t> expected_items, double false_positive_rate,
                       std::optional<std::uint64_t> size, std::optional<std::uint32_t> num_hashes,
                       std::string_view size_name) {
    if (!(false_positive_rate > 0.0 && false_positive_rate < 1.0)) {
        throw ValueError("false_positive_rate must be between 0 and 1 (exclusive)");
    }
    std::uint64_t m = 0;
    if (!size) {
        if (!expected_items) {
            throw ValueError("Either expected_items or " + std::string(size_name) + " must be provided");
        }
        if (*expected_items == 0) throw ValueError("expected_items must be positive");
        m = optimal_num_bits(*expected_items, false_positive_rate);
    } else {
        if (*size == 0) throw ValueError(std::string(size_name) + " must be positive");
        m = *size;
    }

    std::uint32_t k = 0;
    if (num_hashes) {
        if (*num_hashes == 0) throw ValueError("num_hashes must be positive");
        k = *num_hashes;
    } else {
        // An explicit zero would divide by zero and ask for about four billion
        // hashes per item; without an item count, one item per ten positions.
        if (expected_items && *expected_items == 0) throw ValueError("expected_items must be positive");
        k = optimal_num_hashes(m, expected_items ? *expected_items : std::max<std::uint64_t>(m / 10, 1));
    }
    return {m, k};
}

}  // namespace velt
