#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

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
// only for the chi-square. Slots fit 32 bits: lanes are used only while cells < 4096, and a
// table of 2^32 - 1 cells or more is counted sparsely.
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

// A table larger than the data is mostly empty: the totals are counted along with the cells,
// so that no pass reads or writes its untouched pages.
template <typename Count>
void tally_sparse(const std::int32_t* x, const std::int32_t* y, std::int64_t n, std::uint32_t kx,
                  std::uint32_t ky, Count* table, Count* row_totals, Count* col_totals) {
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int32_t r = x[i];
        const std::int32_t c = y[i];
        if (static_cast<std::uint32_t>(r) < kx && static_cast<std::uint32_t>(c) < ky) {
            ++table[std::int64_t{r} * ky + c];
            ++row_totals[r];
            ++col_totals[c];
        }
    }
}

template <typename Count>
void tally_with_totals(const ArrayView<std::int32_t>& vx, const ArrayView<std::int32_t>& vy,
                       std::int64_t n, std::uint32_t kx, std::uint32_t ky, int lanes, Count* table,
                       Count* row_totals, Count* col_totals) {
    const std::int64_t cells = std::int64_t{kx} * ky;
    if (cells > n || cells >= std::numeric_limits<std::uint32_t>::max()) {
        for_each_block(
            vx, vy, n,
            [&](const std::int32_t* x, const std::int32_t* y, std::int64_t, std::int64_t m,
                const auto&) { tally_sparse(x, y, m, kx, ky, table, row_totals, col_totals); });
        return;
    }
    for_each_block(vx, vy, n,
                   [&](const std::int32_t* x, const std::int32_t* y, std::int64_t, std::int64_t m,
                       const auto& ahead) {
                       if (lanes == 4) {
                           tally<4>(x, y, m, kx, ky, table, ahead);
                       } else {
                           tally<1>(x, y, m, kx, ky, table, ahead);
                       }
                   });
    for (int j = 1; j < lanes; ++j) {
        for (std::int64_t c = 0; c < cells; ++c) {
            table[c] += table[j * (cells + 1) + c];
        }
    }
    for (std::int64_t r = 0; r < kx; ++r) {
        const Count* row = table + r * ky;
        for (std::int64_t c = 0; c < ky; ++c) {
            row_totals[r] += row[c];
            col_totals[c] += row[c];
        }
    }
}

// Chi-square: one accumulator, row by row, each row from its first column. Only the additions
// must stay in that order: each cell's expected count (row total * column total) / n and its
// term (observed - expected)^2 / expected depend on the totals alone, so `width` cells have
// theirs computed side by side in lanes, two divisions each, and are then added one by one. A
// cell whose expected count is not positive (NaN included) has the term +0.0, which leaves the
// sum as skipping it would: the sum is never -0.0. Every cell of an empty row is such a cell.
template <typename V, typename Count>
VANTORIX_ALWAYS_INLINE double chi_square(const Count* table, const Count* row_totals,
                                         const double* col_totals, std::int64_t kx, std::int64_t ky,
                                         double count) {
    constexpr int W = width<V>;
    const V n = V{} + count;
    double chi2 = 0.0;
    for (std::int64_t r = 0; r < kx; ++r) {
        if (row_totals[r] == 0) {
            continue;
        }
        const double row_total = static_cast<double>(row_totals[r]);
        const V rt = V{} + row_total;
        const Count* row = table + r * ky;
        std::int64_t c = 0;
        for (; c + W <= ky; c += W) {
            const V expected = (rt * load<V>(col_totals + c)) / n;
            const V d = load_counts<V>(row + c) - expected;
            const V term = expected > 0 ? (d * d) / expected : V{};
            double terms[W];
            store(terms, term);
            for (int j = 0; j < W; ++j) {
                chi2 += terms[j];
            }
        }
        for (; c < ky; ++c) {
            const double expected = (row_total * col_totals[c]) / count;
            if (expected > 0) {
                const double d = static_cast<double>(row[c]) - expected;
                chi2 += (d * d) / expected;
            }
        }
    }
    return chi2;
}

#ifdef VANTORIX_AVX2
template <typename Count>
VANTORIX_TARGET_AVX2 double chi_square_avx2(const Count* table, const Count* row_totals,
                                            const double* col_totals, std::int64_t kx,
                                            std::int64_t ky, double count) {
    return chi_square<Lanes4>(table, row_totals, col_totals, kx, ky, count);
}

template <typename Count>
VANTORIX_TARGET_AVX512 double chi_square_avx512(const Count* table, const Count* row_totals,
                                                const double* col_totals, std::int64_t kx,
                                                std::int64_t ky, double count) {
    return chi_square<Lanes8>(table, row_totals, col_totals, kx, ky, count);
}
#endif

template <typename Count>
double chi_square_fastest(const Count* table, const Count* row_totals, const Count* col_counts,
                          std::int64_t kx, std::int64_t ky, double count) {
    // The column totals as doubles, once, rather than converted again in every row.
    const auto col_totals = zeroed_table<double>(ky);
    for (std::int64_t c = 0; c < ky; ++c) {
        col_totals[c] = static_cast<double>(col_counts[c]);
    }
#ifdef VANTORIX_AVX2
    if (cpu_has_avx512()) {
        return chi_square_avx512(table, row_totals, col_totals.get(), kx, ky, count);
    }
    if (cpu_has_avx2()) {
        return chi_square_avx2(table, row_totals, col_totals.get(), kx, ky, count);
    }
#endif
    return chi_square<BaseLanes>(table, row_totals, col_totals.get(), kx, ky, count);
}

template <typename Count>
double cramers_v(const ArrayView<std::int32_t>& vx, const ArrayView<std::int32_t>& vy,
                 std::int64_t n, std::int32_t n_categories_x, std::int32_t n_categories_y) {
    // The working tables, in this order, even for n = 0: a negative count fails here. The
    // table has one more slot for skipped pairs, and four lanes while they all stay in cache.
    const std::int64_t cells = std::int64_t{n_categories_x} * n_categories_y;
    if (cells < 0) {
        throw std::length_error("vector too long");
    }
    const int lanes = cells < 4096 && cells <= n ? 4 : 1;
    const auto table = zeroed_table<Count>(lanes * (cells + 1));
    const auto row_totals = zeroed_table<Count>(n_categories_x);
    const auto col_totals = zeroed_table<Count>(n_categories_y);
    const auto kx = static_cast<std::uint32_t>(n_categories_x);
    const auto ky = static_cast<std::uint32_t>(n_categories_y);

    tally_with_totals(vx, vy, n, kx, ky, lanes, table.get(), row_totals.get(), col_totals.get());

    const double chi2 = chi_square_fastest(table.get(), row_totals.get(), col_totals.get(), kx, ky,
                                           static_cast<double>(n));

    const std::int32_t k = std::min(n_categories_x, n_categories_y);
    if (k < 2 || n == 0) {
        return 0.0;
    }
    // (k - 1) * n rounded once: both factors are exact doubles (n < 2^53 in practice).
    const double phi2 = chi2 / (static_cast<double>(k - 1) * static_cast<double>(n));
    return phi2 > 0 ? std::sqrt(phi2) : 0.0;
}

}  // namespace

double calculate_cramers_v(InputArray<std::int32_t> x, InputArray<std::int32_t> y,
                           int n_categories_x, int n_categories_y) {
    const ArrayView<std::int32_t> vx(x);
    const ArrayView<std::int32_t> vy(y);
    if (vx.ndim() != 1 || vy.ndim() != 1) {
        throw std::runtime_error("Input vectors must be one-dimensional.");
    }
    const std::int64_t n = vx.extent(0);
    if (vy.extent(0) != n) {
        throw std::runtime_error("Input vectors must have identical lengths.");
    }
    // 32-bit counts halve the table whenever no cell can reach 2^32.
    if (n <= std::numeric_limits<std::uint32_t>::max()) {
        return cramers_v<std::uint32_t>(vx, vy, n, n_categories_x, n_categories_y);
    }
    return cramers_v<std::uint64_t>(vx, vy, n, n_categories_x, n_categories_y);
}

}  // namespace vantorix
