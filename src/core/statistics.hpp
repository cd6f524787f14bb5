// The normal approximation behind the confidence intervals of the estimating
// structures (HyperLogLog's cardinality, MinHash's Jaccard similarity): the
// supported confidence levels and their two-sided quantiles.
#pragma once

#include <cmath>

#include "core/error.hpp"

namespace velt {

// A confidence interval: the truth lies in [lower, upper] with the requested confidence.
struct ConfidenceInterval {
    double lower;
    double upper;
};

// z such that a standard normal variable lies in [-z, z] with probability
// `confidence`, for the levels 0.80, 0.90, 0.95 and 0.99.
inline double normal_quantile(double confidence) {
    struct Level {
        double confidence;
        double z;
    };
    static constexpr Level levels[] = {{0.80, 1.281552}, {0.90, 1.644854}, {0.95, 1.959964}, {0.99, 2.575829}};
    // A level is matched within one unit in the last place of 1.0, so that a
    // computed 0.9500000000000001 still selects 0.95.
    static constexpr double tolerance = 0x1p-52;
    for (const Level& level : levels) {
        if (std::fabs(confidence - level.confidence) < tolerance) return level.z;
    }
    throw ValueError("confidence must be one of 0.80, 0.90, 0.95, or 0.99");
}

}  // namespace velt
