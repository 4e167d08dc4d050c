#pragma once

#include <algorithm>
#include <cstdint>
#include <type_traits>

#include "lanes.h"

// The sweeps of calculate_summary_stats over one tile of a matrix, written once over a lane
// type (lanes.h). Each lane holds one column's running values and sees that column's rows in
// increasing order, tile after tile, so nothing within a column is reordered at any width; the
// lanes only let independent columns' chains of additions overlap.

namespace vantorix {

// The four running values of every column live in the result arrays themselves until the
// moments are formed: sum in `mean`, sum of squares in `std`, and the running extremes.
struct Columns {
    double* sum;
    double* sumsq;
    double* lo;
    double* hi;

    Columns from(std::int64_t c) const { return {sum + c, sumsq + c, lo + c, hi + c}; }
};

// A dense block of rows x cols elements of the matrix, in the caller's memory or converted into
// a buffer. Row-major tiles hold element (r, c) at p[r * pitch + c], column-major ones at
// p[c * pitch + r].
struct Tile {
    const double* p;
    std::int64_t pitch;
    std::int64_t rows;
    std::int64_t cols;
    // The same columns of the next row-major tile in the caller's memory, or null: each block
    // asks for its part of it while it sweeps this one, so that the next tile is in cache by
    // the time it is swept, where the hardware alone would fetch the short runs of a tile's rows
    // one after another.
    const double* ahead = nullptr;
};

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

// The values before row 0: no sums yet, both extremes seeded with row 0 itself (comparing it
// with itself changes nothing).
template <typename V>
VANTORIX_ALWAYS_INLINE Running<V> seeded(const V& first) {
    return {V{}, V{}, first, first};
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

// Lane j from column c + min(lane + j, used - 1): spare lanes repeat the last column.
template <typename V>
VANTORIX_ALWAYS_INLINE V lanes_of(const double* values, std::int64_t c, int lane, int used) {
    double lanes[width<V>];
    for (int j = 0; j < width<V>; ++j) {
        lanes[j] = values[c + std::min(lane + j, used - 1)];
    }
    return load<V>(lanes);
}

template <typename V>
VANTORIX_ALWAYS_INLINE Running<V> resume_padded(const Columns& acc, std::int64_t c, int lane,
                                                int used) {
    return {lanes_of<V>(acc.sum, c, lane, used), lanes_of<V>(acc.sumsq, c, lane, used),
            lanes_of<V>(acc.lo, c, lane, used), lanes_of<V>(acc.hi, c, lane, used)};
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

// --- row-major tiles --------------------------------------------------------------------------

// All rows of the tile for the P * width columns from c, in registers. `fresh`: the tile starts
// at row 0 of the matrix.
template <typename V, int P>
VANTORIX_ALWAYS_INLINE void row_block(const Tile& t, const Columns& acc, std::int64_t c,
                                      bool fresh) {
    constexpr int W = width<V>;
    Running<V> s[P];
    for (int j = 0; j < P; ++j) {
        s[j] = fresh ? seeded(load<V>(t.p + c + j * W)) : resume<V>(acc, c + j * W);
    }
    for (std::int64_t r = 0; r < t.rows; ++r) {
        const double* row = t.p + r * t.pitch + c;
        if (t.ahead != nullptr) {
            for (int b = 0; b < P * W; b += 8) {
                prefetch(t.ahead + r * t.pitch + c + b);
            }
        }
        for (int j = 0; j < P; ++j) {
            add(s[j], load<V>(row + j * W));
        }
    }
    for (int j = 0; j < P; ++j) {
        keep(s[j], acc, c + j * W);
    }
}

// The columns [c, cols) of a row-major tile: blocks of P, then fewer, registers of the widest
// lanes, then narrower lanes for what is left. Each block sweeps the tile's rows, which stay in
// cache from one block to the next.
template <typename V, int P>
VANTORIX_ALWAYS_INLINE void row_blocks(const Tile& t, const Columns& acc, bool fresh,
                                       std::int64_t c = 0) {
    constexpr int W = width<V>;
    for (; c + P * W <= t.cols; c += P * W) {
        row_block<V, P>(t, acc, c, fresh);
    }
    if constexpr (P > 1) {
        row_blocks<V, P / 2>(t, acc, fresh, c);
    } else {
        using N = typename Narrower<V>::type;
        if constexpr (!std::is_void_v<N>) {
            row_blocks<N, 2>(t, acc, fresh, c);
        }
    }
}

// --- column-major tiles -----------------------------------------------------------------------

// All rows of the tile for `used` columns from c, one to a lane. Spare lanes repeat the last
// column, so that an odd column rides along with the others instead of taking a pass of its
// own, and are never kept.
template <typename V, int P, bool padded = false>
VANTORIX_ALWAYS_INLINE void column_block(const Tile& t, const Columns& acc, std::int64_t c,
                                         int used, bool fresh) {
    constexpr int W = width<V>;
    const double* lines[P * W];
    for (int j = 0; j < P * W; ++j) {
        lines[j] = t.p + (c + std::min(j, used - 1)) * t.pitch;
    }
    Running<V> s[P];
    for (int j = 0; j < P; ++j) {
        if (fresh) {
            s[j] = seeded(gather<V>(lines + j * W, 0));
        } else if constexpr (padded) {
            s[j] = resume_padded<V>(acc, c, j * W, used);
        } else {
            s[j] = resume<V>(acc, c + j * W);
        }
    }
    for (std::int64_t r = 0; r < t.rows; ++r) {
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

// The columns [c, cols) of a column-major tile.
template <typename V>
VANTORIX_ALWAYS_INLINE void column_blocks(const Tile& t, const Columns& acc, bool fresh,
                                          std::int64_t c = 0) {
    constexpr int W = width<V>;
    for (; c + 2 * W <= t.cols; c += 2 * W) {
        column_block<V, 2>(t, acc, c, 2 * W, fresh);
    }
    // The columns left over share one pass, in lanes that repeat the last of them where they
    // fall short; a lone column too takes a pair of lanes rather than plain doubles, whose
    // running extremes compilers tend to keep in integer registers.
    using N = typename Narrower<V>::type;
    const auto left = static_cast<int>(t.cols - c);
    if (left > W) {
        column_block<V, 2, true>(t, acc, c, left, fresh);
    } else if (left > 0 && (left > W / 2 || W == 2 || std::is_void_v<N>)) {
        column_block<V, 1, true>(t, acc, c, left, fresh);
    } else if constexpr (!std::is_void_v<N>) {
        if (left > 0) {
            column_blocks<N>(t, acc, fresh, c);
        }
    }
}

}  // namespace vantorix
