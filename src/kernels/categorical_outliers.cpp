#include <cstdint>
#include <limits>
#include <stdexcept>

#include "array_view.h"
#include "kernels.h"
#include "tables.h"

namespace vantorix {

namespace {

template <typename Count, typename Codes>
void flag_categories(const Codes& data, std::int64_t n, std::int32_t n_categories,
                     double threshold, std::int32_t* flags) {
    const auto counts = zeroed_table<Count>(n_categories);
    // Valid codes are 0 .. n_categories - 1; one unsigned comparison also rejects negatives.
    const auto k = static_cast<std::uint32_t>(n_categories);
    for (std::int64_t i = 0; i < n; ++i) {
        const auto c = static_cast<std::uint32_t>(data[i]);
        if (c < k) {
            ++counts[c];
        }
    }
    // The product, not counts / n compared with threshold: they differ where it rounds
    // (n = 100, threshold = 0.07 gives 7.000000000000001). A NaN limit flags nothing.
    const double limit = static_cast<double>(n) * threshold;
    for (std::int64_t i = 0; i < n; ++i) {
        const auto c = static_cast<std::uint32_t>(data[i]);
        flags[i] = c >= k || limit > static_cast<double>(counts[c]);
    }
}

}  // namespace

py::array_t<std::int32_t> detect_categorical_outliers(py::array_t<std::int32_t> data,
                                                      int n_categories, double threshold) {
    const ArrayView<std::int32_t> view(data);
    if (view.ndim() != 1) {
        throw std::runtime_error("Input data vector must be one-dimensional.");
    }
    const std::int64_t n = view.extent(0);
    auto result = new_result<std::int32_t>(n);
    std::int32_t* flags = result.mutable_data();
    if (n == 0) {
        return result;
    }
    if (n_categories < 0) {
        throw std::length_error("vector too long");
    }
    // A count never exceeds n: 32 bits suffice below 2^32 elements.
    const bool narrow = n <= std::numeric_limits<std::uint32_t>::max();
    visit_vector(view, [&](const auto& codes) {
        if (narrow) {
            flag_categories<std::uint32_t>(codes, n, n_categories, threshold, flags);
        } else {
            flag_categories<std::uint64_t>(codes, n, n_categories, threshold, flags);
        }
    });
    return result;
}

}  // namespace vantorix
