#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "array_view.h"
#include "input_array.h"

namespace vantorix {
namespace detail {

namespace {

// What the columns read from a pandas object keep alive: the nullable arrays' values and
// masks, and the Arrow columns imported from ArrowDtype ones.
struct PandasOwner {
    std::vector<py::object> arrays;
    std::vector<std::shared_ptr<const void>> imported;
};

// The chunk of one of pandas' nullable arrays (its `_data` values and `_mask` bytes), or false
// when it is none, or its values are of a dtype not read in place, or either array is not
// contiguous.
template <typename T>
bool masked_chunk(const py::object& array, ArrowChunk<T>& chunk, PandasOwner& owner) {
    const py::object values = py::getattr(array, "_data", py::none());
    const py::object mask = py::getattr(array, "_mask", py::none());
    const auto& api = py::detail::npy_api::get();
    if (!api.PyArray_Check_(values.ptr()) || !api.PyArray_Check_(mask.ptr())) {
        return false;
    }
    const auto v = py::reinterpret_borrow<py::array>(values);
    const auto m = py::reinterpret_borrow<py::array>(mask);
    Element element{};
    bool known = readable<T>(v.dtype(), element);
    if constexpr (std::is_same_v<T, double>) {
        // Integers as data too, converted as an Arrow column's are (booleans are not).
        known =
            known || (readable<std::int32_t>(v.dtype(), element) && element != Element::boolean);
    }
    if (!known || v.ndim() != 1 || m.ndim() != 1 || v.shape(0) != m.shape(0) ||
        m.dtype().kind() != 'b') {
        return false;
    }
    const std::int64_t n = v.shape(0);
    if (n > 1 && (v.strides(0) != v.itemsize() || m.strides(0) != 1)) {
        return false;
    }
    chunk.length = n;
    chunk.values = static_cast<const char*>(v.data());
    chunk.element = element;
    // pandas keeps a mask even where nothing is missing: such a column has no nulls.
    chunk.missing = static_cast<const std::uint8_t*>(m.data());
    if (valid_run(chunk, 0, n) == n) {
        chunk.missing = nullptr;
    }
    owner.arrays.push_back(values);
    owner.arrays.push_back(mask);
    return true;
}

// The chunks of one column of a pandas object: a nullable array's one, or those of an
// ArrowDtype column's own Arrow array, which pandas hands over as it holds it. False for any
// other column.
template <typename T>
bool column_chunks(const py::object& series, std::vector<ArrowChunk<T>>& chunks,
                   PandasOwner& owner) {
    const py::object array = series.attr("array");
    ArrowChunk<T> chunk;
    if (masked_chunk(array, chunk, owner)) {
        chunks.push_back(chunk);
        return true;
    }
    const py::object dtype = series.attr("dtype");
    if (std::strcmp(Py_TYPE(dtype.ptr())->tp_name, "ArrowDtype") != 0) {
        return false;
    }
    std::shared_ptr<const ArrowColumns<T>> column;
    if (!import_arrow<T>(array.attr("__arrow_array__")(), column) || column->ndim != 1) {
        return false;
    }
    chunks = column->columns[0];
    owner.imported.push_back(std::move(column));
    return true;
}

// Elements [from, to) of the column, as a chunk of their own.
template <typename T>
ArrowChunk<T> rows_of(const ArrowChunk<T>& c, std::int64_t from, std::int64_t to) {
    ArrowChunk<T> part = c;
    const std::int64_t skip = from - c.start;
    part.start = from;
    part.length = to - from;
    part.bit += skip;
    if (!c.packed) {
        part.values += skip * element_size(c.element);
    }
    if (c.missing != nullptr) {
        part.missing += skip;
    }
    return part;
}

// Cuts each column's chunks where any column's begins, so that chunk b of every column covers
// the same rows, as the batches of a stream do.
template <typename T>
void align_chunks(ArrowColumns<T>& a) {
    std::vector<std::int64_t> edges{a.rows};
    for (const auto& column : a.columns) {
        for (const ArrowChunk<T>& c : column) {
            edges.push_back(c.start);
        }
    }
    std::sort(edges.begin(), edges.end());
    edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
    for (auto& column : a.columns) {
        std::vector<ArrowChunk<T>> parts;
        std::size_t k = 0;
        for (std::size_t e = 0; e + 1 < edges.size(); ++e) {
            while (column[k].start + column[k].length <= edges[e]) {
                ++k;
            }
            parts.push_back(rows_of(column[k], edges[e], edges[e + 1]));
        }
        column = std::move(parts);
    }
}

}  // namespace

// pandas' nullable columns keep their values and a byte per element that says which are
// missing, in two NumPy arrays; an ArrowDtype column keeps a pyarrow array. A DataFrame's Arrow
// export goes through a pyarrow Table made anew at every call, and a nullable column's builds a
// bitmap from its mask. Read column by column, each lies where pandas keeps it.
template <typename T>
bool import_pandas_columns(py::handle src, std::shared_ptr<const ArrowColumns<T>>& out) {
    const Pandas kind = pandas_kind(src);
    if (kind == Pandas::none) {
        return false;
    }
    auto columns = std::make_shared<ArrowColumns<T>>();
    auto owner = std::make_shared<PandasOwner>();
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
        columns->rows = py::len(series[0]);
        bool single = true;  // one chunk in every column: aligned as they are
        for (const py::object& s : series) {
            std::vector<ArrowChunk<T>> chunks;
            if (!column_chunks(s, chunks, *owner)) {
                return false;
            }
            std::int64_t rows = 0;
            for (const ArrowChunk<T>& c : chunks) {
                rows += c.length;
            }
            if (rows != columns->rows) {
                return false;
            }
            single = single && chunks.size() == 1;
            columns->columns.push_back(std::move(chunks));
        }
        if (!single) {
            align_chunks(*columns);
        }
    } catch (const py::error_already_set&) {
        return false;
    }
    columns->ndim = kind == Pandas::frame ? 2 : 1;
    columns->owner = std::move(owner);
    out = std::move(columns);
    return true;
}

template bool import_pandas_columns<std::int32_t>(
    py::handle, std::shared_ptr<const ArrowColumns<std::int32_t>>&);
template bool import_pandas_columns<double>(py::handle,
                                            std::shared_ptr<const ArrowColumns<double>>&);

}  // namespace detail
}  // namespace vantorix
