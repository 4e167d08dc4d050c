#pragma once

#include <algorithm>
#include <cstdint>
#include <type_traits>

#include "array_view.h"
#include "lanes.h"

// The traversals of calculate_summary_stats over a dense matrix, written once over a lane type
// (lanes.h). Each lane holds one column's running values and sees that column's rows in
// increasing order, so nothing within a column is reordered at any width; the lanes only let
// independent columns' chains of additions overlap.

namespace vantorix {

// The four running values of every column live in the result arrays themselves until the
// moments are formed: sum in `mean`, sum of squares in `std`, and the running extremes.
struct Columns {
    double* sum;
    double* sumsq;
    double* lo;
    double* hi;
};

// Columns of a wide row-major matrix taken per sweep: their running values, 8 KiB on the stack,
// stay in the first level of cache.
constexpr int kWideColumns = 256;

template <typename V>
struct Running {
    V sum;
    V sumsq;
    V lo;
    V hi;
};

// One row of a column's accumulation. The extremes change only on a strict comparison, so a
// NaN seed stays, a later NaN never replaces a number, and of two equal zeros the first wins.
template <typename V>
VANTORIX_ALWAYS_INLINE void add(Running<V>& s, const V& x) {
    s.sum = s.sum + x;
    s.sumsq = s.sumsq + x * x;
    s.lo = lesser(x, s.lo);
    s.hi = greater(x, s.hi);
}

template <typename V>
VANTORIX_ALWAYS_INLINE Running<V> resume(const Columns& acc, std::int64_t c) {
    return {load<V>(acc.sum + c), load<V>(acc.sumsq + c), load<V>(acc.lo + c), load<V>(acc.hi + c)};
}

template <typename V>
VANTORIX_ALWAYS_INLINE void keep(const Running<V>& s, const Columns& acc, std::int64_t c) {
    store(acc.sum + c, s.sum);
    store(acc.sumsq + c, s.sumsq);
    store(acc.lo + c, s.lo);
    store(acc.hi + c, s.hi);
}

// Only the first `used` lanes: the others repeat a column already kept.
template <typename V>
VANTORIX_ALWAYS_INLINE void keep_first(Running<V> s, const Columns& acc, std::int64_t c, int used) {
    if constexpr (width<V> == 1) {
        keep(s, acc, c);
    } else {
        for (int j = 0; j < used; ++j) {
            acc.sum[c + j] = s.sum[j];
            acc.sumsq[c + j] = s.sumsq[j];
            acc.lo[c + j] = s.lo[j];
            acc.hi[c + j] = s.hi[j];
        }
    }
}

// Row-major: rows [r0, r1) of the P * width columns from c, continuing the kept values.
template <typename V, int P>
VANTORIX_ALWAYS_INLINE void row_block(const ArrayView<double>& view, std::int64_t r0,
                                      std::int64_t r1, const Columns& acc, std::int64_t c) {
    constexpr int W = width<V>;
    Running<V> s[P];
    for (int j = 0; j < P; ++j) {
        s[j] = resume<V>(acc, c + j * W);
    }
    for (std::int64_t r = r0; r < r1; ++r) {
        const double* row = ArrayView<double>::pointer(view.line(1, r)) + c;
        for (int j = 0; j < P; ++j) {
            add(s[j], load<V>(row + j * W));
        }
    }
    for (int j = 0; j < P; ++j) {
        keep(s[j], acc, c + j * W);
    }
}

// Rows [r0, r1) of columns [c, cols): the widest lanes first, the rest with narrower ones.
template <typename V>
VANTORIX_ALWAYS_INLINE void row_blocks(const ArrayView<double>& view, std::int64_t r0,
                                       std::int64_t r1, const Columns& acc, std::int64_t c,
                                       std::int64_t cols) {
    constexpr int W = width<V>;
    for (; c + 2 * W <= cols; c += 2 * W) {
        row_block<V, 2>(view, r0, r1, acc, c);
    }
    for (; c + W <= cols; c += W) {
        row_block<V, 1>(view, r0, r1, acc, c);
    }
    using N = typename Narrower<V>::type;
    if constexpr (!std::is_void_v<N>) {
        row_blocks<N>(view, r0, r1, acc, c, cols);
    }
}

// All rows of the columns [c0, c1) of a matrix too wide for its running values to stay in
// registers. The rows are read one after another in memory order: the hardware's prefetchers
// follow that order at full bandwidth, and not the slices of several rows that blocks of
// columns would read in turn. The first P blocks of columns keep their running values in
// registers; the others wait between rows in `run`, aligned so that each store forwards to
// the load of the next row. Needs c1 - c0 >= P * width.
template <typename V, int P>
VANTORIX_ALWAYS_INLINE void wide_rows(const ArrayView<double>& view, std::int64_t rows,
                                      std::int64_t c0, std::int64_t c1,
                                      double (*run)[kWideColumns]) {
    constexpr int W = width<V>;
    const std::int64_t cols = c1 - c0;
    Running<V> held[P > 0 ? P : 1];
    for (int j = 0; j < P; ++j) {
        held[j] = {load<V>(run[0] + j * W), load<V>(run[1] + j * W), load<V>(run[2] + j * W),
                   load<V>(run[3] + j * W)};
    }
    for (std::int64_t r = 0; r < rows; ++r) {
        const double* row = ArrayView<double>::pointer(view.line(1, r)) + c0;
        for (int j = 0; j < P; ++j) {
            add(held[j], load<V>(row + j * W));
        }
        std::int64_t c = P * W;
        for (; c + W <= cols; c += W) {
            Running<V> s{load<V>(run[0] + c), load<V>(run[1] + c), load<V>(run[2] + c),
                         load<V>(run[3] + c)};
            add(s, load<V>(row + c));
            store(run[0] + c, s.sum);
            store(run[1] + c, s.sumsq);
            store(run[2] + c, s.lo);
            store(run[3] + c, s.hi);
        }
        for (; c < cols; ++c) {
            Running<double> s{run[0][c], run[1][c], run[2][c], run[3][c]};
            add(s, row[c]);
            run[0][c] = s.sum;
            run[1][c] = s.sumsq;
            run[2][c] = s.lo;
            run[3][c] = s.hi;
        }
    }
    for (int j = 0; j < P; ++j) {
        store(run[0] + j * W, held[j].sum);
        store(run[1] + j * W, held[j].sumsq);
        store(run[2] + j * W, held[j].lo);
        store(run[3] + j * W, held[j].hi);
    }
}

// Each row contiguous (C order). Up to two blocks of lanes keep a whole row's running values
// in registers while the rows stream through; the rows are taken in chunks that stay in cache,
// for the narrower lanes of any columns left over. Wider rows keep theirs in memory.
template <typename V>
VANTORIX_ALWAYS_INLINE void by_dense_rows(const ArrayView<double>& view, std::int64_t rows,
                                          std::int64_t cols, const Columns& acc) {
    const double* first = ArrayView<double>::pointer(view.line(1, 0));
    if (cols <= 2 * width<V>) {
        for (std::int64_t c = 0; c < cols; ++c) {
            acc.sum[c] = 0.0;
            acc.sumsq[c] = 0.0;
            acc.lo[c] = first[c];
            acc.hi[c] = first[c];
        }
        const std::int64_t chunk = std::max<std::int64_t>(8, 4096 / cols);
        for (std::int64_t r0 = 0; r0 < rows; r0 += chunk) {
            row_blocks<V>(view, r0, std::min(rows, r0 + chunk), acc, 0, cols);
        }
        return;
    }
    alignas(64) double run[4][kWideColumns];
    for (std::int64_t c0 = 0; c0 < cols; c0 += kWideColumns) {
        const std::int64_t c1 = std::min(cols, c0 + kWideColumns);
        for (std::int64_t c = c0; c < c1; ++c) {
            run[0][c - c0] = 0.0;
            run[1][c - c0] = 0.0;
            run[2][c - c0] = first[c];
            run[3][c - c0] = first[c];
        }
        // Six blocks in registers where there are 32 of them (AVX-512), two where 16.
        if (width<V> == 8 && c1 - c0 >= 6 * width<V>) {
            wide_rows<V, 6>(view, rows, c0, c1, run);
        } else if (c1 - c0 >= 2 * width<V>) {
            wide_rows<V, 2>(view, rows, c0, c1, run);
        } else {
            wide_rows<V, 0>(view, rows, c0, c1, run);
        }
        for (std::int64_t c = c0; c < c1; ++c) {
            acc.sum[c] = run[0][c - c0];
            acc.sumsq[c] = run[1][c - c0];
            acc.lo[c] = run[2][c - c0];
            acc.hi[c] = run[3][c - c0];
        }
    }
}

// Column-major: all rows of `used` columns from c, one to a lane. Spare lanes repeat the last
// column, so that an odd column rides along with the others instead of taking a pass of its
// own, and are never kept.
template <typename V, int P, bool padded = false>
VANTORIX_ALWAYS_INLINE void column_block(const ArrayView<double>& view, std::int64_t rows,
                                         const Columns& acc, std::int64_t c, int used) {
    constexpr int W = width<V>;
    const double* lines[P * W];
    for (int j = 0; j < P * W; ++j) {
        lines[j] = ArrayView<double>::pointer(view.line(0, c + std::min(j, used - 1)));
    }
    Running<V> s[P];
    for (int j = 0; j < P; ++j) {
        const V first = gather<V>(lines + j * W, 0);
        s[j] = {V{}, V{}, first, first};
    }
    for (std::int64_t r = 0; r < rows; ++r) {
        for (int j = 0; j < P; ++j) {
            add(s[j], gather<V>(lines + j * W, r));
        }
    }
    for (int j = 0; j < P; ++j) {
        if constexpr (padded) {
            keep_first(s[j], acc, c + j * W, std::clamp(used - j * W, 0, W));
        } else {
            keep(s[j], acc, c + j * W);
        }
    }
}

// Each column contiguous (Fortran order, a transposed C array).
template <typename V>
VANTORIX_ALWAYS_INLINE void by_dense_columns(const ArrayView<double>& view, std::int64_t rows,
                                             std::int64_t cols, const Columns& acc,
                                             std::int64_t c = 0) {
    constexpr int W = width<V>;
    for (; c + 2 * W <= cols; c += 2 * W) {
        column_block<V, 2>(view, rows, acc, c, 2 * W);
    }
    // The columns left over share one pass, in lanes that repeat the last of them where they
    // fall short; a lone column too takes a pair of lanes rather than plain doubles, whose
    // running extremes compilers tend to keep in integer registers.
    using N = typename Narrower<V>::type;
    const auto left = static_cast<int>(cols - c);
    if (left > W) {
        column_block<V, 2, true>(view, rows, acc, c, left);
    } else if (left > 0 && (left > W / 2 || W == 2 || std::is_void_v<N>)) {
        column_block<V, 1, true>(view, rows, acc, c, left);
    } else if constexpr (!std::is_void_v<N>) {
        if (left > 0) {
            by_dense_columns<N>(view, rows, cols, acc, c);
        }
    }
}

}  // namespace vantorix
