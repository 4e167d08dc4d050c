#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "array_view.h"
#include "column_sweeps.h"
#include "dispatch.h"
#include "kernels.h"
#include "moments.h"

namespace vantorix {

namespace {

// A tile converted from the caller's elements holds this many doubles at most: 32 KiB, which
// stay in the first level of cache from the conversion to the sweeps that read them.
constexpr std::int64_t kTile = 4096;
// Rows of a row-major matrix read in place are swept a tile of about this many bytes at a
// time: small enough to stay in the second level of cache while each block of columns sweeps
// it, large enough that the running values move between registers and memory rarely.
constexpr std::int64_t kTileBytes = 64 << 10;

using Sweep = void (*)(const Tile&, const Columns&, bool);

// A row-major tile. Rows no wider than one block of registers are read whole, one after
// another, which the hardware's prefetchers follow by themselves; asking for the next tile
// then only costs instructions.
template <typename V, int P>
VANTORIX_ALWAYS_INLINE void rows_of(Tile t, const Columns& acc, bool fresh) {
    if (t.cols <= P * width<V>) {
        t.ahead = nullptr;
    }
    row_blocks<V, P>(t, acc, fresh);
}

// One sweep of a row-major and of a column-major tile, per instruction set. Column-major
// tiles may take narrower lanes than row-major ones, since their lanes are filled one element
// at a time.
template <typename Rows, int P, typename Cols>
struct Sweeps {
    static void rows(const Tile& t, const Columns& acc, bool fresh) {
        rows_of<Rows, P>(t, acc, fresh);
    }
    static void columns(const Tile& t, const Columns& acc, bool fresh) {
        column_blocks<Cols>(t, acc, fresh);
    }
};

#ifdef VANTORIX_AVX2
VANTORIX_TARGET_AVX2 void rows_avx2(const Tile& t, const Columns& acc, bool fresh) {
    rows_of<Lanes4, 2>(t, acc, fresh);
}
VANTORIX_TARGET_AVX2 void columns_avx2(const Tile& t, const Columns& acc, bool fresh) {
    column_blocks<Lanes4>(t, acc, fresh);
}
// Columns gathered into 8 lanes cost more in element inserts than the wider additions save.
VANTORIX_TARGET_AVX512 void rows_avx512(const Tile& t, const Columns& acc, bool fresh) {
    rows_of<Lanes8, 4>(t, acc, fresh);
}
VANTORIX_TARGET_AVX512 void columns_avx512(const Tile& t, const Columns& acc, bool fresh) {
    column_blocks<Lanes4>(t, acc, fresh);
}
#endif

struct Sweepers {
    Sweep rows;
    Sweep columns;
};

Sweepers fastest_sweeps() {
#ifdef VANTORIX_AVX2
    if (cpu_has_avx512()) {
        return {rows_avx512, columns_avx512};
    }
    if (cpu_has_avx2()) {
        return {rows_avx2, columns_avx2};
    }
#endif
    using Base = Sweeps<BaseLanes, 2, BaseLanes>;
    return {Base::rows, Base::columns};
}

// Row by row: each tile is a band of rows, all of its columns seen before the next band.
void by_row_tiles(const ArrayView<double>& view, std::int64_t rows, std::int64_t cols,
                  const Columns& acc, Sweep sweep) {
    SignalCheck check;
    if (view.direct(1)) {
        const std::int64_t pitch = view.step(0) / static_cast<std::int64_t>(sizeof(double));
        const std::int64_t band = std::max<std::int64_t>(8, kTileBytes / (cols * 8));
        for (std::int64_t r0 = 0; r0 < rows; r0 += band) {
            const std::int64_t height = std::min(band, rows - r0);
            // The next tile, as tall as this one: the last one asks for nothing.
            const double* ahead = r0 + 2 * band <= rows ? view.line(1, r0 + band) : nullptr;
            sweep(Tile{view.line(1, r0), pitch, height, cols, ahead}, acc, r0 == 0);
            check.done(height * cols);
        }
        return;
    }
    double buffer[kTile];
    const std::int64_t width = std::min(cols, kTile / 8);
    const std::int64_t band = kTile / width;
    for (std::int64_t r0 = 0; r0 < rows; r0 += band) {
        const std::int64_t height = std::min(band, rows - r0);
        for (std::int64_t c0 = 0; c0 < cols; c0 += width) {
            const std::int64_t w = std::min(width, cols - c0);
            view.read(1, r0, height, c0, w, buffer, w);
            sweep(Tile{buffer, w, height, w, nullptr}, acc.from(c0), r0 == 0);
            check.done(height * w);
        }
    }
}

// Column by column: each tile is a group of columns, all of its rows seen before the next
// group, so that each column's elements are read one after another.
void by_column_tiles(const ArrayView<double>& view, std::int64_t rows, std::int64_t cols,
                     const Columns& acc, Sweep sweep) {
    SignalCheck check;
    if (view.direct(0)) {
        // Tiles of some kWorkPerCheck elements, so that signals are looked at between them:
        // bands of rows across all columns, or across groups of 4096 columns of a wider matrix.
        const std::int64_t pitch = view.step(1) / static_cast<std::int64_t>(sizeof(double));
        const std::int64_t width = std::min<std::int64_t>(cols, 4096);
        const std::int64_t band = kWorkPerCheck / width;
        for (std::int64_t c0 = 0; c0 < cols; c0 += width) {
            const std::int64_t w = std::min(width, cols - c0);
            for (std::int64_t r0 = 0; r0 < rows; r0 += band) {
                const std::int64_t height = std::min(band, rows - r0);
                sweep(Tile{view.line(0, c0) + r0, pitch, height, w, nullptr}, acc.from(c0),
                      r0 == 0);
                check.done(height * w);
            }
        }
        return;
    }
    double buffer[kTile];
    const std::int64_t width = std::min<std::int64_t>(cols, 16);
    const std::int64_t band = kTile / width;
    for (std::int64_t c0 = 0; c0 < cols; c0 += width) {
        const std::int64_t w = std::min(width, cols - c0);
        for (std::int64_t r0 = 0; r0 < rows; r0 += band) {
            const std::int64_t height = std::min(band, rows - r0);
            view.read(0, c0, w, r0, height, buffer, height);
            sweep(Tile{buffer, height, height, w, nullptr}, acc.from(c0), r0 == 0);
            check.done(height * w);
        }
    }
}

// An Arrow table, batch after batch. A batch whose every column is plain doubles without a
// null is swept where it lies, all of its columns together as those of a column-major matrix
// are; any other goes a group of columns and a band of rows at a time, the columns that are
// not plain there converted into a buffer.
void by_arrow_batches(const ArrowColumns<double>& a, const Columns& acc, Sweep sweep) {
    const auto cols = static_cast<std::int64_t>(a.columns.size());
    const std::size_t batches = a.columns[0].size();
    std::vector<const double*> lines(static_cast<std::size_t>(cols));
    double buffer[kTile];
    SignalCheck check;
    for (std::size_t b = 0; b < batches; ++b) {
        const std::int64_t rows = a.columns[0][b].length;
        const bool fresh = a.columns[0][b].start == 0;
        if (rows == 0) {
            continue;
        }
        bool plain = true;
        for (std::int64_t c = 0; c < cols; ++c) {
            const ArrowChunk<double>& chunk = a.columns[c][b];
            plain = plain && detail::plain_values(chunk) && chunk.validity == nullptr &&
                    chunk.missing == nullptr;
        }
        if (plain) {
            // Tiles of some kWorkPerCheck elements, as for a column-major matrix, so that
            // signals are looked at between them.
            const std::int64_t width = std::min<std::int64_t>(cols, 4096);
            const std::int64_t band = std::max<std::int64_t>(1, kWorkPerCheck / width);
            for (std::int64_t c0 = 0; c0 < cols; c0 += width) {
                const std::int64_t w = std::min(width, cols - c0);
                for (std::int64_t r0 = 0; r0 < rows; r0 += band) {
                    const std::int64_t height = std::min(band, rows - r0);
                    for (std::int64_t j = 0; j < w; ++j) {
                        lines[j] =
                            reinterpret_cast<const double*>(a.columns[c0 + j][b].values) + r0;
                    }
                    sweep(Tile{nullptr, 0, height, w, nullptr, lines.data()}, acc.from(c0),
                          fresh && r0 == 0);
                    check.done(height * w);
                }
            }
            continue;
        }
        const std::int64_t width = std::min<std::int64_t>(cols, 16);
        const std::int64_t band = kTile / width;
        for (std::int64_t c0 = 0; c0 < cols; c0 += width) {
            const std::int64_t w = std::min(width, cols - c0);
            for (std::int64_t r0 = 0; r0 < rows; r0 += band) {
                const std::int64_t height = std::min(band, rows - r0);
                for (std::int64_t j = 0; j < w; ++j) {
                    const ArrowChunk<double>& chunk = a.columns[c0 + j][b];
                    if (detail::plain_values(chunk) && detail::all_valid(chunk, r0, height)) {
                        lines[j] = reinterpret_cast<const double*>(chunk.values) + r0;
                    } else if (detail::read_chunk(chunk, r0, height, buffer + j * height)) {
                        throw detail::SignallingNaN{};
                    } else {
                        lines[j] = buffer + j * height;
                    }
                }
                sweep(Tile{nullptr, 0, height, w, nullptr, lines.data()}, acc.from(c0),
                      fresh && r0 == 0);
                check.done(height * w);
            }
        }
    }
}

// Each column's rows in increasing order, whatever the layout: along the contiguous (or least
// strided) axis of the caller's memory.
void accumulate(const ArrayView<double>& view, std::int64_t rows, std::int64_t cols,
                const Columns& acc) {
    const Sweepers sweeps = fastest_sweeps();
    if (const ArrowColumns<double>* a = view.arrow()) {
        by_arrow_batches(*a, acc, sweeps.columns);
    } else if (view.direct(0)) {
        by_column_tiles(view, rows, cols, acc, sweeps.columns);
    } else if (view.direct(1)) {
        by_row_tiles(view, rows, cols, acc, sweeps.rows);
    } else if (std::llabs(view.step(0)) <= std::llabs(view.step(1))) {
        by_column_tiles(view, rows, cols, acc, sweeps.columns);
    } else {
        by_row_tiles(view, rows, cols, acc, sweeps.rows);
    }
}

}  // namespace

py::dict calculate_summary_stats(InputArray<double> matrix) {
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
        std::fill(acc.sum, acc.sum + cols, 0.0);
        std::fill(acc.sumsq, acc.sumsq + cols, 0.0);
        std::fill(acc.lo, acc.lo + cols, 0.0);
        std::fill(acc.hi, acc.hi + cols, 0.0);
    } else if (cols > 0) {
        read_or_cast(matrix, view, [&](const ArrayView<double>& v) {
            [[maybe_unused]] const PureLoops loops;
            accumulate(v, rows, cols, acc);
        });
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
