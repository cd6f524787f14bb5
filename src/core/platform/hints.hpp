// Hints to the optimiser and the memory system: prefetching a cache line that
// is about to be read or written, inlining, and marking a path that is never taken.
// Each compiler spells them differently; without one, a hint does nothing.
#pragma once

#if defined(_MSC_VER) && !defined(__clang__) && (defined(_M_X64) || defined(_M_IX86))
#include <xmmintrin.h>
#elif defined(_MSC_VER) && !defined(__clang__) && defined(_M_ARM64)
#include <intrin.h>
#endif

namespace velt::platform {

// Starts loading the cache line at `address` for a read soon after.
inline void prefetch_for_read(const void* address) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address, 0);
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
    _mm_prefetch(static_cast<const char*>(address), _MM_HINT_T0);
#elif defined(_MSC_VER) && defined(_M_ARM64)
    __prefetch(address);
#else
    static_cast<void>(address);
#endif
}

// Starts loading the cache line at `address` for a write soon after.
inline void prefetch_for_write(const void* address) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address, 1);
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
    // PREFETCHW is not on every x86 processor MSVC targets: a read prefetch
    // still brings the line in, and the write then takes ownership of it.
    _mm_prefetch(static_cast<const char*>(address), _MM_HINT_T0);
#elif defined(_MSC_VER) && defined(_M_ARM64)
    __prefetch(address);  // likewise a read prefetch (PLDL1KEEP)
#else
    static_cast<void>(address);
#endif
}

// VELT_FLATTEN inlines every call inside the function it marks (a hot loop
// specialised for one kind of item); VELT_ALWAYS_INLINE inlines the function it
// marks wherever it is called. MSVC has no flatten, and decides inlining itself.
#if defined(__GNUC__) || defined(__clang__)
#define VELT_FLATTEN [[gnu::flatten]]
#define VELT_ALWAYS_INLINE [[gnu::always_inline]]
#else
#define VELT_FLATTEN
#define VELT_ALWAYS_INLINE
#endif

// Tells the optimiser that control never reaches this call, so that it can
// drop the checks that lead here. Reaching it is undefined behaviour.
#if defined(__GNUC__) || defined(__clang__)
[[noreturn]] inline void unreachable() { __builtin_unreachable(); }
#elif defined(_MSC_VER)
[[noreturn]] inline void unreachable() { __assume(0); }
#else
// No hint: the check before the call simply stays.
inline void unreachable() {}
#endif

}  // namespace velt::platform
