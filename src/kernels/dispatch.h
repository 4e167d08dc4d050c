#pragma once

// The default build runs on any x86-64 (SSE2). A loop that gains from wider vectors is compiled
// a second time for AVX2 and chosen at run time; both copies perform the same IEEE operations
// element by element, so they give the same bits. VANTORIX_NO_DISPATCH builds only the baseline,
// so that tests can check it on any machine.
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__) && \
    !defined(VANTORIX_NO_DISPATCH)
#define VANTORIX_AVX2 1
#define VANTORIX_TARGET_AVX2 __attribute__((target("avx2")))
#define VANTORIX_ALWAYS_INLINE inline __attribute__((always_inline))

namespace vantorix {
inline bool cpu_has_avx2() { return __builtin_cpu_supports("avx2"); }
}  // namespace vantorix
#else
#define VANTORIX_ALWAYS_INLINE inline
#endif
