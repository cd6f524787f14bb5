#include "hyperloglog.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>

#include "error.hpp"
#include "saturating.hpp"

namespace velt {
namespace {

constexpr double two_to_64 = 18446744073709551616.0;

// Above this raw estimate hash collisions in the 64-bit range start to matter.
constexpr double large_range_threshold = two_to_64 / 30.0;

// 2^-r for every rank a register can hold (at most 65 - 4 = 61).
constexpr std::array<double, 66> inverse_powers_of_two = [] {
    std::array<double, 66> powers{};
    double power = 1.0;
    for (double& entry : powers) {
        entry = power;
        power /= 2.0;
    }
    return powers;
}();

// The bias correction alpha_m of the raw estimate.
double alpha(double m) {
    if (m == 16.0) return 0.673;
    if (m == 32.0) return 0.697;
    if (m == 64.0) return 0.709;
    return 0.7213 / (1.0 + 1.079 / m);
}

std::uint8_t largest_rank(std::uint8_t precision) { return static_cast<std::uint8_t>(65 - precision); }

struct ConfidenceLevel {
    double level;
    double z;
};

constexpr ConfidenceLevel confidence_levels[] = {
    {0.80, 1.281552}, {0.90, 1.644854}, {0.95, 1.959964}, {0.99, 2.575829}};

}  // namespace

HyperLogLog HyperLogLog::create(std::uint8_t precision, std::uint64_t seed) {
    if (precision < min_precision || precision > max_precision) {
        throw ValueError("precision must be between 4 and 18");
    }
    HyperLogLogData data;
    data.version = record_version;
    data.registers.resize(std::size_t{1} << precision);
    data.precision = precision;
    data.seed = seed;
    return HyperLogLog(std::move(data));
}

HyperLogLog HyperLogLog::from_record(HyperLogLogData record) {
    if (record.version != record_version) throw ValueError("Unsupported HyperLogLog data version");
    if (record.precision < min_precision || record.precision > max_precision) {
        throw ValueError("Invalid HyperLogLog: precision must be between 4 and 18");
    }
    if (record.registers.size() != std::size_t{1} << record.precision) {
        throw ValueError("Invalid HyperLogLog: register count does not match precision");
    }
    const std::uint8_t limit = largest_rank(record.precision);
    if (std::any_of(record.registers.begin(), record.registers.end(),
                    [limit](std::uint8_t rank) { return rank > limit; })) {
        throw ValueError("Invalid HyperLogLog: register contains an impossible rank");
    }
    return HyperLogLog(std::move(record));
}

void HyperLogLog::count_insertions(std::uint64_t n) {
    data_.count = saturating_add(data_.count, n);
}

void HyperLogLog::update(std::span<const std::string_view> items) {
    for (std::size_t i = 0; i < items.size(); ++i) {
        apply(hash_with_seed(item_prefetching_ahead(items, i), data_.seed));
    }
    count_insertions(items.size());
}

void HyperLogLog::update_hashes(std::span<const std::uint64_t> hashes) {
    for (std::uint64_t hash : hashes) apply(mix_caller_hash(hash, data_.seed));
    count_insertions(hashes.size());
}

double HyperLogLog::cardinality() const {
    const double m = static_cast<double>(register_count());
    // One pass: the harmonic sum in index order (each term exact) and the empty registers.
    double sum = 0.0;
    std::uint64_t empty = 0;
    for (std::uint8_t rank : data_.registers) {
        sum += inverse_powers_of_two[rank];
        empty += rank == 0;
    }
    const double raw = alpha(m) * m * m / sum;

    if (raw <= 2.5 * m) {
        // Linear counting: exact enough while many registers are still empty.
        return empty > 0 ? m * std::log(m / static_cast<double>(empty)) : raw;
    }
    if (raw > large_range_threshold) {
        const double share = raw / two_to_64;
        if (share >= 1.0) return std::numeric_limits<double>::infinity();
        return -two_to_64 * std::log1p(-share);
    }
    return raw;
}

double HyperLogLog::standard_error() const { return 1.04 / std::sqrt(static_cast<double>(register_count())); }

CardinalityInterval HyperLogLog::confidence_interval(double confidence) const {
    // A tolerance of one unit in the last place lets 0.9500000000000001 select 0.95.
    constexpr double tolerance = 0x1p-52;
    for (const ConfidenceLevel& level : confidence_levels) {
        if (std::fabs(confidence - level.level) < tolerance) {
            const double estimate = cardinality();
            const double margin = estimate * (level.z * standard_error());
            // fmax, not max: an infinite estimate gives inf - inf = NaN, whose lower bound is 0.
            return {std::fmax(estimate - margin, 0.0), estimate + margin};
        }
    }
    throw ValueError("confidence must be one of 0.80, 0.90, 0.95, or 0.99");
}

std::uint64_t HyperLogLog::rounded_cardinality() const { return saturating_u64(std::round(cardinality())); }

void HyperLogLog::merge(const HyperLogLog& other) {
    if (data_.precision != other.data_.precision) {
        throw ValueError(mismatch_message("merge", "precision", data_.precision, other.data_.precision));
    }
    if (data_.seed != other.data_.seed) throw ValueError(mismatch_message("merge", "seed", data_.seed, other.data_.seed));
    std::uint8_t* mine = data_.registers.data();
    const std::uint8_t* theirs = other.data_.registers.data();
    for (std::size_t i = 0; i < data_.registers.size(); ++i) mine[i] = std::max(mine[i], theirs[i]);
    count_insertions(other.data_.count);
}

void HyperLogLog::clear() {
    std::fill(data_.registers.begin(), data_.registers.end(), 0);
    data_.count = 0;
}

std::string HyperLogLog::repr() const {
    char estimate[400];  // %.0f of the largest finite double has 309 digits
    std::snprintf(estimate, sizeof estimate, "%.0f", cardinality());
    return "HyperLogLog(precision=" + std::to_string(data_.precision) + ", cardinality=" + estimate +
           ", memory=" + std::to_string(size_in_bytes()) + "B)";
}

}  // namespace velt
