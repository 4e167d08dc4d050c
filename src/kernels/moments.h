#pragma once

#include <cmath>
#include <cstdint>

namespace vantorix {

struct Moments {
    double mean;
    double std;
};

// Population mean and standard deviation from a running sum and sum of squares of n values.
// The order of the operations is part of the result: mean of squares minus squared mean,
// and a variance that is not greater than 0 (NaN included) becomes 0.
inline Moments population_moments(double sum, double sumsq, std::int64_t n) {
    const double count = static_cast<double>(n);
    const double mean = sum / count;
    const double meansq = sumsq / count;
    double variance = meansq - mean * mean;
    if (!(variance > 0)) {
        variance = 0.0;
    }
    return {mean, std::sqrt(variance)};
}

}  // namespace vantorix
