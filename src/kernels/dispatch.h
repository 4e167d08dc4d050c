#pragma once

// The default build runs on any x86-64 (SSE2). A loop that gains from wider vectors is compiled
// again for AVX2 and AVX-512 and chosen at run time; every copy performs the same IEEE
// operations element by element, so they give the same bits. VANTORIX_NO_DISPATCH builds only
// the baseline, so that tests can check it on any machine. Other compilers and CPUs get the
// baseline loops alone.
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__) && \
    !defined(VANTORIX_NO_DISPATCH)
#define VANTORIX_AVX2 1
#define VANTORIX_TARGET_AVX2 __attribute__((target("avx2")))
#define VANTORIX_TARGET_AVX512 __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,avx2")))

namespace vantorix {
inline bool cpu_has_avx2() { return __builtin_cpu_supports("avx2"); }
inline bool cpu_has_avx512() {
#ifdef VANTORIX_NO_AVX512
    return false;
#else
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
#endif
}
}  // namespace vantorix
#endif

#if defined(__GNUC__) || defined(__clang__)
#define VANTORIX_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define VANTORIX_ALWAYS_INLINE inline
#endif
