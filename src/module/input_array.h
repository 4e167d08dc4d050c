#pragma once

#include <pybind11/numpy.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace vantorix {

namespace py = pybind11;

// The element types that are read where they lie, in native byte order.
enum class Element {
    int8,
    int16,
    int32,
    int64,
    uint8,
    uint16,
    uint32,
    uint64,
    boolean,
    float16,
    float32,
    float64,
};

// One run of an Arrow column's elements in the caller's memory: the part of the column that one
// imported array (a chunk, or a column of one batch of a table) holds.
template <typename T>
struct ArrowChunk {
    std::int64_t start = 0;  // the column's row of its first element
    std::int64_t length = 0;
    // Element 0 for every layout but `packed`, whose elements are bits from `bit` on.
    const char* values = nullptr;
    // The bit of element 0 in `values` (packed) and in `validity`: Arrow's offsets are counted
    // in elements, and a bitmap may start within a byte.
    std::int64_t bit = 0;
    // The validity bitmap, or null when no element is null.
    const std::uint8_t* validity = nullptr;
    // Instead of a bitmap, pandas' mask of a nullable column: a byte per element from element
    // 0, nonzero where the element is missing (a null); null when none is.
    const std::uint8_t* missing = nullptr;
    Element element = Element::int64;  // of the values, or of the indices of a dictionary
    bool packed = false;               // booleans, one bit each
    // A dictionary-encoded chunk: each index's value as T (the null value for an entry that is
    // null), `entries` of them.
    const T* dictionary = nullptr;
    std::int64_t entries = 0;
    // Every entry's value is its own index (a text dictionary's first chunk): where the
    // indices are the kernel's own T, valid and within the dictionary, they are the values.
    bool indices_are_values = false;
};

// An argument read through the Arrow C data interface: one column (ndim 1) or a table of
// columns that share their row ranges batch by batch (ndim 2). The owner keeps the imported
// arrays, whose buffers the chunks point into, alive, and releases them when the last copy of
// the argument goes, which happens while the thread is attached: the producer's release may
// call into the interpreter.
template <typename T>
struct ArrowColumns {
    int ndim = 1;
    std::int64_t rows = 0;
    std::vector<std::vector<ArrowChunk<T>>> columns;  // [column][batch]
    // The values of dictionary entries, as T: one table per distinct dictionary.
    std::vector<std::vector<T>> dictionaries;
    std::shared_ptr<void> owner;
};

// An array argument of a kernel that computes with T (int32_t for codes, double for data).
//
// `array` is the caller's own NumPy array when its elements can be read in place: for codes any
// integer or bool dtype, for data float16, float32 or float64, native byte order, any layout.
// The kernels convert each element exactly as NumPy's unsafe cast to T would, so they see the
// values a cast copy would hold without making one. Any other argument (another dtype, another
// byte order, a list, a scalar, any object) is NumPy's cast of it to T, as a plain
// array_t<T> parameter receives it.
//
// `source` is the argument as given: an input that NumPy's cast would meet with a
// floating-point error is cast by NumPy after all (see ArrayView).
template <typename T>
struct InputArray {
    // Made like a default array_t<T>, which loads NumPy's API: a call imports NumPy at the
    // same moment whichever its arguments are.
    py::array array = py::array_t<T>();
    Element element = std::is_same_v<T, double> ? Element::float64 : Element::int32;
    py::object source;
    // Set instead of `array` for an argument read through the Arrow C data interface.
    std::shared_ptr<const ArrowColumns<T>> arrow;
};

namespace detail {

inline bool native_order(char byteorder) {
    constexpr std::uint16_t probe = 1;
    unsigned char first;
    std::memcpy(&first, &probe, 1);
    const char foreign = first == 1 ? '>' : '<';
    return byteorder != foreign;
}

// The element type of `dtype` when a kernel computing with T reads it in place: one of NumPy's
// own integer, bool and float types (not a user-defined dtype of the same size).
template <typename T>
bool readable(const py::dtype& dtype, Element& element) {
    if (!native_order(dtype.byteorder())) {
        return false;
    }
    const int num = dtype.num();
    const bool builtin = (num >= 0 && num <= 12) || num == 23;  // NPY_BOOL .. NPY_DOUBLE, NPY_HALF
    if (!builtin) {
        return false;
    }
    const auto size = dtype.itemsize();
    const char kind = dtype.kind();
    if constexpr (std::is_same_v<T, double>) {
        if (kind != 'f') {
            return false;
        }
        switch (size) {
            case 2:
                element = Element::float16;
                return true;
            case 4:
                element = Element::float32;
                return true;
            case 8:
                element = Element::float64;
                return true;
            default:
                return false;
        }
    } else {
        const bool sign = kind == 'i';
        if (kind == 'b' && size == 1) {
            element = Element::boolean;
            return true;
        }
        if (kind != 'i' && kind != 'u') {
            return false;
        }
        switch (size) {
            case 1:
                element = sign ? Element::int8 : Element::uint8;
                return true;
            case 2:
                element = sign ? Element::int16 : Element::uint16;
                return true;
            case 4:
                element = sign ? Element::int32 : Element::uint32;
                return true;
            case 8:
                element = sign ? Element::int64 : Element::uint64;
                return true;
            default:
                return false;
        }
    }
}

// The array behind a pandas Series or Index of a NumPy dtype, or nothing. Only those two exact
// classes are trusted: their __array__ without a dtype returns their values as they are, where
// NumPy's conversion asks it for a cast copy of the same values. Anything unexpected leaves the
// argument to NumPy's conversion, which then reports it as it always does.
template <typename T>
py::object pandas_values(py::handle src, Element& element) {
    const py::handle type = reinterpret_cast<PyObject*>(Py_TYPE(src.ptr()));
    const char* name = Py_TYPE(src.ptr())->tp_name;
    if (std::strcmp(name, "Series") != 0 && std::strcmp(name, "Index") != 0) {
        return {};
    }
    try {
        // "pandas" from pandas 3 on, where pandas.core.series or .indexes.base before.
        const auto module = py::getattr(type, "__module__").cast<std::string>();
        if (module != "pandas" && module.rfind("pandas.core.", 0) != 0) {
            return {};
        }
        const py::object dtype = src.attr("dtype");
        if constexpr (std::is_same_v<T, std::int32_t>) {
            // Categories that are text: their codes, which pandas holds as a NumPy array, are
            // the positions in the categories (-1 for a missing value) that the Arrow door would
            // read from pandas' export, without the export's cost.
            if (std::strcmp(Py_TYPE(dtype.ptr())->tp_name, "CategoricalDtype") == 0) {
                const py::object kind = dtype.attr("categories").attr("dtype");
                const char* name = Py_TYPE(kind.ptr())->tp_name;
                if (std::strcmp(name, "StringDtype") != 0 &&
                    !(py::detail::npy_api::get().PyArrayDescr_Check_(kind.ptr()) &&
                      std::strchr("US", py::reinterpret_borrow<py::dtype>(kind).kind()) !=
                          nullptr)) {
                    return {};
                }
                py::object codes = src.attr("array").attr("codes");
                if (!py::detail::npy_api::get().PyArray_Check_(codes.ptr()) ||
                    !readable<T>(py::reinterpret_borrow<py::array>(codes).dtype(), element)) {
                    return {};
                }
                return codes;
            }
        }
        // Not an extension dtype (categorical, nullable, Arrow), and one read in place.
        if (!py::detail::npy_api::get().PyArrayDescr_Check_(dtype.ptr()) ||
            !readable<T>(py::reinterpret_borrow<py::dtype>(dtype), element)) {
            return {};
        }
        return src.attr("__array__")();
    } catch (const py::error_already_set&) {
        return {};
    } catch (const py::cast_error&) {
        return {};
    }
}

enum class Pandas { none, column, frame };

// Whether `src` is a pandas Series or Index (a column), a DataFrame, or neither.
inline Pandas pandas_kind(py::handle src) {
    const py::handle type = reinterpret_cast<PyObject*>(Py_TYPE(src.ptr()));
    const char* name = Py_TYPE(src.ptr())->tp_name;
    const bool frame = std::strcmp(name, "DataFrame") == 0;
    if (!frame && std::strcmp(name, "Series") != 0 && std::strcmp(name, "Index") != 0) {
        return Pandas::none;
    }
    try {
        const auto module = py::getattr(type, "__module__").cast<std::string>();
        if (module != "pandas" && module.rfind("pandas.core.", 0) != 0) {
            return Pandas::none;
        }
    } catch (const py::error_already_set&) {
        return Pandas::none;
    } catch (const py::cast_error&) {
        return Pandas::none;
    }
    return frame ? Pandas::frame : Pandas::column;
}

// Whether src is a pandas Series, Index or DataFrame whose every column holds a NumPy dtype.
// NumPy's conversion hands such values over as they are (a DataFrame's block, often without a
// copy), where pandas' Arrow export would copy them and turn every NaN into a null, losing the
// sign and payload that the NumPy path keeps.
inline bool numpy_backed_pandas(py::handle src) {
    const Pandas kind = pandas_kind(src);
    if (kind == Pandas::none) {
        return false;
    }
    try {
        const auto& api = py::detail::npy_api::get();
        if (kind == Pandas::column) {
            return api.PyArrayDescr_Check_(src.attr("dtype").ptr());
        }
        for (const py::handle dtype : src.attr("dtypes")) {
            if (!api.PyArrayDescr_Check_(dtype.ptr())) {
                return false;
            }
        }
        return true;
    } catch (const py::error_already_set&) {
        return false;
    } catch (const py::cast_error&) {
        return false;
    }
}

// Takes an argument that exports the Arrow PyCapsule interface (__arrow_c_stream__, else
// __arrow_c_array__) as a column or a table of columns of the kind a kernel computing with T
// reads in place: false leaves it to NumPy's conversion (anything else, a column of another
// type, an export that fails). A table with a column of no such kind raises TypeError naming
// the column. Defined in arrow_import.cpp, the one place that reads Arrow's structures.
template <typename T>
bool import_arrow(py::handle src, std::shared_ptr<const ArrowColumns<T>>& out);

extern template bool import_arrow<std::int32_t>(py::handle,
                                                std::shared_ptr<const ArrowColumns<std::int32_t>>&);
extern template bool import_arrow<double>(py::handle, std::shared_ptr<const ArrowColumns<double>>&);

// Takes a pandas Series, Index or DataFrame whose every column is one of pandas' nullable
// arrays (Int64, Float64, boolean and the like) of a dtype read in place, or of an ArrowDtype
// that import_arrow reads, as columns that point into what pandas holds: false leaves it to the
// other doors. Defined in pandas_columns.cpp.
template <typename T>
bool import_pandas_columns(py::handle src, std::shared_ptr<const ArrowColumns<T>>& out);

extern template bool import_pandas_columns<std::int32_t>(
    py::handle, std::shared_ptr<const ArrowColumns<std::int32_t>>&);
extern template bool import_pandas_columns<double>(py::handle,
                                                   std::shared_ptr<const ArrowColumns<double>>&);

}  // namespace detail

}  // namespace vantorix

namespace pybind11 {
namespace detail {

// The conversion of an InputArray argument: what array_t<T>'s own conversion does (NumPy's
// PyArray_FromAny with the dtype of T and force-cast; a failure makes the argument
// incompatible), except that an array of a readable dtype is taken as it is. Its signature
// annotation is array_t<T>'s.
template <typename T>
struct type_caster<vantorix::InputArray<T>> {
    PYBIND11_TYPE_CASTER(vantorix::InputArray<T>, handle_type_name<array_t<T>>::name);

    bool load(handle src, bool convert) {
        if (!convert && !array_t<T>::check_(src)) {
            return false;
        }
        value.source = reinterpret_borrow<object>(src);
        // The Arrow door is for what NumPy's conversion would copy or refuse: an ndarray, and
        // pandas' objects of NumPy dtypes, keep NumPy's path. pandas' other columns are read
        // where pandas keeps them when they can be, which its Arrow export does not do.
        if (!in_place(src) && (npy_api::get().PyArray_Check_(src.ptr()) ||
                               vantorix::detail::numpy_backed_pandas(src) ||
                               (!vantorix::detail::import_pandas_columns<T>(src, value.arrow) &&
                                !vantorix::detail::import_arrow<T>(src, value.arrow)))) {
            value.array = array_t<T>::ensure(src);
            value.element =
                std::is_same_v<T, double> ? vantorix::Element::float64 : vantorix::Element::int32;
        }
        return static_cast<bool>(value.array);
    }

private:
    bool in_place(handle src) {
        const auto& api = npy_api::get();
        object candidate = reinterpret_borrow<object>(src);
        if (!api.PyArray_Check_(src.ptr())) {
            candidate = vantorix::detail::pandas_values<T>(src, value.element);
            if (!candidate || Py_TYPE(candidate.ptr()) != api.PyArray_Type_) {
                return false;
            }
        }
        // The array's own dtype: for a Series, what its __array__ really returned.
        if (!vantorix::detail::readable<T>(reinterpret_borrow<array>(candidate).dtype(),
                                           value.element)) {
            return false;
        }
        if (Py_TYPE(candidate.ptr()) == api.PyArray_Type_) {
            value.array = reinterpret_borrow<array>(candidate);
            return true;
        }
        // A subclass is read as a plain ndarray over the same memory, as NumPy's conversion
        // hands it over.
        value.array = array::ensure(candidate);
        return static_cast<bool>(value.array);
    }
};

}  // namespace detail
}  // namespace pybind11
