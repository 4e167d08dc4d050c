#include <algorithm>
#include <cmath>
#include <cstdint>
#include <type_traits>

#include "array_view.h"
#include "dispatch.h"
#include "kernels.h"
#include "moments.h"

namespace vantorix {

namespace {

// A true division per element: a precomputed reciprocal rounds differently. The comparison is
// false for a NaN z-score or threshold.
template <typename Values>
VANTORIX_ALWAYS_INLINE void write_flags(const Values& x, std::int64_t n, double mean, double sd,
                                        double threshold, std::int32_t* flags) {
    for (std::int64_t i = 0; i < n; ++i) {
        flags[i] = std::fabs((x[i] - mean) / sd) > threshold;
    }
}

#ifdef VANTORIX_AVX2
// The division dominates this pass, and AVX2 divides four doubles at a time.
VANTORIX_TARGET_AVX2 void write_flags_avx2(const double* x, std::int64_t n, double mean, double sd,
                                           double threshold, std::int32_t* flags) {
    write_flags(x, n, mean, sd, threshold, flags);
}
#endif

template <typename Values>
void write_flags_fastest(const Values& x, std::int64_t n, double mean, double sd, double threshold,
                         std::int32_t* flags) {
#ifdef VANTORIX_AVX2
    if constexpr (std::is_pointer_v<Values>) {
        if (cpu_has_avx2()) {
            write_flags_avx2(x, n, mean, sd, threshold, flags);
            return;
        }
    }
#endif
    write_flags(x, n, mean, sd, threshold, flags);
}

}  // namespace

py::array_t<std::int32_t> detect_continuous_outliers(py::array_t<double> data, double threshold) {
    const ArrayView<double> view(data);
    auto result = new_flag_array(view);
    const std::int64_t n = view.extent(0);
    std::int32_t* flags = result.mutable_data();
    if (n == 0) {
        return result;
    }

    visit_vector(view, [&](const auto& x) {
        // One accumulator each, in element order: the last bits depend on it.
        double sum = 0.0;
        double sumsq = 0.0;
        for (std::int64_t i = 0; i < n; ++i) {
            const double v = x[i];
            sum += v;
            sumsq += v * v;
        }
        const Moments m = population_moments(sum, sumsq, n);
        if (m.std == 0) {
            std::fill(flags, flags + n, 0);
            return;
        }
        write_flags_fastest(x, n, m.mean, m.std, threshold, flags);
    });
    return result;
}

}  // namespace vantorix
