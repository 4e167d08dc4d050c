#include <pybind11/pybind11.h>

#include <nanoarrow/nanoarrow.hpp>

#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "array_view.h"
#include "input_array.h"

// The one place that reads the Arrow C data interface: an argument's capsules are taken over,
// the arrays they hold are checked and viewed with nanoarrow, and each column becomes a list of
// chunks that point into the producer's buffers (see ArrowChunk). Nothing is copied but the
// dictionaries' values.

namespace vantorix {
namespace detail {

namespace {

// The imported schema and arrays, released by nanoarrow's owners when the argument goes.
struct ArrowOwner {
    nanoarrow::UniqueSchema schema;
    std::vector<nanoarrow::UniqueArray> arrays;
};

// A failure of the producer's stream, or arrays that do not match their schema.
[[noreturn]] void fail(const ArrowError& error) {
    throw std::runtime_error(std::string("Arrow data could not be read: ") + error.message);
}

void check(ArrowErrorCode code, const ArrowError& error) {
    if (code != NANOARROW_OK) {
        fail(error);
    }
}

void* capsule_pointer(const py::handle capsule, const char* name) {
    void* p = PyCapsule_GetPointer(capsule.ptr(), name);
    if (p == nullptr) {
        throw py::error_already_set();
    }
    return p;
}

// pandas exports a DataFrame's index as columns of the table unless it is a RangeIndex; NumPy's
// conversion leaves the index out, and so does a DataFrame without it (which shares the data).
py::object without_index(py::handle src) {
    const py::handle type = reinterpret_cast<PyObject*>(Py_TYPE(src.ptr()));
    if (std::strcmp(Py_TYPE(src.ptr())->tp_name, "DataFrame") != 0 ||
        py::getattr(type, "__module__").cast<std::string>().rfind("pandas", 0) != 0) {
        return py::reinterpret_borrow<py::object>(src);
    }
    const py::object index = src.attr("index");
    if (std::strcmp(Py_TYPE(index.ptr())->tp_name, "RangeIndex") == 0) {
        return py::reinterpret_borrow<py::object>(src);
    }
    return src.attr("reset_index")(py::arg("drop") = true);
}

// Takes the schema and the arrays out of the object's capsules: moved at once, so that the
// producer's release runs exactly once, by our owners. False when the object exports neither
// method. A Python error on the way (pandas without pyarrow, say) propagates.
bool take(py::handle argument, ArrowOwner& owner) {
    const py::object src = without_index(argument);
    const py::handle type = reinterpret_cast<PyObject*>(Py_TYPE(src.ptr()));
    ArrowError error{};
    if (py::hasattr(type, "__arrow_c_stream__")) {
        const py::object capsule = src.attr("__arrow_c_stream__")();
        nanoarrow::UniqueArrayStream stream;
        ArrowArrayStreamMove(
            static_cast<ArrowArrayStream*>(capsule_pointer(capsule, "arrow_array_stream")),
            stream.get());
        check(ArrowArrayStreamGetSchema(stream.get(), owner.schema.get(), &error), error);
        while (true) {
            nanoarrow::UniqueArray array;
            check(ArrowArrayStreamGetNext(stream.get(), array.get(), &error), error);
            if (array->release == nullptr) {
                break;
            }
            owner.arrays.push_back(std::move(array));
        }
        return true;
    }
    if (py::hasattr(type, "__arrow_c_array__")) {
        const py::tuple pair = src.attr("__arrow_c_array__")();
        if (pair.size() != 2) {
            throw py::type_error("__arrow_c_array__ must return a pair of capsules");
        }
        ArrowSchemaMove(static_cast<ArrowSchema*>(capsule_pointer(pair[0], "arrow_schema")),
                        owner.schema.get());
        nanoarrow::UniqueArray array;
        ArrowArrayMove(static_cast<ArrowArray*>(capsule_pointer(pair[1], "arrow_array")),
                       array.get());
        owner.arrays.push_back(std::move(array));
        return true;
    }
    return false;
}

bool integer_element(ArrowType type, Element& element) {
    switch (type) {
        case NANOARROW_TYPE_INT8:
            element = Element::int8;
            return true;
        case NANOARROW_TYPE_INT16:
            element = Element::int16;
            return true;
        case NANOARROW_TYPE_INT32:
            element = Element::int32;
            return true;
        case NANOARROW_TYPE_INT64:
            element = Element::int64;
            return true;
        case NANOARROW_TYPE_UINT8:
            element = Element::uint8;
            return true;
        case NANOARROW_TYPE_UINT16:
            element = Element::uint16;
            return true;
        case NANOARROW_TYPE_UINT32:
            element = Element::uint32;
            return true;
        case NANOARROW_TYPE_UINT64:
            element = Element::uint64;
            return true;
        default:
            return false;
    }
}

bool float_element(ArrowType type, Element& element) {
    switch (type) {
        case NANOARROW_TYPE_HALF_FLOAT:
            element = Element::float16;
            return true;
        case NANOARROW_TYPE_FLOAT:
            element = Element::float32;
            return true;
        case NANOARROW_TYPE_DOUBLE:
            element = Element::float64;
            return true;
        default:
            return false;
    }
}

bool is_text(ArrowType type) {
    switch (type) {
        case NANOARROW_TYPE_STRING:
        case NANOARROW_TYPE_LARGE_STRING:
        case NANOARROW_TYPE_STRING_VIEW:
        case NANOARROW_TYPE_BINARY:
        case NANOARROW_TYPE_LARGE_BINARY:
        case NANOARROW_TYPE_BINARY_VIEW:
            return true;
        default:
            return false;
    }
}

// The value of a dictionary entry as T, exactly as NumPy's cast of the decoded column gives it.
template <typename T>
T entry_value(const ArrowArrayView* view, ArrowType type, std::int64_t i) {
    if constexpr (std::is_same_v<T, double>) {
        if (type == NANOARROW_TYPE_UINT64) {
            return static_cast<double>(ArrowArrayViewGetUIntUnsafe(view, i));
        }
        if (type == NANOARROW_TYPE_HALF_FLOAT || type == NANOARROW_TYPE_FLOAT ||
            type == NANOARROW_TYPE_DOUBLE) {
            return ArrowArrayViewGetDoubleUnsafe(view, i);
        }
        return static_cast<double>(ArrowArrayViewGetIntUnsafe(view, i));
    } else {
        // Integers keep their low 32 bits, as in to_code; uint64 and int64 alike.
        return static_cast<std::int32_t>(
            static_cast<std::uint32_t>(ArrowArrayViewGetUIntUnsafe(view, i) & 0xffffffffu));
    }
}

// The numbering of a column's text dictionaries: the first chunk's order, extended by the
// values that each later one adds. A chunk that shares its dictionary with the one before
// shares its table too, so that the cost grows with the dictionaries, not with the rows.
template <typename T>
struct Dictionaries {
    std::unordered_map<std::string_view, std::int32_t> positions;
    // The last text dictionary, known by its buffers and extent, and its table.
    const void* buffers[2] = {nullptr, nullptr};
    std::int64_t offset = -1;
    std::int64_t length = -1;
    const T* table = nullptr;
    bool identity = false;

    bool same(const ArrowArrayView* d) const {
        return table != nullptr && buffers[0] == d->buffer_views[1].data.data &&
               buffers[1] == d->buffer_views[2].data.data && offset == d->offset &&
               length == d->length;
    }
    void keep(const ArrowArrayView* d, const T* t, bool is_identity) {
        buffers[0] = d->buffer_views[1].data.data;
        buffers[1] = d->buffer_views[2].data.data;
        offset = d->offset;
        length = d->length;
        table = t;
        identity = is_identity;
    }
};

// Makes the chunk of `view` (rows [offset, offset + length) of it) of the column whose type
// is `sv`, or returns false when its type is not one that a kernel computing with T reads.
template <typename T>
bool describe(const ArrowSchemaView& sv, const ArrowArrayView* view, std::int64_t offset,
              std::int64_t length, ArrowColumns<T>& out, Dictionaries<T>& dictionaries,
              ArrowChunk<T>& chunk) {
    chunk.length = length;
    chunk.bit = view->offset + offset;
    chunk.values = view->buffer_views[1].data.as_char;
    if (view->null_count != 0 && view->buffer_views[0].data.data != nullptr &&
        view->storage_type != NANOARROW_TYPE_NA) {
        chunk.validity = view->buffer_views[0].data.as_uint8;
    }
    // Values of fixed width start at element 0 of the chunk; the validity keeps its bit.
    const auto advance = [&] { chunk.values += chunk.bit * element_size(chunk.element); };
    Element element{};
    if (sv.type == NANOARROW_TYPE_BOOL) {
        chunk.packed = true;
        chunk.element = Element::boolean;
        return true;
    }
    if (integer_element(sv.type, element) ||
        (std::is_same_v<T, double> && float_element(sv.type, element))) {
        chunk.element = element;
        advance();
        return true;
    }
    if (sv.type != NANOARROW_TYPE_DICTIONARY || !integer_element(sv.storage_type, element)) {
        return false;
    }
    chunk.element = element;
    const ArrowArrayView* dict = view->dictionary;
    ArrowSchemaView dsv{};
    ArrowError error{};
    if (dict == nullptr ||
        ArrowSchemaViewInit(&dsv, sv.schema->dictionary, &error) != NANOARROW_OK) {
        return false;
    }
    Element value{};
    const bool text = is_text(dsv.type);
    const bool number = integer_element(dsv.type, value) || dsv.type == NANOARROW_TYPE_BOOL ||
                        (std::is_same_v<T, double> && float_element(dsv.type, value));
    if (!(number || (text && std::is_same_v<T, std::int32_t>))) {
        return false;
    }
    chunk.entries = dict->length;
    if (text && dictionaries.same(dict)) {
        chunk.dictionary = dictionaries.table;
        chunk.indices_are_values = dictionaries.identity;
        advance();
        return true;
    }
    std::vector<T> table(static_cast<std::size_t>(dict->length));
    for (std::int64_t i = 0; i < dict->length; ++i) {
        if (ArrowArrayViewIsNull(dict, i)) {
            table[i] = null_value<T>();
        } else if (text) {
            const ArrowStringView s = ArrowArrayViewGetStringUnsafe(dict, i);
            const std::string_view key(s.data, static_cast<std::size_t>(s.size_bytes));
            const auto next = static_cast<std::int32_t>(dictionaries.positions.size());
            table[i] = static_cast<T>(dictionaries.positions.emplace(key, next).first->second);
        } else {
            table[i] = entry_value<T>(dict, dsv.type, i);
        }
    }
    bool identity = true;
    for (std::int64_t i = 0; i < dict->length && identity; ++i) {
        identity = table[i] == static_cast<T>(i);
    }
    out.dictionaries.push_back(std::move(table));
    chunk.dictionary = out.dictionaries.back().data();
    chunk.indices_are_values = identity;
    if (text) {
        dictionaries.keep(dict, chunk.dictionary, identity);
    }
    advance();
    return true;
}

std::string column_name(const ArrowSchema* schema, std::int64_t c) {
    const char* name = schema->children[c]->name;
    return name != nullptr ? name : std::to_string(c);
}

}  // namespace

template <typename T>
bool import_arrow(py::handle src, std::shared_ptr<const ArrowColumns<T>>& out) {
    auto owner = std::make_shared<ArrowOwner>();
    try {
        if (!take(src, *owner)) {
            return false;
        }
    } catch (const py::error_already_set&) {
        // An export that fails (a pandas object without pyarrow installed, say) leaves the
        // argument to NumPy's conversion, which answers for it as it always has.
        return false;
    }
    const ArrowSchema* schema = owner->schema.get();
    ArrowError error{};
    ArrowSchemaView sv{};
    check(ArrowSchemaViewInit(&sv, schema, &error), error);
    auto columns = std::make_shared<ArrowColumns<T>>();
    const bool table = sv.type == NANOARROW_TYPE_STRUCT;
    const std::int64_t cols = table ? schema->n_children : 1;
    columns->ndim = table ? 2 : 1;
    columns->columns.resize(static_cast<std::size_t>(cols));
    std::vector<ArrowSchemaView> types(static_cast<std::size_t>(cols));
    for (std::int64_t c = 0; c < cols; ++c) {
        if (table) {
            check(ArrowSchemaViewInit(&types[c], schema->children[c], &error), error);
        } else {
            types[c] = sv;
        }
    }
    std::vector<Dictionaries<T>> dictionaries(static_cast<std::size_t>(cols));
    nanoarrow::UniqueArrayView view;
    check(ArrowArrayViewInitFromSchema(view.get(), schema, &error), error);
    for (const nanoarrow::UniqueArray& array : owner->arrays) {
        check(ArrowArrayViewSetArray(view.get(), array.get(), &error), error);
        const std::int64_t length = view->length;
        for (std::int64_t c = 0; c < cols; ++c) {
            // A table's rows are those of its struct array: the struct's offset is added to
            // each column's own.
            const ArrowArrayView* column = table ? view->children[c] : view.get();
            const std::int64_t offset = table ? view->offset : 0;
            ArrowChunk<T> chunk;
            chunk.start = columns->rows;
            if (!describe(types[c], column, offset, length, *columns, dictionaries[c], chunk)) {
                // A column NumPy's conversion takes, as before; and a table where codes go,
                // which only it reports as it always has.
                if (!table || std::is_same_v<T, std::int32_t>) {
                    return false;
                }
                throw py::type_error("Column '" + column_name(schema, c) +
                                     "' is not numeric: its Arrow type is " +
                                     ArrowTypeString(types[c].type) + ".");
            }
            columns->columns[c].push_back(chunk);
        }
        columns->rows += length;
    }
    columns->owner = std::move(owner);
    out = std::move(columns);
    return true;
}

template bool import_arrow<std::int32_t>(py::handle,
                                         std::shared_ptr<const ArrowColumns<std::int32_t>>&);
template bool import_arrow<double>(py::handle, std::shared_ptr<const ArrowColumns<double>>&);

}  // namespace detail
}  // namespace vantorix
