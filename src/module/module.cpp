#include <pybind11/pybind11.h>

#include "kernels.h"

PYBIND11_MODULE(vantorix_core, m) {
    m.def("calculate_cramers_v", &vantorix::calculate_cramers_v);
    m.def("calculate_summary_stats", &vantorix::calculate_summary_stats);
    m.def("detect_continuous_outliers", &vantorix::detect_continuous_outliers);
    m.def("detect_categorical_outliers", &vantorix::detect_categorical_outliers);
}
