#pragma once

#include <pybind11/numpy.h>

#include <cstdint>

namespace vantorix {

namespace py = pybind11;

// One int32 flag per element of a 1-D float64 vector: 1 where |x - mean| / std > threshold.
// mean and std (population) come from one running sum and one running sum of squares added
// in element order; a standard deviation of exactly 0, and any NaN or infinity in the data
// (which makes the variance NaN), gives all zeros. Comparisons with a NaN are false.
py::array_t<std::int32_t> detect_continuous_outliers(py::array_t<double> data, double threshold);

}  // namespace vantorix
