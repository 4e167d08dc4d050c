#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace vantorix {

struct Moments {
    double mean;
    double std;
};

// Population mean and standard deviation from a running sum and sum of squares of n values.
// The order of the operations is part of the result: mean of squares minus squared mean,
// and a variance that is not greater than 0 (NaN included) becomes 0, so the standard
// deviation is never NaN.
//
// A NaN mean is replaced by the one positive quiet NaN. The order of the additions fixes every
// bit of a number but not the sign or payload of a NaN: inf - inf gives a negative NaN on
// x86-64 and a positive one on aarch64, and of two NaN operands the CPU keeps whichever the
// compiler happened to put first.
inline Moments population_moments(double sum, double sumsq, std::int64_t n) {
    const double count = static_cast<double>(n);
    double mean = sum / count;
    if (mean != mean) {
        mean = std::numeric_limits<double>::quiet_NaN();
    }
    const double meansq = sumsq / count;
    double variance = meansq - mean * mean;
    if (!(variance > 0)) {
        variance = 0.0;
    }
    return {mean, std::sqrt(variance)};
}

}  // namespace vantorix
