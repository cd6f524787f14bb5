#include "core/hyperloglog.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numbers>

#include "core/error.hpp"
#include "core/saturating.hpp"

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

// The two-sided normal quantile of a supported confidence level.
double z_for(double confidence) {
    // A tolerance of one unit in the last place lets 0.9500000000000001 select 0.95.
    constexpr double tolerance = 0x1p-52;
    for (const ConfidenceLevel& level : confidence_levels) {
        if (std::fabs(confidence - level.level) < tolerance) return level.z;
    }
    throw ValueError("confidence must be one of 0.80, 0.90, 0.95, or 0.99");
}

// ---- The improved raw estimator (Ertl 2017) ---------------------------------------
//
// With q = 64 - p hash bits below the index, a register holds a value k from 0 to
// q + 1. From the number C_k of registers holding k, the estimate is
//
//     alpha_inf m^2 / (m sigma(C_0 / m) + sum_{k=1..q} C_k 2^-k + m tau(1 - C_{q+1} / m) 2^-q)
//
// with alpha_inf = 1 / (2 ln 2): the harmonic sum of the raw estimate, in which the
// empty registers (which a raw estimate misreads in the small range) and the
// saturated ones (which cap it near 2^64) are replaced by what the Poisson model of
// the registers expects them to contribute. sigma and tau are series that converge
// quickly; each is summed until its value stops changing in double precision.

constexpr double alpha_infinity = 0.5 / std::numbers::ln2;

// One number per register value 0 .. q + 1 (at most 61): counts C_k, probabilities P_k.
using PerValue = std::array<double, 66>;

// sigma(x) = x + sum_{k>=1} x^(2^k) 2^(k-1), infinite at x = 1 (an empty counter).
double sigma(double x) {
    if (x == 1.0) return std::numeric_limits<double>::infinity();
    double weight = 1.0;
    double sum = x;
    for (double previous = -1.0; sum != previous; weight += weight) {
        x *= x;
        previous = sum;
        sum += x * weight;
    }
    return sum;
}

// tau(x) = (1 - x - sum_{k>=1} (1 - x^(2^-k))^2 2^-k) / 3.
double tau(double x) {
    if (x == 0.0 || x == 1.0) return 0.0;
    double weight = 1.0;
    double sum = 1.0 - x;
    for (double previous = -1.0; sum != previous;) {
        x = std::sqrt(x);
        previous = sum;
        weight *= 0.5;
        sum -= (1.0 - x) * (1.0 - x) * weight;
    }
    return sum / 3.0;
}

// The denominator of the estimate.
double improved_raw_sum(const PerValue& counts, unsigned q, double m) {
    // Horner's scheme from the top: 2^-q m tau + ... + C_1 / 2, then the empty registers.
    double sum = m * tau(1.0 - counts[q + 1] / m);
    for (unsigned k = q; k >= 1; --k) sum = 0.5 * (sum + counts[k]);
    return sum + m * sigma(counts[0] / m);
}

double improved_raw_estimate(const PerValue& counts, unsigned q, double m) {
    return alpha_infinity * m * m / improved_raw_sum(counts, q, m);
}

// sigma'(x) = 1 + sum_{k>=1} 2^(2k-1) x^(2^k - 1), for 0 <= x < 1.
double sigma_derivative(double x) {
    if (x == 0.0) return 1.0;
    double power = x;  // x^(2^k)
    double weight = 0.5;
    double sum = 1.0;
    for (double previous = -1.0; sum != previous;) {
        power *= power;
        weight *= 4.0;
        previous = sum;
        sum += weight * (power / x);
    }
    return sum;
}

// tau'(x) = (-1 + sum_{k>=1} 2^(1-2k) (1 - x^(2^-k)) x^(2^-k - 1)) / 3, for 0 < x <= 1.
double tau_derivative(double x) {
    double root = x;  // x^(2^-k)
    double weight = 2.0;
    double sum = -1.0;
    for (double previous = 0.0; sum != previous;) {
        root = std::sqrt(root);
        weight *= 0.25;
        previous = sum;
        sum += weight * (1.0 - root) * (root / x);
    }
    return sum / 3.0;
}

// The relative standard error of the estimate for n = lambda m distinct items
// (0 < lambda < inf), by the delta method. Under the Poisson model the registers are
// independent, value k having the probability P_k below, and to first order the
// denominator is a sum over registers of h(value): h_0 = sigma'(P_0), h_k = 2^-k,
// h_{q+1} = -tau'(1 - P_{q+1}) 2^-q, of variance m Var(h). That model also draws n
// itself from a Poisson law; a stream of exactly n distinct items lacks that spread,
// whose share n (d sum / dn)^2 = m lambda (sum_k h_k dP_k/dlambda)^2 is taken out.
// The result is 1 / sqrt(2 m) far below m (as for linear counting) and
// sqrt(3 ln 2 - 1) / sqrt(m) = 1.039 / sqrt(m) far above it.
double improved_raw_relative_error(double lambda, unsigned q, double m) {
    // P(value <= j) = exp(-lambda 2^-j) for j <= q, so P_k = e^-a - e^-2a with a = lambda 2^-k.
    PerValue probability{};
    PerValue growth{};  // dP_k / dlambda
    PerValue slope{};   // h_k
    probability[0] = std::exp(-lambda);
    growth[0] = -probability[0];
    double share = 1.0;  // 2^-k
    for (unsigned k = 1; k <= q; ++k) {
        share *= 0.5;
        const double a = lambda * share;
        const double stays = std::exp(-a);
        probability[k] = stays * -std::expm1(-a);
        growth[k] = share * stays * (2.0 * stays - 1.0);
        slope[k] = share;
    }
    probability[q + 1] = -std::expm1(-lambda * share);
    growth[q + 1] = share * std::exp(-lambda * share);
    slope[0] = sigma_derivative(probability[0]);
    slope[q + 1] = -tau_derivative(1.0 - probability[q + 1]) * share;

    double mean = 0.0;
    double sum_growth = 0.0;
    for (unsigned k = 0; k <= q + 1; ++k) {
        mean += probability[k] * slope[k];
        sum_growth += growth[k] * slope[k];
    }
    double variance = 0.0;
    for (unsigned k = 0; k <= q + 1; ++k) variance += probability[k] * (slope[k] - mean) * (slope[k] - mean);
    variance -= lambda * sum_growth * sum_growth;

    PerValue expected{};
    for (unsigned k = 0; k <= q + 1; ++k) expected[k] = m * probability[k];
    const double sum = improved_raw_sum(expected, q, m);
    return std::sqrt(std::fmax(m * variance, 0.0)) / sum;
}

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
    const double z = z_for(confidence);
    const double estimate = cardinality();
    const double margin = estimate * (z * standard_error());
    // fmax, not max: an infinite estimate gives inf - inf = NaN, whose lower bound is 0.
    return {std::fmax(estimate - margin, 0.0), estimate + margin};
}

std::uint64_t HyperLogLog::rounded_cardinality() const { return saturating_u64(std::round(cardinality())); }

double HyperLogLog::unbiased_cardinality() const {
    PerValue counts{};
    for (std::uint8_t value : data_.registers) counts[value] += 1.0;
    return improved_raw_estimate(counts, 64u - data_.precision, static_cast<double>(register_count()));
}

CardinalityInterval HyperLogLog::unbiased_confidence_interval(double confidence) const {
    const double z = z_for(confidence);
    const double estimate = unbiased_cardinality();
    // An empty counter is exact; a saturated one bounds nothing: (0, inf), as confidence_interval gives.
    if (estimate == 0.0 || std::isinf(estimate)) return {0.0, estimate};
    const double m = static_cast<double>(register_count());
    const double margin = estimate * (z * improved_raw_relative_error(estimate / m, 64u - data_.precision, m));
    return {std::fmax(estimate - margin, 0.0), estimate + margin};
}

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
