#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "input_array.h"

namespace vantorix {
namespace detail {

namespace {

// True when any of the n bytes is nonzero: pandas keeps a mask even where nothing is missing,
// and a column without a missing element is read as one without nulls.
bool any_set(const std::uint8_t* bytes, std::int64_t n) {
    // 256 bytes OR-ed together between tests, which vectorizes.
    constexpr std::int64_t span = 256;
    std::int64_t i = 0;
    for (; i + span <= n; i += span) {
        std::uint64_t any = 0;
        for (std::int64_t j = 0; j < span; j += 8) {
            std::uint64_t word;
            std::memcpy(&word, bytes + i + j, sizeof word);
            any |= word;
        }
        if (any != 0) {
            return true;
        }
    }
    for (; i < n; ++i) {
        if (bytes[i] != 0) {
            return true;
        }
    }
    return false;
}

// The chunk of one of pandas' nullable arrays (its `_data` values and `_mask` bytes), or false
// when it is none, or its values are of a dtype not read in place, or either array is not
// contiguous. Both arrays go into `kept`.
template <typename T>
bool masked_chunk(py::handle series, ArrowChunk<T>& chunk, std::vector<py::object>& kept) {
    const py::object values = py::getattr(series.attr("array"), "_data", py::none());
    const py::object mask = py::getattr(series.attr("array"), "_mask", py::none());
    const auto& api = py::detail::npy_api::get();
    if (!api.PyArray_Check_(values.ptr()) || !api.PyArray_Check_(mask.ptr())) {
        return false;
    }
    const auto v = py::reinterpret_borrow<py::array>(values);
    const auto m = py::reinterpret_borrow<py::array>(mask);
    Element element{};
    if (v.ndim() != 1 || m.ndim() != 1 || v.shape(0) != m.shape(0) || m.dtype().kind() != 'b' ||
        !readable<T>(v.dtype(), element)) {
        return false;
    }
    const std::int64_t n = v.shape(0);
    if (n > 1 && (v.strides(0) != v.itemsize() || m.strides(0) != 1)) {
        return false;
    }
    chunk.length = n;
    chunk.values = static_cast<const char*>(v.data());
    chunk.element = element;
    const auto* bytes = static_cast<const std::uint8_t*>(m.data());
    if (any_set(bytes, n)) {
        chunk.missing = bytes;
    }
    kept.push_back(values);
    kept.push_back(mask);
    return true;
}

}  // namespace

// pandas' nullable columns keep their values and a byte per element that says which are
// missing, in two NumPy arrays. Their Arrow export builds a bitmap from that mask at every
// call, and a DataFrame's copies every column on top; read where they lie, the mask is the
// only extra memory the kernels touch.
template <typename T>
bool import_pandas_masked(py::handle src, std::shared_ptr<const ArrowColumns<T>>& out) {
    const Pandas kind = pandas_kind(src);
    if (kind == Pandas::none) {
        return false;
    }
    auto columns = std::make_shared<ArrowColumns<T>>();
    auto kept = std::make_shared<std::vector<py::object>>();
    try {
        std::vector<py::object> series;
        if (kind == Pandas::frame) {
            for (const py::handle item : src.attr("items")()) {
                series.push_back(py::reinterpret_borrow<py::object>(item)[py::int_(1)]);
            }
        } else {
            series.push_back(py::reinterpret_borrow<py::object>(src));
        }
        if (series.empty()) {
            return false;
        }
        for (const py::object& s : series) {
            ArrowChunk<T> chunk;
            if (!masked_chunk(s, chunk, *kept) ||
                (!columns->columns.empty() && chunk.length != columns->rows)) {
                return false;
            }
            columns->rows = chunk.length;
            columns->columns.push_back({chunk});
        }
    } catch (const py::error_already_set&) {
        return false;
    }
    columns->ndim = kind == Pandas::frame ? 2 : 1;
    columns->owner = std::move(kept);
    out = std::move(columns);
    return true;
}

template bool import_pandas_masked<std::int32_t>(
    py::handle, std::shared_ptr<const ArrowColumns<std::int32_t>>&);
template bool import_pandas_masked<double>(py::handle,
                                           std::shared_ptr<const ArrowColumns<double>>&);

}  // namespace detail
}  // namespace vantorix
