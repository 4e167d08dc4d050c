#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

#include "array_view.h"
#include "kernels.h"
#include "tables.h"

namespace vantorix {

namespace {

// Counts pairs whose codes are both in range. The counts are integers (exact, whatever the
// order), turned into doubles only for the chi-square. With `totals`, the row and column
// totals are counted here too; otherwise they are summed from the table afterwards.
template <bool totals, typename Count, typename X, typename Y>
void tally(const X& x, const Y& y, std::int64_t n, std::int32_t kx, std::int32_t ky,
           Count* table, Count* row_totals, Count* col_totals) {
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int32_t r = x[i];
        const std::int32_t c = y[i];
        // One unsigned comparison each also rejects negative codes.
        if (static_cast<std::uint32_t>(r) < static_cast<std::uint32_t>(kx) &&
            static_cast<std::uint32_t>(c) < static_cast<std::uint32_t>(ky)) {
            ++table[static_cast<std::int64_t>(r) * ky + c];
            if (totals) {
                ++row_totals[r];
                ++col_totals[c];
            }
        }
    }
}

template <bool totals, typename Count>
void tally(const ArrayView<std::int32_t>& vx, const ArrayView<std::int32_t>& vy, std::int64_t n,
           std::int32_t kx, std::int32_t ky, Count* table, Count* row_totals,
           Count* col_totals) {
    if (vx.dense(0) && vy.dense(0)) {
        tally<totals>(ArrayView<std::int32_t>::pointer(vx.line(0)),
                      ArrayView<std::int32_t>::pointer(vy.line(0)), n, kx, ky, table,
                      row_totals, col_totals);
    } else {
        tally<totals>(vx.line(0), vy.line(0), n, kx, ky, table, row_totals, col_totals);
    }
}

template <typename Count>
double cramers_v(const ArrayView<std::int32_t>& vx, const ArrayView<std::int32_t>& vy,
                 std::int64_t n, std::int32_t kx, std::int32_t ky) {
    // The working tables, in this order, even for n = 0: a negative count fails here.
    const std::int64_t cells = static_cast<std::int64_t>(kx) * ky;
    const auto table = zeroed_table<Count>(cells);
    const auto row_totals = zeroed_table<Count>(kx);
    const auto col_totals = zeroed_table<Count>(ky);

    if (cells > n) {
        // A table larger than the data is mostly empty: count the totals while tallying, so
        // that no pass reads or writes the untouched pages.
        tally<true>(vx, vy, n, kx, ky, table.get(), row_totals.get(), col_totals.get());
    } else {
        tally<false>(vx, vy, n, kx, ky, table.get(), row_totals.get(), col_totals.get());
        for (std::int64_t r = 0; r < kx; ++r) {
            const Count* row = table.get() + r * ky;
            for (std::int64_t c = 0; c < ky; ++c) {
                row_totals[r] += row[c];
                col_totals[c] += row[c];
            }
        }
    }

    // One accumulator, row by row, each row from its first column. A cell whose expected
    // count is not positive adds nothing, which is every cell of an empty row: skip those.
    const double count = static_cast<double>(n);
    double chi2 = 0.0;
    for (std::int64_t r = 0; r < kx; ++r) {
        if (row_totals[r] == 0) {
            continue;
        }
        const double row_total = static_cast<double>(row_totals[r]);
        const Count* row = table.get() + r * ky;
        for (std::int64_t c = 0; c < ky; ++c) {
            const double expected = (row_total * static_cast<double>(col_totals[c])) / count;
            if (expected > 0) {
                const double d = static_cast<double>(row[c]) - expected;
                chi2 += (d * d) / expected;
            }
        }
    }

    const std::int32_t k = std::min(kx, ky);
    if (k < 2 || n == 0) {
        return 0.0;
    }
    // (k - 1) * n rounded once: both factors are exact doubles (n < 2^53 in practice).
    const double phi2 = chi2 / (static_cast<double>(k - 1) * count);
    return phi2 > 0 ? std::sqrt(phi2) : 0.0;
}

}  // namespace

double calculate_cramers_v(py::array_t<std::int32_t> x, py::array_t<std::int32_t> y,
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
