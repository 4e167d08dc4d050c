#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "array_view.h"
#include "column_sweeps.h"
#include "dispatch.h"
#include "kernels.h"
#include "moments.h"

namespace vantorix {

namespace {

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
            Running<double> s{acc.sum[c], acc.sumsq[c], acc.lo[c], acc.hi[c]};
            add(s, row[c]);
            keep(s, acc, c);
        }
    }
}

// All rows of column c, in registers.
template <typename Column>
void whole_column(const Column& x, std::int64_t rows, const Columns& acc, std::int64_t c) {
    Running<double> s{0.0, 0.0, x[0], x[0]};
    for (std::int64_t r = 0; r < rows; ++r) {
        add(s, x[r]);
    }
    keep(s, acc, c);
}

// A dense matrix, one column to a lane: the same operations at every width. Column-major input
// may take narrower lanes than row-major, since its lanes are filled one element at a time.
template <typename Rows, typename Cols = Rows>
VANTORIX_ALWAYS_INLINE void by_dense_lines(const ArrayView<double>& view, std::int64_t rows,
                                           std::int64_t cols, const Columns& acc) {
    if (view.dense(0)) {
        by_dense_columns<Cols>(view, rows, cols, acc);
    } else {
        by_dense_rows<Rows>(view, rows, cols, acc);
    }
}

#ifdef VANTORIX_AVX2
VANTORIX_TARGET_AVX2 void by_dense_lines_avx2(const ArrayView<double>& view, std::int64_t rows,
                                              std::int64_t cols, const Columns& acc) {
    by_dense_lines<Lanes4>(view, rows, cols, acc);
}

// Columns gathered into 8 lanes cost more in element inserts than the wider additions save.
VANTORIX_TARGET_AVX512 void by_dense_lines_avx512(const ArrayView<double>& view, std::int64_t rows,
                                                  std::int64_t cols, const Columns& acc) {
    by_dense_lines<Lanes8, Lanes4>(view, rows, cols, acc);
}
#endif

void by_dense_lines_fastest(const ArrayView<double>& view, std::int64_t rows, std::int64_t cols,
                            const Columns& acc) {
#ifdef VANTORIX_AVX2
    if (cpu_has_avx512()) {
        by_dense_lines_avx512(view, rows, cols, acc);
        return;
    }
    if (cpu_has_avx2()) {
        by_dense_lines_avx2(view, rows, cols, acc);
        return;
    }
#endif
    by_dense_lines<BaseLanes>(view, rows, cols, acc);
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
    } else if (cols == 0) {
        // Nothing to read.
    } else if (view.dense(0) || view.dense(1)) {
        by_dense_lines_fastest(view, rows, cols, acc);
    } else if (std::llabs(view.line(0).step) < std::llabs(view.line(1).step)) {
        for (std::int64_t c = 0; c < cols; ++c) {
            whole_column(view.line(0, c), rows, acc, c);
        }
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
