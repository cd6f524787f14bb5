// Instruction sets chosen at run time. A loop that profits from wider vectors
// is compiled twice from one portable source: once for the baseline of the
// target, and once more, where the compiler can, for AVX2, marked with
// VELT_TARGET_AVX2. cpu_has_avx2() tells the caller which one this processor
// runs. Both compile the same integer arithmetic, so they give the same answers.
#pragma once

namespace velt::platform {

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define VELT_HAS_AVX2_VARIANT 1
// Compiles the function it marks for processors with AVX2 (and the BMI2 that comes with it).
#define VELT_TARGET_AVX2 __attribute__((target("avx2,bmi2")))
inline bool cpu_has_avx2() {
    static const bool supported = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
    return supported;
}
#else
#define VELT_HAS_AVX2_VARIANT 0
#define VELT_TARGET_AVX2
inline bool cpu_has_avx2() { return false; }
#endif

}  // namespace velt::platform
