#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "array_view.h"
#include "kernels.h"
#include "moments.h"

namespace vantorix {

namespace {

// The four running values of every column live in the result arrays themselves until the
// moments are formed: sum in `mean`, sum of squares in `std`, and the running extremes.
struct Columns {
    double* sum;
    double* sumsq;
    double* lo;
    double* hi;
};

// One step of a column's accumulation. The extremes change only on a strict comparison, so a
// NaN seed stays, a later NaN never replaces a number, and of two equal zeros the first wins.
inline void add(const Columns& acc, std::int64_t c, double x) {
    acc.sum[c] += x;
    acc.sumsq[c] += x * x;
    acc.lo[c] = x < acc.lo[c] ? x : acc.lo[c];
    acc.hi[c] = x > acc.hi[c] ? x : acc.hi[c];
}

inline void seed(const Columns& acc, std::int64_t c, double first) {
    acc.sum[c] = 0.0;
    acc.sumsq[c] = 0.0;
    acc.lo[c] = first;
    acc.hi[c] = first;
}

// Row by row with one set of accumulators per column: each column still sees its rows in
// increasing order, and the inner loop runs across independent columns.
template <typename RowAt>
void by_rows(RowAt row_at, std::int64_t rows, std::int64_t cols, const Columns& acc) {
    const auto first = row_at(0);
    for (std::int64_t c = 0; c < cols; ++c) {
        seed(acc, c, first[c]);
    }
    for (std::int64_t r = 0; r < rows; ++r) {
        const auto row = row_at(r);
        for (std::int64_t c = 0; c < cols; ++c) {
            add(acc, c, row[c]);
        }
    }
}

template <typename ColumnAt>
void by_columns(ColumnAt column_at, std::int64_t rows, std::int64_t cols, const Columns& acc) {
    for (std::int64_t c = 0; c < cols; ++c) {
        const auto column = column_at(c);
        seed(acc, c, column[0]);
        for (std::int64_t r = 0; r < rows; ++r) {
            add(acc, c, column[r]);
        }
    }
}

}  // namespace

py::dict calculate_summary_stats(py::array_t<double> matrix) {
    const ArrayView<double> view(matrix);
    if (view.ndim() != 2) {
        throw std::runtime_error("Matrix must be two-dimensional.");
    }
    const std::int64_t rows = view.extent(0);
    const std::int64_t cols = view.extent(1);
    auto means = new_result<double>(cols);
    auto stds = new_result<double>(cols);
    auto mins = new_result<double>(cols);
    auto maxs = new_result<double>(cols);
    const Columns acc{means.mutable_data(), stds.mutable_data(), mins.mutable_data(),
                      maxs.mutable_data()};

    if (rows == 0) {
        for (std::int64_t c = 0; c < cols; ++c) {
            seed(acc, c, 0.0);
        }
    } else if (view.dense(0)) {
        // Each column contiguous (Fortran order, a transposed C array): one column at a time.
        by_columns([&](std::int64_t c) { return ArrayView<double>::pointer(view.line(0, c)); },
                   rows, cols, acc);
    } else if (view.dense(1)) {
        by_rows([&](std::int64_t r) { return ArrayView<double>::pointer(view.line(1, r)); },
                rows, cols, acc);
    } else if (std::llabs(view.line(0).step) < std::llabs(view.line(1).step)) {
        by_columns([&](std::int64_t c) { return view.line(0, c); }, rows, cols, acc);
    } else {
        by_rows([&](std::int64_t r) { return view.line(1, r); }, rows, cols, acc);
    }

    if (rows > 0) {
        for (std::int64_t c = 0; c < cols; ++c) {
            const Moments m = population_moments(acc.sum[c], acc.sumsq[c], rows);
            acc.sum[c] = m.mean;
            acc.sumsq[c] = m.std;
        }
    }

    py::dict result;
    result["mean"] = std::move(means);
    result["std"] = std::move(stds);
    result["min"] = std::move(mins);
    result["max"] = std::move(maxs);
    return result;
}

}  // namespace vantorix
