#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

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

// Rows [r0, r1) of column c, continuing the running values kept in `acc`, in registers.
template <typename Column>
void one_column(const Column& x, std::int64_t r0, std::int64_t r1, const Columns& acc,
                std::int64_t c) {
    double sum = acc.sum[c];
    double sumsq = acc.sumsq[c];
    double lo = acc.lo[c];
    double hi = acc.hi[c];
    for (std::int64_t r = r0; r < r1; ++r) {
        const double v = x[r];
        sum += v;
        sumsq += v * v;
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
    }
    acc.sum[c] = sum;
    acc.sumsq[c] = sumsq;
    acc.lo[c] = lo;
    acc.hi[c] = hi;
}

template <typename Column>
void whole_column(const Column& x, std::int64_t rows, const Columns& acc, std::int64_t c) {
    seed(acc, c, x[0]);
    one_column(x, 0, rows, acc, c);
}

#if defined(__SSE2__) || defined(_M_X64)
#define VANTORIX_PAIRS 1

// Two columns side by side in one register, lane 0 the first. One column's chain of additions
// waits on the latency of each addition; several chains at once keep the adder busy, while
// every lane still adds its own column's rows in order.
struct Pair {
    __m128d sum;
    __m128d sumsq;
    __m128d lo;
    __m128d hi;
};

inline Pair load_pair(const Columns& acc, std::int64_t c) {
    return {_mm_loadu_pd(acc.sum + c), _mm_loadu_pd(acc.sumsq + c), _mm_loadu_pd(acc.lo + c),
            _mm_loadu_pd(acc.hi + c)};
}

inline void store_pair(const Pair& p, const Columns& acc, std::int64_t c) {
    _mm_storeu_pd(acc.sum + c, p.sum);
    _mm_storeu_pd(acc.sumsq + c, p.sumsq);
    _mm_storeu_pd(acc.lo + c, p.lo);
    _mm_storeu_pd(acc.hi + c, p.hi);
}

inline void add(Pair& p, __m128d x) {
    p.sum = _mm_add_pd(p.sum, x);
    p.sumsq = _mm_add_pd(p.sumsq, _mm_mul_pd(x, x));
    // minpd(x, lo) is exactly "x < lo ? x : lo" lane by lane, NaN and signed zeros included.
    p.lo = _mm_min_pd(x, p.lo);
    p.hi = _mm_max_pd(x, p.hi);
}

// Rows [r0, r1) of columns c .. c + 2P - 1 of a matrix whose rows are contiguous.
template <int P>
void pairs_of_rows(const ArrayView<double>& view, std::int64_t r0, std::int64_t r1,
                   const Columns& acc, std::int64_t c) {
    Pair p[P];
    for (int j = 0; j < P; ++j) {
        p[j] = load_pair(acc, c + 2 * j);
    }
    for (std::int64_t r = r0; r < r1; ++r) {
        const double* row = ArrayView<double>::pointer(view.line(1, r)) + c;
        for (int j = 0; j < P; ++j) {
            add(p[j], _mm_loadu_pd(row + 2 * j));
        }
    }
    for (int j = 0; j < P; ++j) {
        store_pair(p[j], acc, c + 2 * j);
    }
}

// All rows of columns c .. c + 2P - 1, each column contiguous. Two rows of two columns are
// loaded at once and transposed, so that each lane sees row r and then row r + 1.
template <int P>
void pairs_of_columns(const ArrayView<double>& view, std::int64_t rows, const Columns& acc,
                      std::int64_t c) {
    const double* x[2 * P];
    for (int j = 0; j < 2 * P; ++j) {
        x[j] = ArrayView<double>::pointer(view.line(0, c + j));
        seed(acc, c + j, x[j][0]);
    }
    Pair p[P];
    for (int j = 0; j < P; ++j) {
        p[j] = load_pair(acc, c + 2 * j);
    }
    std::int64_t r = 0;
    for (; r + 2 <= rows; r += 2) {
        __m128d first[P];
        __m128d second[P];
        for (int j = 0; j < P; ++j) {
            const __m128d a = _mm_loadu_pd(x[2 * j] + r);
            const __m128d b = _mm_loadu_pd(x[2 * j + 1] + r);
            first[j] = _mm_unpacklo_pd(a, b);
            second[j] = _mm_unpackhi_pd(a, b);
        }
        for (int j = 0; j < P; ++j) {
            add(p[j], first[j]);
        }
        for (int j = 0; j < P; ++j) {
            add(p[j], second[j]);
        }
    }
    for (; r < rows; ++r) {
        for (int j = 0; j < P; ++j) {
            add(p[j], _mm_set_pd(x[2 * j + 1][r], x[2 * j][r]));
        }
    }
    for (int j = 0; j < P; ++j) {
        store_pair(p[j], acc, c + 2 * j);
    }
}
#endif

// Each column contiguous (Fortran order, a transposed C array): column by column, four at a
// time where the instruction set allows.
void by_dense_columns(const ArrayView<double>& view, std::int64_t rows, std::int64_t cols,
                      const Columns& acc) {
    std::int64_t c = 0;
#ifdef VANTORIX_PAIRS
    for (; c + 4 <= cols; c += 4) {
        pairs_of_columns<2>(view, rows, acc, c);
    }
    for (; c + 2 <= cols; c += 2) {
        pairs_of_columns<1>(view, rows, acc, c);
    }
#endif
    for (; c < cols; ++c) {
        whole_column(ArrayView<double>::pointer(view.line(0, c)), rows, acc, c);
    }
}

// Each row contiguous (C order) and few columns, too few for the column loop of by_rows to
// hide the latency of its accumulators. The rows are taken in chunks that stay in cache, and
// each chunk is run through in blocks of four columns whose running values stay in registers.
void by_dense_rows(const ArrayView<double>& view, std::int64_t rows, std::int64_t cols,
                   const Columns& acc) {
    const double* first = ArrayView<double>::pointer(view.line(1, 0));
    for (std::int64_t c = 0; c < cols; ++c) {
        seed(acc, c, first[c]);
    }
    const std::int64_t chunk = 2048 / std::max<std::int64_t>(cols, 1);
    for (std::int64_t r0 = 0; r0 < rows; r0 += chunk) {
        const std::int64_t r1 = std::min(rows, r0 + chunk);
        std::int64_t c = 0;
#ifdef VANTORIX_PAIRS
        for (; c + 4 <= cols; c += 4) {
            pairs_of_rows<2>(view, r0, r1, acc, c);
        }
        for (; c + 2 <= cols; c += 2) {
            pairs_of_rows<1>(view, r0, r1, acc, c);
        }
#endif
        for (; c < cols; ++c) {
            one_column(view.line(0, c), r0, r1, acc, c);
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
        by_dense_columns(view, rows, cols, acc);
    } else if (view.dense(1) && cols <= 16) {
        by_dense_rows(view, rows, cols, acc);
    } else if (view.dense(1)) {
        by_rows([&](std::int64_t r) { return ArrayView<double>::pointer(view.line(1, r)); }, rows,
                cols, acc);
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
