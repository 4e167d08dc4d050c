#include <pybind11/pybind11.h>

#include "kernels.h"

PYBIND11_MODULE(vantorix_core, m) {
    m.def("calculate_summary_stats", &vantorix::calculate_summary_stats);
    m.def("detect_continuous_outliers", &vantorix::detect_continuous_outliers);
}
