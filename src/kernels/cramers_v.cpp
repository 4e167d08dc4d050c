#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "array_view.h"
#include "dispatch.h"
#include "kernels.h"
#include "lanes.h"
#include "tables.h"

namespace vantorix {

namespace {

// Adds n pairs to `lanes` tables of cells + 1 slots. A pair is counted in its cell, or in the
// last slot when either code is out of range: one unsigned comparison also rejects a negative
// code, and choosing the slot instead of branching keeps scattered invalid codes from costing a
// misprediction each. Consecutive pairs go to different lanes, so a run of one cell does not
// wait on its own increments. The counts are integers, exact in any order; they become doubles
// only for the chi-square. Slots fit 32 bits: a dense table has no more cells than pairs, and
// lanes are used only while cells < 4096.
template <int lanes, typename Count, typename Ahead>
void tally(const std::int32_t* x, const std::int32_t* y, std::int64_t n, std::uint32_t kx,
           std::uint32_t ky, Count* table, const Ahead& ahead) {
    const std::uint32_t cells = kx * ky;
    const auto slot = [&](std::int64_t i, std::int64_t lane) {
        const auto r = static_cast<std::uint32_t>(x[i]);
        const auto c = static_cast<std::uint32_t>(y[i]);
        const std::uint32_t cell = ((r < kx) & (c < ky)) ? r * ky + c : cells;
        return cell + static_cast<std::uint32_t>(lane % lanes) * (cells + 1);
    };
    count_slots(n, table, slot, ahead);
}

// Chi-square of one row of the table, added to `chi2` cell by cell from its first column. Only
// the additions must stay in that order: each cell's expected count (row total * column total)
// / n and its term (observed - expected)^2 / expected depend on the totals alone, so `width`
// cells have theirs computed side by side in lanes, two divisions each, and are then added one
// by one. A cell whose expected count is not positive (NaN included) has the term +0.0, which
// leaves the sum as skipping it would: the sum is never -0.0. So a row or column without pairs
// may be left out of the sweep altogether without changing a bit.
template <typename V, typename Count>
VANTORIX_ALWAYS_INLINE double add_row(double chi2, const Count* row, double row_total,
                                      const double* col_totals, std::int64_t cols, double count) {
    constexpr int W = width<V>;
    const V n = V{} + count;
    const V rt = V{} + row_total;
    std::int64_t c = 0;
    for (; c + W <= cols; c += W) {
        const V expected = (rt * load<V>(col_totals + c)) / n;
        const V d = load_counts<V>(row + c) - expected;
        const V term = expected > 0 ? (d * d) / expected : V{};
        double terms[W];
        store(terms, term);
        for (int j = 0; j < W; ++j) {
            chi2 += terms[j];
        }
    }
    for (; c < cols; ++c) {
        const double expected = (row_total * col_totals[c]) / count;
        if (expected > 0) {
            const double d = static_cast<double>(row[c]) - expected;
            chi2 += (d * d) / expected;
        }
    }
    return chi2;
}

// The rows of a table of `cols` columns, row r's counts from table + r * cols, each row with
// pairs added by add_row in turn.
template <typename V, typename Count>
VANTORIX_ALWAYS_INLINE double add_rows(double chi2, const Count* table, const Count* row_totals,
                                       std::int64_t rows, const double* col_totals,
                                       std::int64_t cols, double count) {
    for (std::int64_t r = 0; r < rows; ++r) {
        if (row_totals[r] != 0) {
            chi2 = add_row<V>(chi2, table + r * cols, static_cast<double>(row_totals[r]),
                              col_totals, cols, count);
        }
    }
    return chi2;
}

template <typename Count>
using Sweep = double (*)(double, const Count*, const Count*, std::int64_t, const double*,
                         std::int64_t, double);

template <typename Count>
double add_rows_base(double chi2, const Count* table, const Count* row_totals, std::int64_t rows,
                     const double* col_totals, std::int64_t cols, double count) {
    return add_rows<BaseLanes>(chi2, table, row_totals, rows, col_totals, cols, count);
}

#ifdef VANTORIX_AVX2
template <typename Count>
VANTORIX_TARGET_AVX2 double add_rows_avx2(double chi2, const Count* table, const Count* row_totals,
                                          std::int64_t rows, const double* col_totals,
                                          std::int64_t cols, double count) {
    return add_rows<Lanes4>(chi2, table, row_totals, rows, col_totals, cols, count);
}

template <typename Count>
VANTORIX_TARGET_AVX512 double add_rows_avx512(double chi2, const Count* table,
                                              const Count* row_totals, std::int64_t rows,
                                              const double* col_totals, std::int64_t cols,
                                              double count) {
    return add_rows<Lanes8>(chi2, table, row_totals, rows, col_totals, cols, count);
}
#endif

template <typename Count>
Sweep<Count> fastest_sweep() {
#ifdef VANTORIX_AVX2
    if (cpu_has_avx512()) {
        return add_rows_avx512<Count>;
    }
    if (cpu_has_avx2()) {
        return add_rows_avx2<Count>;
    }
#endif
    return add_rows_base<Count>;
}

// The column totals as doubles, once, rather than converted again in every row.
template <typename Count>
Table<double> as_doubles(const Count* counts, std::int64_t m) {
    auto out = zeroed_table<double>(m);
    for (std::int64_t j = 0; j < m; ++j) {
        out[j] = static_cast<double>(counts[j]);
    }
    return out;
}

// A table with no more cells than pairs: counted where each cell lies, then swept row by row
// over its rows that hold pairs.
template <typename Count>
double dense_chi_square(const ArrayView<std::int32_t>& vx, const ArrayView<std::int32_t>& vy,
                        std::int64_t n, std::uint32_t kx, std::uint32_t ky) {
    // One more slot for skipped pairs, and four lanes while they all stay in cache.
    const std::int64_t cells = std::int64_t{kx} * ky;
    const int lanes = cells < 4096 ? 4 : 1;
    const auto table = zeroed_table<Count>(lanes * (cells + 1));
    for_each_block(vx, vy, n,
                   [&](const std::int32_t* x, const std::int32_t* y, std::int64_t, std::int64_t m,
                       const auto& ahead) {
                       if (lanes == 4) {
                           tally<4>(x, y, m, kx, ky, table.get(), ahead);
                       } else {
                           tally<1>(x, y, m, kx, ky, table.get(), ahead);
                       }
                   });
    for (int j = 1; j < lanes; ++j) {
        for (std::int64_t c = 0; c < cells; ++c) {
            table[c] += table[j * (cells + 1) + c];
        }
    }
    SignalCheck check;
    const auto row_totals = zeroed_table<Count>(kx);
    const auto col_counts = zeroed_table<Count>(ky);
    for (std::int64_t r = 0; r < kx; ++r) {
        for (std::int64_t c = 0; c < ky; ++c) {
            row_totals[r] += table[r * ky + c];
            col_counts[c] += table[r * ky + c];
        }
        check.done(ky);
    }
    const auto col_totals = as_doubles(col_counts.get(), ky);
    // Bands of rows, the sum carried from one to the next, so that signals are looked at
    // between them.
    const Sweep<Count> sweep = fastest_sweep<Count>();
    const std::int64_t band = std::max<std::int64_t>(1, kWorkPerCheck / ky);
    double chi2 = 0.0;
    for (std::int64_t r = 0; r < kx; r += band) {
        const std::int64_t rows = std::min<std::int64_t>(band, kx - r);
        chi2 = sweep(chi2, table.get() + r * ky, row_totals.get() + r, rows, col_totals.get(), ky,
                     static_cast<double>(n));
        check.done(rows * ky);
    }
    return chi2;
}

// The codes of one side that occur in tallied pairs, numbered 0, 1, ... in increasing order,
// with how often each occurs. Up to `n` declared categories a count per category finds them;
// beyond, the codes seen are sorted, so that nothing is sized by a declared count larger than
// the data.
template <typename Count>
class Levels {
public:
    Levels(std::uint32_t k, std::int64_t n)
        : k_(k), dense_(k <= n), counts_(dense_ ? zeroed_table<Count>(k) : nullptr) {}

    void see(std::uint32_t code) {
        if (dense_) {
            ++counts_[code];
        } else {
            seen_.push_back(code);
        }
    }

    // After every code is seen: the totals in code order, and each code's place among them.
    void number() {
        if (dense_) {
            for (std::int64_t start = 0; start < k_; start += kWorkPerCheck) {
                if (start > 0) {
                    check_signals();
                }
                const std::int64_t end = std::min<std::int64_t>(k_, start + kWorkPerCheck);
                for (std::int64_t code = start; code < end; ++code) {
                    if (counts_[code] != 0) {
                        totals_.push_back(counts_[code]);
                        counts_[code] = static_cast<Count>(totals_.size() - 1);
                    }
                }
            }
            return;
        }
        sort_checked(seen_.begin(), seen_.end());
        std::size_t m = 0;
        for (std::size_t i = 0; i < seen_.size(); ++m) {
            std::size_t j = i;
            while (j < seen_.size() && seen_[j] == seen_[i]) {
                ++j;
            }
            seen_[m] = seen_[i];
            totals_.push_back(static_cast<Count>(j - i));
            i = j;
        }
        seen_.resize(m);
    }

    std::int64_t size() const { return static_cast<std::int64_t>(totals_.size()); }
    const std::vector<Count>& totals() const { return totals_; }

    std::int64_t index(std::uint32_t code) const {
        if (dense_) {
            return static_cast<std::int64_t>(counts_[code]);
        }
        return std::lower_bound(seen_.begin(), seen_.end(), code) - seen_.begin();
    }

private:
    std::uint32_t k_;
    bool dense_;
    Table<Count> counts_;
    std::vector<std::uint32_t> seen_;
    std::vector<Count> totals_;
};

// A table with more cells than pairs, most of them empty: only the rows and columns that hold
// pairs are swept, in the same order, each row's counts laid out in a buffer of those columns
// just before its sweep. The pairs are grouped by row first, so time and memory grow with the
// pairs and the categories that occur, not with the declared counts.
template <typename Count>
double sparse_chi_square(const ArrayView<std::int32_t>& vx, const ArrayView<std::int32_t>& vy,
                         std::int64_t n, std::uint32_t kx, std::uint32_t ky) {
    Levels<Count> rows(kx, n);
    Levels<Count> cols(ky, n);
    const auto each_pair = [&](const auto& body) {
        for_each_block(vx, vy, n,
                       [&](const std::int32_t* x, const std::int32_t* y, std::int64_t,
                           std::int64_t m, const auto&) {
                           for (std::int64_t i = 0; i < m; ++i) {
                               const auto r = static_cast<std::uint32_t>(x[i]);
                               const auto c = static_cast<std::uint32_t>(y[i]);
                               if (r < kx && c < ky) {
                                   body(r, c);
                               }
                           }
                       });
    };
    each_pair([&](std::uint32_t r, std::uint32_t c) {
        rows.see(r);
        cols.see(c);
    });
    rows.number();
    cols.number();

    // Each row's pairs as their column's place, rows one after another.
    const std::int64_t height = rows.size();
    const auto next = zeroed_table<std::int64_t>(height + 1);
    for (std::int64_t r = 0; r < height; ++r) {
        next[r + 1] = next[r] + static_cast<std::int64_t>(rows.totals()[r]);
    }
    const auto by_row = zeroed_table<std::uint32_t>(next[height]);
    each_pair([&](std::uint32_t r, std::uint32_t c) {
        by_row[next[rows.index(r)]++] = static_cast<std::uint32_t>(cols.index(c));
    });

    const std::int64_t width = cols.size();
    const auto col_totals = as_doubles(cols.totals().data(), width);
    const auto row = zeroed_table<Count>(width);
    const Sweep<Count> sweep = fastest_sweep<Count>();
    const auto count = static_cast<double>(n);
    // Each row sweeps every column that occurs: with two columns of distinct codes, n^2 cells
    // in all, minutes for a million pairs. Signals are looked at between rows.
    SignalCheck check;
    double chi2 = 0.0;
    std::int64_t first = 0;
    for (std::int64_t r = 0; r < height; ++r) {
        // next[r] is now where row r's pairs end.
        for (std::int64_t i = first; i < next[r]; ++i) {
            ++row[by_row[i]];
        }
        chi2 = sweep(chi2, row.get(), &rows.totals()[r], 1, col_totals.get(), width, count);
        for (std::int64_t i = first; i < next[r]; ++i) {
            row[by_row[i]] = 0;
        }
        check.done(width + 2 * (next[r] - first));
        first = next[r];
    }
    return chi2;
}

template <typename Count>
double cramers_v(const ArrayView<std::int32_t>& vx, const ArrayView<std::int32_t>& vy,
                 std::int64_t n, std::int32_t n_categories_x, std::int32_t n_categories_y) {
    if (n_categories_x < 0 || n_categories_y < 0) {
        // The table of kx * ky cells comes before the row totals, whose negative size is the
        // error: two negative counts make a positive number of cells, and when a table of that
        // many cannot be had, that is the failure the caller sees. It is asked for and given
        // back at once, its pages never touched.
        if (n_categories_x < 0 && n_categories_y < 0) {
            zeroed_table<double>(std::int64_t{n_categories_x} * n_categories_y);
        }
        throw std::length_error("vector too long");
    }
    // Nothing the table could hold changes these results.
    const std::int32_t k = std::min(n_categories_x, n_categories_y);
    if (k < 2 || n == 0) {
        return 0.0;
    }
    const auto kx = static_cast<std::uint32_t>(n_categories_x);
    const auto ky = static_cast<std::uint32_t>(n_categories_y);
    // A table of no more cells than pairs is counted in place (its slots must fit 32 bits).
    const std::int64_t cells = std::int64_t{kx} * ky;
    const bool dense = cells <= n && cells < std::numeric_limits<std::uint32_t>::max();
    const double chi2 = dense ? dense_chi_square<Count>(vx, vy, n, kx, ky)
                              : sparse_chi_square<Count>(vx, vy, n, kx, ky);
    // (k - 1) * n rounded once: both factors are exact doubles (n < 2^53 in practice).
    const double phi2 = chi2 / (static_cast<double>(k - 1) * static_cast<double>(n));
    return phi2 > 0 ? std::sqrt(phi2) : 0.0;
}

}  // namespace

double calculate_cramers_v(InputArray<std::int32_t> x, InputArray<std::int32_t> y,
                           int n_categories_x, int n_categories_y) {
    const ArrayView<std::int32_t> vx(x, static_cast<std::uint32_t>(n_categories_x));
    const ArrayView<std::int32_t> vy(y, static_cast<std::uint32_t>(n_categories_y));
    if (vx.ndim() != 1 || vy.ndim() != 1) {
        throw std::runtime_error("Input vectors must be one-dimensional.");
    }
    const std::int64_t n = vx.extent(0);
    if (vy.extent(0) != n) {
        throw std::runtime_error("Input vectors must have identical lengths.");
    }
    [[maybe_unused]] const PureLoops loops;
    // 32-bit counts halve the table whenever no cell can reach 2^32.
    if (n <= std::numeric_limits<std::uint32_t>::max()) {
        return cramers_v<std::uint32_t>(vx, vy, n, n_categories_x, n_categories_y);
    }
    return cramers_v<std::uint64_t>(vx, vy, n, n_categories_x, n_categories_y);
}

}  // namespace vantorix
