#pragma once

#include <cstdint>
#include <cstring>

#include "dispatch.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <emmintrin.h>
#endif

// Lane types for loops written once over their vector width. A lane type is `double` (one
// lane) or, with GCC and Clang on x86-64, a generic vector of 2, 4 or 8 doubles: the compiler
// turns its operators into the instructions of the function it is inlined into (SSE2 in the
// baseline, AVX2 or AVX-512 inside a function compiled for them). Every operation acts lane by
// lane with the IEEE semantics of its scalar form, so a loop gives the same bits at every width.
//
// Loop bodies over a lane type are always inlined: a vector of 4 or 8 doubles may only cross a
// call inside code compiled for AVX.

namespace vantorix {

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#define VANTORIX_VECTORS 1
typedef double Lanes2 __attribute__((vector_size(16)));
typedef double Lanes4 __attribute__((vector_size(32)));
typedef double Lanes8 __attribute__((vector_size(64)));
#endif

template <typename V>
constexpr int width = static_cast<int>(sizeof(V) / sizeof(double));

// Lanes 0 .. width - 1 from consecutive doubles at p, any alignment.
template <typename V>
VANTORIX_ALWAYS_INLINE V load(const double* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename V>
VANTORIX_ALWAYS_INLINE void store(double* p, const V& v) {
    std::memcpy(p, &v, sizeof v);
}

// x in every lane, bits and all (V{} + x would turn -0.0 into +0.0).
template <typename V>
VANTORIX_ALWAYS_INLINE V splat(double x) {
    double lanes[width<V>];
    for (double& lane : lanes) {
        lane = x;
    }
    return load<V>(lanes);
}

// Lanes 0 .. width - 1 from consecutive integer counts at p, each converted to the nearest
// double (exactly, below 2^53).
template <typename V, typename Count>
VANTORIX_ALWAYS_INLINE V load_counts(const Count* p) {
#ifdef VANTORIX_VECTORS
    if constexpr (width<V> > 1) {
        typedef Count Counts __attribute__((vector_size(width<V> * sizeof(Count))));
        Counts c;
        std::memcpy(&c, p, sizeof c);
        return __builtin_convertvector(c, V);
    } else
#endif
    {
        return static_cast<double>(*p);
    }
}

// Asks for the cache line that holds p, without waiting for it.
VANTORIX_ALWAYS_INLINE void prefetch(const double* p) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}

// Lane j from element r of line j: a row of `width` separate columns.
template <typename V>
VANTORIX_ALWAYS_INLINE V gather(const double* const* lines, std::int64_t r) {
    if constexpr (width<V> == 1) {
        return lines[0][r];
    } else if constexpr (width<V> == 2) {
        return V{lines[0][r], lines[1][r]};
    } else if constexpr (width<V> == 4) {
        return V{lines[0][r], lines[1][r], lines[2][r], lines[3][r]};
    } else {
        return V{lines[0][r], lines[1][r], lines[2][r], lines[3][r],
                 lines[4][r], lines[5][r], lines[6][r], lines[7][r]};
    }
}

// Exactly "x < y ? x : y" lane by lane: y when either is NaN, and y of two equal zeros.
template <typename V>
VANTORIX_ALWAYS_INLINE V lesser(const V& x, const V& y) {
    return x < y ? x : y;
}

template <typename V>
VANTORIX_ALWAYS_INLINE V greater(const V& x, const V& y) {
    return x > y ? x : y;
}

#if defined(__x86_64__) || defined(_M_X64)
// For a single double GCC turns the conditional into a branch or a move through an integer
// register, which puts several cycles on the running extreme's chain per element. minsd and
// maxsd are the same rule in one instruction (second operand on NaN or equal zeros).
template <>
VANTORIX_ALWAYS_INLINE double lesser(const double& x, const double& y) {
    return _mm_cvtsd_f64(_mm_min_sd(_mm_set_sd(x), _mm_set_sd(y)));
}

template <>
VANTORIX_ALWAYS_INLINE double greater(const double& x, const double& y) {
    return _mm_cvtsd_f64(_mm_max_sd(_mm_set_sd(x), _mm_set_sd(y)));
}
#endif

// The next narrower lane type, for the columns left over after the wide ones.
template <typename V>
struct Narrower {
    using type = void;
};
#ifdef VANTORIX_VECTORS
template <>
struct Narrower<Lanes8> {
    using type = Lanes4;
};
template <>
struct Narrower<Lanes4> {
    using type = Lanes2;
};
template <>
struct Narrower<Lanes2> {
    using type = double;
};
#endif

// The widest lane type of the baseline build.
#ifdef VANTORIX_VECTORS
using BaseLanes = Lanes2;
#else
using BaseLanes = double;
#endif

}  // namespace vantorix
