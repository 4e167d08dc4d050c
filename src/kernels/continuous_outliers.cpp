#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "array_view.h"
#include "dispatch.h"
#include "kernels.h"
#include "lanes.h"
#include "moments.h"

namespace vantorix {

namespace {

// What the flag of an element depends on, and the band outside which it is decided without a
// division.
//
// The flag is fl(fl(|x - mean|) / sd) > t. With d = fl(|x - mean|) (the same rounded value the
// division receives) and q = d / sd exactly, rounding is monotone, so q > t(1 + 2^-41) gives
// fl(q) >= fl(t(1 + 2^-41)) > t, and q < t(1 - 2^-41) gives fl(q) <= fl(t(1 - 2^-41)) < t,
// for a normal t (each bound is some 2^11 ulps away from t).
//
// hi = fl(fl(t * sd) * (1 + 2^-40)) and lo = fl(fl(t * sd) * (1 - 2^-40)) bound t * sd from
// above and below by more than that margin: with p = fl(t * sd) and every product normal, each
// rounding is within a factor 1 +- 2^-53, so hi > t * sd * (1 + 2^-40)(1 - 2^-53)^2 >
// t * sd * (1 + 2^-41) and lo < t * sd * (1 - 2^-40)(1 + 2^-53)^2 < t * sd * (1 - 2^-41).
// Hence d > hi gives flag 1 and d < lo gives flag 0 exactly as the division would; only d in
// [lo, hi] is divided. Where these conditions are not met (t not positive and normal, t * sd
// outside the normal range, NaN), hi = inf and lo = -1 make every element take the division.
struct Band {
    double mean;
    double sd;
    double threshold;
    double hi;
    double lo;
};

Band band_of(double mean, double sd, double threshold) {
    Band b{mean, sd, threshold, std::numeric_limits<double>::infinity(), -1.0};
    const double least = 0x1p-1000;
    const double most = 0x1p+1000;
    const double p = threshold * sd;
    if (threshold >= least && threshold <= most && sd >= least && sd <= most && p >= least &&
        p <= most) {
        b.hi = p * (1.0 + 0x1p-40);
        b.lo = p * (1.0 - 0x1p-40);
    }
    return b;
}

// A true division per element: a precomputed reciprocal rounds differently. The comparison is
// false for a NaN z-score or threshold.
VANTORIX_ALWAYS_INLINE void divide_flags(const double* x, std::int64_t i0, std::int64_t i1,
                                         const Band& b, std::int32_t* flags) {
    for (std::int64_t i = i0; i < i1; ++i) {
        flags[i] = std::fabs((x[i] - b.mean) / b.sd) > b.threshold;
    }
}

#ifdef VANTORIX_VECTORS
// Blocks of K vectors, from the end of the data back to its start: the sums have just read it
// front to back, so its end is still in cache. A block whose every element lies well outside
// the band takes its flags from the margin test; any other is divided in full. Whether an
// element is near the band is judged by its distance from the band's middle against twice
// the band's half width, thousands of ulps more than the rounding of that distance, so no
// element inside the band is taken for one outside it.
template <typename V>
VANTORIX_ALWAYS_INLINE void write_flags(const double* x, std::int64_t n, const Band& b,
                                        std::int32_t* flags) {
    constexpr int W = width<V>;
    constexpr int K = 4;
    typedef std::int32_t Flags __attribute__((vector_size(W * sizeof(std::int32_t))));
    const V one = V{} + 1.0;
    const V none = V{};
    const double middle = 0.5 * b.hi + 0.5 * b.lo;
    const double reach = b.hi - b.lo;
    const std::int64_t head = n % (K * W);
    for (std::int64_t i = n - K * W; i >= head; i -= K * W) {
        V d[K];
        V nearest = V{} + std::numeric_limits<double>::infinity();
        for (int k = 0; k < K; ++k) {
            const V a = load<V>(x + i + k * W) - b.mean;
            d[k] = greater(a, -a);
            const V off = d[k] - middle;
            nearest = lesser(greater(off, -off), nearest);
        }
        double lanes[W];
        store(lanes, nearest);
        double closest = lanes[0];
        for (int j = 1; j < W; ++j) {
            closest = std::min(closest, lanes[j]);
        }
        for (int k = 0; k < K; ++k) {
            V f;
            if (closest > reach) {
                f = d[k] > b.hi ? one : none;
            } else {
                // fl(|x - mean| / sd) is |fl((x - mean) / sd)|: rounding is symmetric. A NaN
                // (inf / inf) compares false, as fabs(NaN) > t does.
                const V z = d[k] / b.sd;
                f = z > b.threshold ? one : none;
            }
            const Flags g = __builtin_convertvector(f, Flags);
            std::memcpy(flags + i + k * W, &g, sizeof g);
        }
    }
    divide_flags(x, 0, head, b, flags);
}
#endif

#ifdef VANTORIX_AVX2
// Four lanes also on AVX-512 CPUs: the pass is bound by memory once divisions are rare, and
// GCC 12 compares 8-lane vectors one element at a time when it needs their masks as vectors.
VANTORIX_TARGET_AVX2 void write_flags_avx2(const double* x, std::int64_t n, const Band& b,
                                           std::int32_t* flags) {
    write_flags<Lanes4>(x, n, b, flags);
}
#endif

void write_flags_fastest(const double* x, std::int64_t n, const Band& b, std::int32_t* flags) {
#ifdef VANTORIX_AVX2
    if (cpu_has_avx2()) {
        write_flags_avx2(x, n, b, flags);
        return;
    }
#endif
#ifdef VANTORIX_VECTORS
    write_flags<BaseLanes>(x, n, b, flags);
#else
    divide_flags(x, 0, n, b, flags);
#endif
}

void flag(const ArrayView<double>& view, std::int64_t n, double threshold, std::int32_t* flags) {
    // One accumulator each, in element order: the last bits depend on it.
    double sum = 0.0;
    double sumsq = 0.0;
    for_each_block(view, n, [&](const double* x, std::int64_t, std::int64_t m, const auto&) {
        double s = sum;
        double q = sumsq;
        for (std::int64_t i = 0; i < m; ++i) {
            s += x[i];
            q += x[i] * x[i];
        }
        sum = s;
        sumsq = q;
    });
    const Moments m = population_moments(sum, sumsq, n);
    if (m.std == 0) {
        std::fill(flags, flags + n, 0);
        return;
    }
    const Band b = band_of(m.mean, m.std, threshold);
    if (view.direct(0)) {
        // Runs from the last to the first, each written from its end (write_flags): the sums
        // have just read the data front to back, so its end is still in cache.
        const double* x = view.line(0);
        for (std::int64_t first = (n - 1) / kWorkPerCheck * kWorkPerCheck; first >= 0;
             first -= kWorkPerCheck) {
            write_flags_fastest(x + first, std::min(kWorkPerCheck, n - first), b, flags + first);
            if (first > 0) {
                check_signals();
            }
        }
        return;
    }
    for_each_block(view, n,
                   [&](const double* x, std::int64_t first, std::int64_t count, const auto&) {
                       write_flags_fastest(x, count, b, flags + first);
                   });
}

}  // namespace

py::array_t<std::int32_t> detect_continuous_outliers(InputArray<double> data, double threshold) {
    const ArrayView<double> view(data);
    auto result = new_flag_array(view);
    const std::int64_t n = view.extent(0);
    std::int32_t* flags = result.mutable_data();
    if (n > 0) {
        read_or_cast(data, view, [&](const ArrayView<double>& v) {
            [[maybe_unused]] const PureLoops loops;
            flag(v, n, threshold, flags);
        });
    }
    return result;
}

}  // namespace vantorix
