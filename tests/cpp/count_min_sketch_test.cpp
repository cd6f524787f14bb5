// Count-Min sketch sizing from an error rate and a confidence: worked values.
#include <gtest/gtest.h>

#include "core/count_min_sketch.hpp"

namespace velt {
namespace {

TEST(CountMinSketch, SizingFromErrorRateAndConfidence) {
    struct Case {
        double error_rate;
        double confidence;
        std::uint64_t width;
        std::uint64_t depth;
    };
    const Case cases[] = {
        {0.1, 0.5, 28, 1}, {0.05, 0.9, 55, 3}, {0.01, 0.95, 272, 3}, {0.001, 0.99, 2719, 5}, {0.01, 0.999, 272, 7},
    };
    for (const Case& c : cases) {
        const CountMinSketch sketch = CountMinSketch::create({}, {}, c.error_rate, c.confidence, 0);
        EXPECT_EQ(sketch.width(), c.width) << c.error_rate;
        EXPECT_EQ(sketch.depth(), c.depth) << c.confidence;
    }
    const CountMinSketch standard = CountMinSketch::create({}, {}, 0.01, 0.99, 0);
    EXPECT_EQ(standard.error_rate(), 0.009993683192864136);
    EXPECT_EQ(standard.confidence(), 0.9932620530009145);
}

}  // namespace
}  // namespace velt
