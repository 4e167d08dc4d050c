#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "array_view.h"
#include "kernels.h"
#include "moments.h"

namespace vantorix {

py::array_t<std::int32_t> detect_continuous_outliers(py::array_t<double> data, double threshold) {
    const ArrayView<double> view(data);
    if (view.ndim() != 1) {
        throw std::runtime_error("Input data vector must be one-dimensional.");
    }
    const std::int64_t n = view.extent(0);
    auto result = new_result<std::int32_t>(n);
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
        // A true division per element: a precomputed reciprocal rounds differently.
        for (std::int64_t i = 0; i < n; ++i) {
            flags[i] = std::fabs((x[i] - m.mean) / m.std) > threshold;
        }
    });
    return result;
}

}  // namespace vantorix
