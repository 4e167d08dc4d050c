#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <type_traits>

#include "lanes.h"

// The sweeps of calculate_summary_stats over one tile of a matrix, written once over a lane
// type (lanes.h). A column's sum and sum of squares see its rows in increasing order, tile
// after tile, one chain each, so no addition is reordered at any width; lanes hold independent
// columns, whose chains overlap. Only the extremes of a column swept with few others, which
// may be split and merged exactly (merged()), are also taken over several chains of its rows.

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
    // Column-major tiles whose columns lie apart (the columns of an Arrow table): column c
    // starts at lines[c] instead of p + c * pitch.
    const double* const* lines = nullptr;
};

// The first element of column c of a column-major tile.
VANTORIX_ALWAYS_INLINE const double* column_of(const Tile& t, std::int64_t c) {
    return t.lines != nullptr ? t.lines[c] : t.p + c * t.pitch;
}

// The running values of the columns in a register's lanes. The sums are one chain each, added
// in row order. The extremes may be taken over K chains, row r going to chain r % K: when few
// columns are swept at once, one chain of minima and one of maxima per register would set the
// pace, not the additions, and extremes, unlike sums, may be split and merged exactly (see
// merged()).
template <typename V, int K>
struct Chains {
    V first;
    Chains<V, K - 1> rest;
};

template <typename V>
struct Chains<V, 1> {
    V first;
};

// Chain k of c. Chains are nested members rather than an array, each reached by a constant
// path, so that the compiler keeps every one in a register.
template <int k, typename V, int K>
VANTORIX_ALWAYS_INLINE V& chain(Chains<V, K>& c) {
    if constexpr (k == 0) {
        return c.first;
    } else {
        return chain<k - 1>(c.rest);
    }
}

template <int k, typename V, int K>
VANTORIX_ALWAYS_INLINE const V& chain(const Chains<V, K>& c) {
    if constexpr (k == 0) {
        return c.first;
    } else {
        return chain<k - 1>(c.rest);
    }
}

// Every chain of c set to v.
template <typename V, int K>
VANTORIX_ALWAYS_INLINE Chains<V, K> all(const V& v) {
    if constexpr (K == 1) {
        return {v};
    } else {
        return {v, all<V, K - 1>(v)};
    }
}

// Every lane of every chain, chain k's from out + k * width.
template <typename V, int K>
VANTORIX_ALWAYS_INLINE void store(double* out, const Chains<V, K>& c) {
    store(out, c.first);
    if constexpr (K > 1) {
        store(out + width<V>, c.rest);
    }
}

template <typename V, int K>
struct Running {
    V sum;
    V sumsq;
    Chains<V, K> lo;
    Chains<V, K> hi;
};

// One row of a column's accumulation. The extremes change only on a strict comparison, so a
// NaN seed stays, a later NaN never replaces a number, and of two equal zeros the first wins.
template <int chain, typename V, int K>
VANTORIX_ALWAYS_INLINE void add(Running<V, K>& s, const V& x) {
    s.sum = s.sum + x;
    s.sumsq = s.sumsq + x * x;
    V& lo = vantorix::chain<chain>(s.lo);
    V& hi = vantorix::chain<chain>(s.hi);
    lo = lesser(x, lo);
    hi = greater(x, hi);
}

// Row r of a tile into the P registers of running values, its extremes into `chain`.
template <int chain, int K, typename V, int P, typename Rows>
VANTORIX_ALWAYS_INLINE void add_row(Running<V, K> (&s)[P], const Rows& rows, std::int64_t r) {
    rows.ahead(r);
    for (int j = 0; j < P; ++j) {
        add<chain>(s[j], rows.template lanes<V>(r, j));
    }
}

// Rows r, r + 1, ... into chains `chain`, chain + 1, ..., K - 1. The chains are template
// arguments, not a loop's counter: running values indexed by a variable are kept in memory
// rather than registers, and each chain would wait on a store and a load.
template <int chain, int K, typename V, int P, typename Rows>
VANTORIX_ALWAYS_INLINE void add_rows(Running<V, K> (&s)[P], const Rows& rows, std::int64_t r) {
    add_row<chain>(s, rows, r);
    if constexpr (chain + 1 < K) {
        add_rows<chain + 1>(s, rows, r + 1);
    }
}

// Every row of a tile, K at a time into the K chains, and the rows left over into the first.
template <typename V, int K, int P, typename Rows>
VANTORIX_ALWAYS_INLINE void add_all(Running<V, K> (&s)[P], const Rows& rows, std::int64_t n) {
    std::int64_t r = 0;
    for (; r + K <= n; r += K) {
        add_rows<0>(s, rows, r);
    }
    for (; r < n; ++r) {
        add_row<0>(s, rows, r);
    }
}

// The values before the tile's first row: the sums so far, and every chain of extremes seeded
// with the extremes so far. A tile that starts at row 0 seeds them with row 0 itself
// (comparing it with itself changes nothing).
template <typename V, int K>
VANTORIX_ALWAYS_INLINE Running<V, K> start(const V& sum, const V& sumsq, const V& lo, const V& hi) {
    return {sum, sumsq, all<V, K>(lo), all<V, K>(hi)};
}

template <typename V, int K>
VANTORIX_ALWAYS_INLINE Running<V, K> seeded(const V& first) {
    return start<V, K>(V{}, V{}, first, first);
}

template <typename V, int K>
VANTORIX_ALWAYS_INLINE Running<V, K> resume(const Columns& acc, std::int64_t c) {
    return start<V, K>(load<V>(acc.sum + c), load<V>(acc.sumsq + c), load<V>(acc.lo + c),
                       load<V>(acc.hi + c));
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

template <typename V, int K>
VANTORIX_ALWAYS_INLINE Running<V, K> resume_padded(const Columns& acc, std::int64_t c, int lane,
                                                   int used) {
    return start<V, K>(lanes_of<V>(acc.sum, c, lane, used), lanes_of<V>(acc.sumsq, c, lane, used),
                       lanes_of<V>(acc.lo, c, lane, used), lanes_of<V>(acc.hi, c, lane, used));
}

// The least (or greatest) of one column over a tile, from `m` candidates: each the value that
// the row-order rule keeps over the seed followed by one of several interleaved subsequences of
// the tile's rows. Their least is the column's least over the seed and all of the rows, and
// among equal values the rule keeps the first in row order. Equal values differ in their bits
// only as +0.0 and -0.0: when both come out of different subsequences, the first zero among the
// tile's rows (at(r), r < rows) is the answer. The seed is never one of them: a zero seed is
// replaced only by a strictly smaller (greater) value, so every chain would still hold it.
template <bool least, typename At>
double merged(const double* candidates, int m, std::int64_t rows, const At& at) {
    double best = candidates[0];
    for (int i = 1; i < m; ++i) {
        best = least ? lesser(candidates[i], best) : greater(candidates[i], best);
    }
    if (best != 0) {
        return best;
    }
    bool plus = false;
    bool minus = false;
    for (int i = 0; i < m; ++i) {
        if (candidates[i] == 0) {
            (std::signbit(candidates[i]) ? minus : plus) = true;
        }
    }
    for (std::int64_t r = 0; plus && minus && r < rows; ++r) {
        if (at(r) == 0) {
            return at(r);
        }
    }
    return best;
}

// Keeps the first `used` lanes of s as columns c, c + 1, ... of acc; lane j's elements of the
// tile are at(j, r).
template <typename V, int K, typename At>
VANTORIX_ALWAYS_INLINE void keep(const Running<V, K>& s, const Columns& acc, std::int64_t c,
                                 int used, std::int64_t rows, const At& at) {
    constexpr int W = width<V>;
    if (K == 1 && used == W) {
        store(acc.sum + c, s.sum);
        store(acc.sumsq + c, s.sumsq);
        store(acc.lo + c, s.lo.first);
        store(acc.hi + c, s.hi.first);
        return;
    }
    double sum[W], sumsq[W], lo[K * W], hi[K * W];
    store(sum, s.sum);
    store(sumsq, s.sumsq);
    store(lo, s.lo);
    store(hi, s.hi);
    for (int j = 0; j < used; ++j) {
        acc.sum[c + j] = sum[j];
        acc.sumsq[c + j] = sumsq[j];
        double lows[K], highs[K];
        for (int k = 0; k < K; ++k) {
            lows[k] = lo[k * W + j];
            highs[k] = hi[k * W + j];
        }
        const auto column = [&](std::int64_t r) { return at(j, r); };
        acc.lo[c + j] = merged<true>(lows, K, rows, column);
        acc.hi[c + j] = merged<false>(highs, K, rows, column);
    }
}

// Chains of extremes per register when a block of columns is swept alone: enough that the
// additions set the pace. Blocks of several registers overlap their chains already.
template <int P>
constexpr int chains = P == 1 ? 4 : 1;

// --- row-major tiles --------------------------------------------------------------------------

// Lanes lane .. lane + width - 1 of a row from column c; with `padded`, lanes past the `used`
// columns repeat the last of them.
template <typename V, bool padded>
VANTORIX_ALWAYS_INLINE V row_lanes(const double* row, std::int64_t c, int lane, int used) {
    if (padded && lane + width<V> > used) {
        return lanes_of<V>(row, c, lane, used);
    }
    return load<V>(row + c + lane);
}

// The rows of a row-major tile as registers of `used` columns from c; with `padded`, lanes past
// them repeat the last. ahead(r) asks for row r of the next tile while this one is swept.
template <int block, bool padded>
struct RowMajor {
    const Tile& t;
    std::int64_t c;
    int used;

    VANTORIX_ALWAYS_INLINE void ahead(std::int64_t r) const {
        if (t.ahead != nullptr) {
            for (int b = 0; b < block; b += 8) {
                prefetch(t.ahead + r * t.pitch + c + b);
            }
        }
    }

    template <typename V>
    VANTORIX_ALWAYS_INLINE V lanes(std::int64_t r, int j) const {
        return row_lanes<V, padded>(t.p + r * t.pitch, c, j * width<V>, used);
    }
};

// All rows of the tile for `used` columns from c (P * width of them unless `padded`), in
// registers. `fresh`: the tile starts at row 0 of the matrix. Spare lanes of a padded block
// repeat its last column, so that the columns left over ride along in one sweep instead of
// one sweep for each narrower register, and are never kept.
template <typename V, int P, bool padded = false>
VANTORIX_ALWAYS_INLINE void row_block(const Tile& t, const Columns& acc, std::int64_t c, int used,
                                      bool fresh) {
    constexpr int W = width<V>;
    constexpr int K = chains<P>;
    Running<V, K> s[P];
    for (int j = 0; j < P; ++j) {
        if (fresh) {
            s[j] = seeded<V, K>(row_lanes<V, padded>(t.p, c, j * W, used));
        } else if constexpr (padded) {
            s[j] = resume_padded<V, K>(acc, c, j * W, used);
        } else {
            s[j] = resume<V, K>(acc, c + j * W);
        }
    }
    add_all(s, RowMajor<P * W, padded>{t, c, used}, t.rows);
    for (int j = 0; j < P; ++j) {
        const std::int64_t first = c + j * W;
        keep(s[j], acc, first, std::clamp(used - j * W, 0, W), t.rows,
             [&](int lane, std::int64_t q) { return t.p[q * t.pitch + first + lane]; });
    }
}

// The columns [c, cols) of a row-major tile: blocks of P, then fewer, registers of the widest
// lanes, then narrower lanes for what is left. More than one register's worth of columns left
// over sweeps as a pair of registers whose second is padded, so that they take one sweep
// rather than one for each narrower register. Each block sweeps the tile's rows, which stay in
// cache from one block to the next.
template <typename V, int P>
VANTORIX_ALWAYS_INLINE void row_blocks(const Tile& t, const Columns& acc, bool fresh,
                                       std::int64_t c = 0) {
    constexpr int W = width<V>;
    for (; c + P * W <= t.cols; c += P * W) {
        row_block<V, P>(t, acc, c, P * W, fresh);
    }
    if constexpr (P > 2) {
        row_blocks<V, P / 2>(t, acc, fresh, c);
    } else {
        using N = typename Narrower<V>::type;
        const auto left = static_cast<int>(t.cols - c);
        if (P == 2 && left > W) {
            row_block<V, 2, true>(t, acc, c, left, fresh);
        } else if (left == W) {
            row_block<V, 1>(t, acc, c, W, fresh);
        } else if constexpr (!std::is_void_v<N>) {
            if (left > 0) {
                row_blocks<N, 2>(t, acc, fresh, c);
            }
        }
    }
}

// --- column-major tiles -----------------------------------------------------------------------

// The rows of a column-major tile as registers of lanes gathered from `lines`, one column each.
struct ColumnMajor {
    const double* const* lines;

    VANTORIX_ALWAYS_INLINE void ahead(std::int64_t) const {}

    template <typename V>
    VANTORIX_ALWAYS_INLINE V lanes(std::int64_t r, int j) const {
        return gather<V>(lines + j * width<V>, r);
    }
};

// All rows of the tile for `used` columns from c, one to a lane. Spare lanes repeat the last
// column, so that an odd column rides along with the others instead of taking a pass of its
// own, and are never kept.
template <typename V, int P, bool padded = false>
VANTORIX_ALWAYS_INLINE void column_block(const Tile& t, const Columns& acc, std::int64_t c,
                                         int used, bool fresh) {
    constexpr int W = width<V>;
    constexpr int K = chains<P>;
    const double* lines[P * W];
    for (int j = 0; j < P * W; ++j) {
        lines[j] = column_of(t, c + std::min(j, used - 1));
    }
    Running<V, K> s[P];
    for (int j = 0; j < P; ++j) {
        if (fresh) {
            s[j] = seeded<V, K>(gather<V>(lines + j * W, 0));
        } else if constexpr (padded) {
            s[j] = resume_padded<V, K>(acc, c, j * W, used);
        } else {
            s[j] = resume<V, K>(acc, c + j * W);
        }
    }
    add_all(s, ColumnMajor{lines}, t.rows);
    for (int j = 0; j < P; ++j) {
        keep(s[j], acc, c + j * W, std::clamp(used - j * W, 0, W), t.rows,
             [&](int lane, std::int64_t q) { return lines[j * W + lane][q]; });
    }
}

// The extremes of K * width consecutive elements from x, each register of them into a chain of
// its own (chain by chain, as add_rows does, to keep the chains in registers).
template <int k, typename V, int K>
VANTORIX_ALWAYS_INLINE void add_extremes(Chains<V, K>& lo, Chains<V, K>& hi, const double* x) {
    const V v = load<V>(x + k * width<V>);
    chain<k>(lo) = lesser(v, chain<k>(lo));
    chain<k>(hi) = greater(v, chain<k>(hi));
    if constexpr (k + 1 < K) {
        add_extremes<k + 1>(lo, hi, x);
    }
}

// All rows of the tile for column c alone, which lies contiguous. Its sums stay one chain each,
// in row order, but its extremes are taken over consecutive rows in the lanes of K registers,
// so that they come off the additions' path, and are merged at the end of the tile.
template <typename V>
VANTORIX_ALWAYS_INLINE void lone_column(const Tile& t, const Columns& acc, std::int64_t c,
                                        bool fresh) {
    constexpr int W = width<V>;
    constexpr int K = W >= 4 ? 1 : 4 / W;
    const double* x = column_of(t, c);
    double sum = fresh ? 0.0 : acc.sum[c];
    double sumsq = fresh ? 0.0 : acc.sumsq[c];
    const double first_lo = fresh ? x[0] : acc.lo[c];
    const double first_hi = fresh ? x[0] : acc.hi[c];
    Chains<V, K> lo = all<V, K>(splat<V>(first_lo));
    Chains<V, K> hi = all<V, K>(splat<V>(first_hi));
    std::int64_t r = 0;
    for (; r + K * W <= t.rows; r += K * W) {
        add_extremes<0>(lo, hi, x + r);
        for (int i = 0; i < K * W; ++i) {
            sum = sum + x[r + i];
            sumsq = sumsq + x[r + i] * x[r + i];
        }
    }
    // The rows left over make one more chain.
    double lows[K * W + 1];
    double highs[K * W + 1];
    lows[K * W] = first_lo;
    highs[K * W] = first_hi;
    for (; r < t.rows; ++r) {
        sum = sum + x[r];
        sumsq = sumsq + x[r] * x[r];
        lows[K * W] = lesser(x[r], lows[K * W]);
        highs[K * W] = greater(x[r], highs[K * W]);
    }
    store(lows, lo);
    store(highs, hi);
    const auto at = [&](std::int64_t q) { return x[q]; };
    acc.sum[c] = sum;
    acc.sumsq[c] = sumsq;
    acc.lo[c] = merged<true>(lows, K * W + 1, t.rows, at);
    acc.hi[c] = merged<false>(highs, K * W + 1, t.rows, at);
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
    // fall short; a lone column has one of its own.
    using N = typename Narrower<V>::type;
    const auto left = static_cast<int>(t.cols - c);
    if (left > W) {
        column_block<V, 2, true>(t, acc, c, left, fresh);
    } else if (left == 1) {
        lone_column<V>(t, acc, c, fresh);
    } else if (left > 0 && (left > W / 2 || W == 2 || std::is_void_v<N>)) {
        column_block<V, 1, true>(t, acc, c, left, fresh);
    } else if constexpr (!std::is_void_v<N>) {
        if (left > 0) {
            column_blocks<N>(t, acc, fresh, c);
        }
    }
}

}  // namespace vantorix
