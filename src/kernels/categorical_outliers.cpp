#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "array_view.h"
#include "dispatch.h"
#include "kernels.h"
#include "tables.h"

#ifdef VANTORIX_AVX2
#include <immintrin.h>
#endif

namespace vantorix {

namespace {

// Adds n codes to `counts`, which holds `lanes` tables of k + 1 slots. Slot k takes every
// code outside 0 .. k - 1 (negative ones too, as unsigned): clamping rather than branching
// keeps scattered invalid codes from costing a misprediction each. Consecutive codes go to
// different lanes, so a run of one code does not wait on its own increments. Each code's slot
// is worked out where it is counted, 16 codes at a time, asking for the codes a block ahead:
// a loop of increments alone, over slots worked out beforehand into a buffer, ran at half
// this speed on AMD Zen 5.
template <int lanes, typename Count, typename Ahead>
void tally(const std::int32_t* data, std::int64_t n, std::uint32_t k, Count* counts,
           const Ahead& ahead) {
    const std::int64_t slots = std::int64_t{k} + 1;
    std::int64_t i = 0;
    for (; i + 16 <= n; i += 16) {
        ahead(i);
        for (int j = 0; j < 16; ++j) {
            ++counts[(j % lanes) * slots + std::min(static_cast<std::uint32_t>(data[i + j]), k)];
        }
    }
    for (; i < n; ++i) {
        ++counts[std::min(static_cast<std::uint32_t>(data[i]), k)];
    }
}

// Sums the lanes' tables into lane 0.
template <int lanes, typename Count>
void merge(std::uint32_t k, Count* counts) {
    const std::int64_t slots = std::int64_t{k} + 1;
    for (int j = 1; j < lanes; ++j) {
        for (std::int64_t c = 0; c < k; ++c) {
            counts[c] += counts[j * slots + c];
        }
    }
}

// The flag pass once every category is decided: a table lookup per element, the index clamped
// so that slot k answers for every out-of-range code.
template <typename Count>
VANTORIX_ALWAYS_INLINE void look_up(const std::int32_t* data, std::int64_t n, std::uint32_t k,
                                    const Count* decided, std::int32_t* flags) {
    for (std::int64_t i = 0; i < n; ++i) {
        flags[i] =
            static_cast<std::int32_t>(decided[std::min(static_cast<std::uint32_t>(data[i]), k)]);
    }
}

#ifdef VANTORIX_AVX2
// Eight lookups at a time with AVX2's gather (also on AVX-512 CPUs, where sixteen gain nothing
// on a pass bound by memory). The gather reads 32 bits at each index scaled by the count's
// size: the low half of a 64-bit count on this little-endian target, and 0 or 1 either way.
template <typename Count>
VANTORIX_TARGET_AVX2 void look_up_avx2(const std::int32_t* data, std::int64_t n, std::uint32_t k,
                                       const Count* decided, std::int32_t* flags) {
    const __m256i last = _mm256_set1_epi32(static_cast<int>(k));
    const int* table = reinterpret_cast<const int*>(decided);
    std::int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i codes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
        const __m256i f = _mm256_i32gather_epi32(table, _mm256_min_epu32(codes, last),
                                                 static_cast<int>(sizeof(Count)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(flags + i), f);
    }
    look_up(data + i, n - i, k, decided, flags + i);
}
#endif

template <typename Count>
void look_up_fastest(const std::int32_t* data, std::int64_t n, std::uint32_t k,
                     const Count* decided, std::int32_t* flags) {
#ifdef VANTORIX_AVX2
    if (cpu_has_avx2()) {
        look_up_avx2(data, n, k, decided, flags);
        return;
    }
#endif
    look_up(data, n, k, decided, flags);
}

// The product, not counts / n compared with threshold: they differ where it rounds
// (n = 100, threshold = 0.07 gives 7.000000000000001). A NaN limit flags nothing.
double limit_of(std::int64_t n, double threshold) { return static_cast<double>(n) * threshold; }

template <int lanes, typename Count>
void flag_codes(const ArrayView<std::int32_t>& view, std::int64_t n, std::uint32_t k,
                double threshold, std::int32_t* flags) {
    const auto counts = zeroed_table<Count>(lanes * (std::int64_t{k} + 1));
    Count* count = counts.get();
    for_each_block(view, n,
                   [&](const std::int32_t* codes, std::int64_t, std::int64_t m, const auto& ahead) {
                       tally<lanes>(codes, m, k, count, ahead);
                   });
    merge<lanes>(k, count);

    const double limit = limit_of(n, threshold);
    if (k <= n) {
        // Decide each category once, in place, and look the answer up per element; slot k
        // answers for every out-of-range code.
        for (std::int64_t c0 = 0; c0 < k; c0 += kWorkPerCheck) {
            if (c0 > 0) {
                check_signals();
            }
            const std::int64_t c1 = std::min<std::int64_t>(k, c0 + kWorkPerCheck);
            for (std::int64_t c = c0; c < c1; ++c) {
                count[c] = limit > static_cast<double>(count[c]);
            }
        }
        count[k] = 1;
        for_each_block(view, n,
                       [&](const std::int32_t* codes, std::int64_t first, std::int64_t m,
                           const auto&) { look_up_fastest(codes, m, k, count, flags + first); });
    } else {
        // More categories than elements (but not many more): a pass over the table would cost
        // more than the data.
        for_each_block(
            view, n,
            [&](const std::int32_t* codes, std::int64_t first, std::int64_t m, const auto&) {
                for (std::int64_t i = 0; i < m; ++i) {
                    const auto c = static_cast<std::uint32_t>(codes[i]);
                    flags[first + i] =
                        (c >= k) | (limit > static_cast<double>(count[std::min(c, k)]));
                }
            });
    }
}

// Far more categories than elements: a count per category would be sized by the declared k,
// and each code that occurs would touch a page of its own. Instead the valid codes are sorted
// with their places, code in the high half, so that each run of one code is its count and
// memory follows the data: 8 bytes per valid element. n < k < 2^31, so places fit 32 bits.
void flag_scattered_codes(const ArrayView<std::int32_t>& view, std::int64_t n, std::uint32_t k,
                          double threshold, std::int32_t* flags) {
    std::vector<std::uint64_t> placed;
    placed.reserve(static_cast<std::size_t>(n));  // address space only, until written
    for_each_block(view, n,
                   [&](const std::int32_t* codes, std::int64_t first, std::int64_t m, const auto&) {
                       for (std::int64_t i = 0; i < m; ++i) {
                           const auto c = static_cast<std::uint32_t>(codes[i]);
                           flags[first + i] = c >= k;
                           if (c < k) {
                               placed.push_back(std::uint64_t{c} << 32 |
                                                static_cast<std::uint32_t>(first + i));
                           }
                       }
                   });
    sort_checked(placed.begin(), placed.end());
    const double limit = limit_of(n, threshold);
    SignalCheck check;
    for (std::size_t i = 0; i < placed.size();) {
        std::size_t j = i;
        while (j < placed.size() && placed[j] >> 32 == placed[i] >> 32) {
            ++j;
        }
        const std::int32_t rare = limit > static_cast<double>(j - i);
        check.done(static_cast<std::int64_t>(j - i));
        for (; i < j; ++i) {
            flags[static_cast<std::uint32_t>(placed[i])] = rare;
        }
    }
}

template <typename Count>
void flag_codes(const ArrayView<std::int32_t>& view, std::int64_t n, std::uint32_t k,
                double threshold, std::int32_t* flags) {
    // Extra lanes pay off only while all of them stay in cache.
    if (k < 4096) {
        flag_codes<8, Count>(view, n, k, threshold, flags);
    } else {
        flag_codes<1, Count>(view, n, k, threshold, flags);
    }
}

}  // namespace

py::array_t<std::int32_t> detect_categorical_outliers(InputArray<std::int32_t> data,
                                                      int n_categories, double threshold) {
    const ArrayView<std::int32_t> view(data, static_cast<std::uint32_t>(n_categories));
    auto result = new_flag_array(view);
    const std::int64_t n = view.extent(0);
    std::int32_t* flags = result.mutable_data();
    if (n == 0) {
        return result;
    }
    if (n_categories < 0) {
        throw std::length_error("vector too long");
    }
    {
        [[maybe_unused]] const PureLoops loops;
        const auto k = static_cast<std::uint32_t>(n_categories);
        if (k == 0) {
            std::fill(flags, flags + n, 1);  // no valid code at all
        } else if (k / 4 > n) {
            flag_scattered_codes(view, n, k, threshold, flags);
        } else if (n <= std::numeric_limits<std::uint32_t>::max()) {
            // A count never exceeds n: 32 bits suffice below 2^32 elements.
            flag_codes<std::uint32_t>(view, n, k, threshold, flags);
        } else {
            flag_codes<std::uint64_t>(view, n, k, threshold, flags);
        }
    }
    return result;
}

}  // namespace vantorix
