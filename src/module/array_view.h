#pragma once

#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "elements.h"
#include "input_array.h"
#include "signals.h"

namespace vantorix {

namespace py = pybind11;

// Read-only view of one input array, for a kernel that computes with T. It owns the buffer
// request and releases it when it goes out of scope, on every exit path.
//
// Every input is read in logical row-major order whatever its memory layout and element type,
// straight from the caller's memory. A line (a vector, a row or a column) along a direct axis
// is read through a plain pointer; any other run of elements is converted into the kernel's
// buffer by read(). The layout policy lives here alone: kernels never do stride arithmetic.
template <typename T>
class ArrayView {
public:
    // `categories`, for codes: the kernel's count k, at and past which every code counts as
    // outside the range, as a negative one does (see codes_past()).
    explicit ArrayView(const InputArray<T>& input,
                       std::int64_t categories = std::numeric_limits<std::int64_t>::max())
        : arrow_(input.arrow.get()), element_(input.element), categories_(categories) {
        if (arrow_ != nullptr) {
            return;
        }
        info_ = input.array.request();
        const auto size = static_cast<py::ssize_t>(info_.itemsize);
        aligned_ = reinterpret_cast<std::uintptr_t>(info_.ptr) % alignof(T) == 0;
        for (py::ssize_t d = 0; d < info_.ndim; ++d) {
            // The buffer protocol may report any stride for an axis of extent 0 or 1; it is
            // never used to move, so pin it to the dense value.
            if (info_.shape[d] <= 1) {
                info_.strides[d] = size;
            }
            aligned_ = aligned_ && info_.strides[d] % static_cast<py::ssize_t>(alignof(T)) == 0;
        }
    }

    std::int64_t ndim() const { return arrow_ != nullptr ? arrow_->ndim : info_.ndim; }
    std::int64_t extent(std::int64_t d) const {
        if (arrow_ != nullptr) {
            return d == 0 ? arrow_->rows : static_cast<std::int64_t>(arrow_->columns.size());
        }
        return info_.shape[d];
    }

    // Where codes stop meaning categories: a dictionary's index past its end reads as a null,
    // which a kernel takes as any code outside 0..k-1, so the indices of a dictionary of at
    // least this many entries need no check against its end.
    std::int64_t codes_past() const { return categories_; }

    // The Arrow columns read in place of a NumPy array, or null. The other accessors below
    // (step, direct, line, read) describe a NumPy array, and direct() is false for Arrow.
    const ArrowColumns<T>* arrow() const { return arrow_; }

    // Bytes from one element to the next along `axis`, any sign.
    std::int64_t step(int axis) const { return info_.strides[axis]; }

    // True when the elements along `axis` are the kernel's own T, adjacent and aligned, so that
    // every line along it can be read through a plain pointer.
    bool direct(int axis) const {
        return arrow_ == nullptr && element_ == native && aligned_ &&
               info_.strides[axis] == static_cast<py::ssize_t>(sizeof(T));
    }

    // The first element of the line along a direct `axis` whose other coordinate is `other`
    // (0 for a vector).
    const T* line(int axis, std::int64_t other = 0) const {
        return reinterpret_cast<const T*>(start(axis, other, 0));
    }

    // Elements [first, first + count) of the `lines` lines along `axis` whose other coordinates
    // start at `other`, as T: line j goes to out + j * pitch. Any axis, layout and element type.
    void read(int axis, std::int64_t other, std::int64_t lines, std::int64_t first,
              std::int64_t count, T* out, std::int64_t pitch) const {
        const char* base = start(axis, other, first);
        const std::int64_t outer = info_.ndim == 2 ? info_.strides[1 - axis] : 0;
        const std::int64_t step = info_.strides[axis];
        if (lines > 1 && outer == count * step && pitch == count) {
            count *= lines;  // lines back to back in memory and in `out`: one run
            lines = 1;
        }
        const auto run = [&](auto source) {
            using Source = decltype(source);
            return detail::convert_fastest<T, Source>(base, outer, step, lines, count, out, pitch);
        };
        if (detail::visit_source<T>(element_, run)) {
            throw detail::SignallingNaN{};
        }
    }

    // Asks for the cache lines of vector elements [first, first + count), without waiting for
    // them; nothing past the end.
    VANTORIX_ALWAYS_INLINE void prefetch(std::int64_t first, std::int64_t count) const {
#if defined(__GNUC__) || defined(__clang__)
        if (arrow_ != nullptr || first + count > info_.shape[0]) {
            return;
        }
        const std::int64_t step = info_.strides[0];
        const char* p = start(0, 0, first);
        if (step < 0 || step > 64) {
            for (std::int64_t i = 0; i < count; ++i) {
                __builtin_prefetch(p + i * step);
            }
            return;
        }
        for (std::int64_t b = 0; b < count * step; b += 64) {
            __builtin_prefetch(p + b);
        }
        __builtin_prefetch(p + (count - 1) * step);
#else
        (void)first;
        (void)count;
#endif
    }

private:
    static constexpr Element native = std::is_same_v<T, double> ? Element::float64 : Element::int32;

    const char* start(int axis, std::int64_t other, std::int64_t first) const {
        const char* base = static_cast<const char*>(info_.ptr) + first * info_.strides[axis];
        if (info_.ndim == 2) {
            base += other * info_.strides[1 - axis];
        }
        return base;
    }

    const ArrowColumns<T>* arrow_;
    py::buffer_info info_;
    Element element_;
    std::int64_t categories_;
    bool aligned_ = false;
};

// Elements per block of a vector that is converted on its way to a kernel: 16 KiB of codes or
// 32 KiB of doubles, which stay in cache between the conversion and the kernel's loop, and
// long enough runs of the caller's memory for the hardware to stream them at full speed.
constexpr std::int64_t kBlock = 4096;

namespace detail {

// What a null element of an Arrow column reads as: in data NaN, the positive quiet NaN that
// NumPy's conversion gives a null of a float column; in codes -1, outside every range 0..k-1.
template <typename T>
constexpr T null_value() {
    if constexpr (std::is_same_v<T, double>) {
        return std::numeric_limits<double>::quiet_NaN();
    } else {
        return -1;
    }
}

inline bool bit_set(const std::uint8_t* bits, std::int64_t i) {
    return ((bits[i >> 3] >> (i & 7)) & 1) != 0;
}

inline std::int64_t element_size(Element element) {
    switch (element) {
        case Element::int8:
        case Element::uint8:
        case Element::boolean:
            return 1;
        case Element::int16:
        case Element::uint16:
        case Element::float16:
            return 2;
        case Element::int32:
        case Element::uint32:
        case Element::float32:
            return 4;
        default:
            return 8;
    }
}

// The chunk's elements as T where they may be read where they lie, or null: values of the
// kernel's own T, aligned; or a dictionary's indices where they are their own values and of
// the kernel's T (int32 codes), which must then also be checked to fall within the dictionary.
template <typename T>
const T* direct_values(const ArrowChunk<T>& c) {
    constexpr Element native = std::is_same_v<T, double> ? Element::float64 : Element::int32;
    // uint32 indices (polars') read as int32 are themselves below 2^31, and past any
    // dictionary (so as out of range as a null) above.
    const bool indices =
        c.dictionary != nullptr && c.indices_are_values &&
        (c.element == native || (c.element == Element::uint32 && std::is_same_v<T, std::int32_t>));
    const bool values = c.dictionary == nullptr && !c.packed && c.element == native;
    if (!(indices || values) || reinterpret_cast<std::uintptr_t>(c.values) % alignof(T) != 0) {
        return nullptr;
    }
    return reinterpret_cast<const T*>(c.values);
}

// True when the chunk's values are the kernel's own T, read where they lie wherever none of
// them is null.
template <typename T>
bool plain_values(const ArrowChunk<T>& c) {
    return c.dictionary == nullptr && direct_values(c) != nullptr;
}

// How many elements from `first` on, of the next `count`, are not null: the validity bitmap
// (or pandas' mask) is read a word at a time.
template <typename T>
std::int64_t valid_run(const ArrowChunk<T>& c, std::int64_t first, std::int64_t count) {
    if (c.missing != nullptr) {
        const std::uint8_t* m = c.missing + first;
        std::int64_t i = 0;
        for (; i + 8 <= count; i += 8) {
            std::uint64_t word;
            std::memcpy(&word, m + i, sizeof word);
            if (word != 0) {
                break;
            }
        }
        for (; i < count && m[i] == 0; ++i) {
        }
        return i;
    }
    if (c.validity == nullptr) {
        return count;
    }
    const std::int64_t begin = c.bit + first;
    const std::int64_t end = begin + count;
    std::int64_t i = begin;
    for (; i < end && (i & 7) != 0; ++i) {
        if (!bit_set(c.validity, i)) {
            return i - begin;
        }
    }
    for (; i + 64 <= end; i += 64) {
        std::uint64_t word;
        std::memcpy(&word, c.validity + (i >> 3), sizeof word);
        if (word != ~std::uint64_t{0}) {
            break;
        }
    }
    for (; i < end && bit_set(c.validity, i); ++i) {
    }
    return i - begin;
}

// True when no element of [first, first + count) of the chunk is null.
template <typename T>
bool all_valid(const ArrowChunk<T>& c, std::int64_t first, std::int64_t count) {
    return valid_run(c, first, count) == count;
}

// The largest of count dictionary indices, a negative one taken as unsigned (so as outside
// any dictionary): a maximum, which vectorizes, rather than a test per index.
VANTORIX_ALWAYS_INLINE std::uint32_t largest_index(const std::int32_t* p, std::int64_t count) {
    std::uint32_t largest = 0;
    for (std::int64_t i = 0; i < count; ++i) {
        largest = std::max(largest, static_cast<std::uint32_t>(p[i]));
    }
    return largest;
}

#ifdef VANTORIX_AVX2
VANTORIX_TARGET_AVX2 inline std::uint32_t largest_index_avx2(const std::int32_t* p,
                                                             std::int64_t count) {
    return largest_index(p, count);
}
#endif

inline std::uint32_t largest_index_fastest(const std::int32_t* p, std::int64_t count) {
#ifdef VANTORIX_AVX2
    if (cpu_has_avx2()) {
        return largest_index_avx2(p, count);
    }
#endif
    return largest_index(p, count);
}

// How many elements from `first` on, of the next `count`, can be handed to a kernel where they
// lie (p is the chunk's direct_values): those before the first null. An index outside its
// dictionary reads as a null, which only the conversion gives; it matters only when the
// dictionary is shorter than the kernel's range of codes (codes_past), and then a run of
// indices goes to the kernel only when all of them are within the dictionary.
template <typename T>
std::int64_t direct_run(const ArrowChunk<T>& c, const T* p, std::int64_t codes_past,
                        std::int64_t first, std::int64_t count) {
    const std::int64_t run = valid_run(c, first, count);
    if constexpr (std::is_same_v<T, std::int32_t>) {
        if (c.dictionary != nullptr && c.entries < codes_past && run > 0 &&
            largest_index_fastest(p + first, run) >= static_cast<std::uint64_t>(c.entries)) {
            return 0;
        }
    }
    return run;
}

// Elements [first, first + count) of a chunk as T, into out: each the value NumPy's cast of
// the element gives, a null the null value. Returns whether a signalling NaN was read.
template <typename T>
bool read_chunk(const ArrowChunk<T>& c, std::int64_t first, std::int64_t count, T* out) {
    bool signalling = false;
    if (c.packed) {
        const auto* bits = reinterpret_cast<const std::uint8_t*>(c.values);
        for (std::int64_t i = 0; i < count; ++i) {
            out[i] = static_cast<T>(bit_set(bits, c.bit + first + i));
        }
    } else if (c.dictionary != nullptr) {
        const auto run = [&](auto index) {
            using Index = decltype(index);
            if constexpr (std::is_integral_v<Index>) {
                const char* p = c.values + first * static_cast<std::int64_t>(sizeof(Index));
                const auto entries = static_cast<std::uint64_t>(c.entries);
                for (std::int64_t i = 0; i < count; ++i) {
                    Index k;
                    std::memcpy(&k, p + i * static_cast<std::int64_t>(sizeof k), sizeof k);
                    // An index outside the dictionary (which a null may hold) reads as a null;
                    // a negative one too, as unsigned.
                    const auto u = static_cast<std::uint64_t>(k);
                    out[i] = u < entries ? c.dictionary[u] : null_value<T>();
                }
            }
            return false;
        };
        visit_source<std::int32_t>(c.element, run);
    } else {
        const auto run = [&](auto source) {
            using Source = decltype(source);
            const char* p = c.values + first * static_cast<std::int64_t>(sizeof(Source));
            return convert_fastest<T, Source>(p, 0, sizeof(Source), 1, count, out, 0);
        };
        signalling = visit_source<T>(c.element, run);
    }
    if (c.validity != nullptr) {
        for (std::int64_t i = 0; i < count; ++i) {
            const std::int64_t b = c.bit + first + i;
            if ((b & 7) == 0 && i + 8 <= count && c.validity[b >> 3] == 0xff) {
                i += 7;
            } else if (!bit_set(c.validity, b)) {
                out[i] = null_value<T>();
            }
        }
    }
    if (c.missing != nullptr) {
        // Most blocks have nothing missing: one OR over the mask, which vectorizes, says so.
        const std::uint8_t* m = c.missing + first;
        std::uint8_t any = 0;
        for (std::int64_t i = 0; i < count; ++i) {
            any |= m[i];
        }
        for (std::int64_t i = 0; any != 0 && i < count; ++i) {
            if (m[i] != 0) {
                out[i] = null_value<T>();
            }
        }
    }
    return signalling;
}

// Asks for the cache lines of elements [first, first + count) of a chunk, nothing past its end.
template <typename T>
VANTORIX_ALWAYS_INLINE void prefetch_chunk(const ArrowChunk<T>& c, std::int64_t first,
                                           std::int64_t count) {
#if defined(__GNUC__) || defined(__clang__)
    if (c.packed || first + count > c.length) {
        return;
    }
    const std::int64_t size = element_size(c.element);
    const char* p = c.values + first * size;
    for (std::int64_t b = 0; b < count * size; b += 64) {
        __builtin_prefetch(p + b);
    }
    __builtin_prefetch(p + count * size - 1);
#else
    (void)c;
    (void)first;
    (void)count;
#endif
}

// for_each_block over an Arrow column: chunk after chunk, in row order. A run of plain values
// without a null is handed over where it lies (a whole chunk when none of it is null); any
// other block is converted into a buffer on the stack.
template <typename T, typename Body>
void for_each_arrow_block(const std::vector<ArrowChunk<T>>& chunks, std::int64_t codes_past,
                          Body&& body) {
    T buffer[kBlock];
    SignalCheck signals;
    for (const ArrowChunk<T>& c : chunks) {
        const T* p = direct_values(c);
        // Indices that must be checked against their dictionary's end are checked a block at
        // a time, just before the kernel reads them from cache.
        const bool checked = c.dictionary != nullptr && c.entries < codes_past;
        const std::int64_t longest = checked ? kBlock : kWorkPerCheck;
        std::int64_t off = 0;
        const auto ahead = [&](std::int64_t i) { prefetch_chunk(c, off + i + kBlock, 16); };
        while (off < c.length) {
            const std::int64_t left = c.length - off;
            const std::int64_t run =
                p != nullptr ? direct_run(c, p, codes_past, off, std::min(longest, left)) : 0;
            std::int64_t count = std::min(kBlock, left);
            if (run >= count) {
                count = run;
                body(p + off, c.start + off, count, ahead);
            } else {
                if (read_chunk(c, off, count, buffer)) {
                    throw SignallingNaN{};
                }
                body(static_cast<const T*>(buffer), c.start + off, count, ahead);
            }
            off += count;
            signals.done(count);
        }
    }
}

// Elements [first, first + count) of a vector, NumPy's or Arrow's, where they lie or converted
// into `buffer`. Calls come in increasing order of `first`; `chunk` keeps the place of an
// Arrow column between them.
template <typename T>
const T* span(const ArrayView<T>& v, std::size_t& chunk, std::int64_t first, std::int64_t count,
              T* buffer) {
    const ArrowColumns<T>* a = v.arrow();
    if (a == nullptr) {
        if (v.direct(0)) {
            return v.line(0) + first;
        }
        v.read(0, 0, 1, first, count, buffer, 0);
        return buffer;
    }
    const std::vector<ArrowChunk<T>>& chunks = a->columns[0];
    while (chunks[chunk].start + chunks[chunk].length <= first) {
        ++chunk;
    }
    const ArrowChunk<T>& c = chunks[chunk];
    const std::int64_t off = first - c.start;
    if (const T* p = direct_values(c); p != nullptr && off + count <= c.length &&
                                       direct_run(c, p, v.codes_past(), off, count) == count) {
        return p + off;
    }
    T* out = buffer;
    for (std::size_t k = chunk; count > 0; ++k) {
        const ArrowChunk<T>& d = chunks[k];
        const std::int64_t m = std::min(count, d.start + d.length - first);
        if (m <= 0) {
            continue;
        }
        if (read_chunk(d, first - d.start, m, out)) {
            throw SignallingNaN{};
        }
        out += m;
        first += m;
        count -= m;
    }
    return buffer;
}

}  // namespace detail

// Calls body(elements, first, count, ahead) on consecutive runs that cover elements [0, n) of a
// vector, in order: runs of kWorkPerCheck elements in the caller's memory when they are
// direct; otherwise blocks converted into a buffer on the stack. elements[i] is element
// first + i. Every kWorkPerCheck elements, pending signals are looked at (check_signals).
// A body whose loop reads nothing of the input for a while (it works on a table) calls
// ahead(i) to ask for the 16 elements from first + i + kBlock of the caller's memory: a block
// ahead, which then arrives while it works.
template <typename T, typename Body>
void for_each_block(const ArrayView<T>& v, std::int64_t n, Body&& body) {
    if (const ArrowColumns<T>* a = v.arrow()) {
        detail::for_each_arrow_block(a->columns[0], v.codes_past(), body);
        return;
    }
    std::int64_t first = 0;
    const auto ahead = [&](std::int64_t i) { v.prefetch(first + i + kBlock, 16); };
    if (v.direct(0)) {
        for (; first < n; first += kWorkPerCheck) {
            if (first > 0) {
                check_signals();
            }
            body(v.line(0) + first, first, std::min(kWorkPerCheck, n - first), ahead);
        }
        return;
    }
    T buffer[kBlock];
    for (; first < n; first += kBlock) {
        if (first > 0 && first % kWorkPerCheck == 0) {
            check_signals();
        }
        const std::int64_t count = std::min(kBlock, n - first);
        v.read(0, 0, 1, first, count, buffer, 0);
        body(static_cast<const T*>(buffer), first, count, ahead);
    }
}

// The same over two vectors of length n side by side: body(a, b, first, count, ahead).
template <typename T, typename Body>
void for_each_block(const ArrayView<T>& u, const ArrayView<T>& v, std::int64_t n, Body&& body) {
    std::int64_t first = 0;
    const auto ahead = [&](std::int64_t i) {
        u.prefetch(first + i + kBlock, 16);
        v.prefetch(first + i + kBlock, 16);
    };
    if (u.direct(0) && v.direct(0)) {
        for (; first < n; first += kWorkPerCheck) {
            if (first > 0) {
                check_signals();
            }
            body(u.line(0) + first, v.line(0) + first, first, std::min(kWorkPerCheck, n - first),
                 ahead);
        }
        return;
    }
    T ubuffer[kBlock];
    T vbuffer[kBlock];
    if (u.arrow() != nullptr || v.arrow() != nullptr) {
        std::size_t uchunk = 0;
        std::size_t vchunk = 0;
        for (; first < n; first += kBlock) {
            if (first > 0 && first % kWorkPerCheck == 0) {
                check_signals();
            }
            const std::int64_t count = std::min(kBlock, n - first);
            const T* a = detail::span(u, uchunk, first, count, ubuffer);
            const T* b = detail::span(v, vchunk, first, count, vbuffer);
            body(a, b, first, count, ahead);
        }
        return;
    }
    for (; first < n; first += kBlock) {
        if (first > 0 && first % kWorkPerCheck == 0) {
            check_signals();
        }
        const std::int64_t count = std::min(kBlock, n - first);
        const T* a = ubuffer;
        const T* b = vbuffer;
        if (u.direct(0)) {
            a = u.line(0) + first;
        } else {
            u.read(0, 0, 1, first, count, ubuffer, 0);
        }
        if (v.direct(0)) {
            b = v.line(0) + first;
        } else {
            v.read(0, 0, 1, first, count, vbuffer, 0);
        }
        body(a, b, first, count, ahead);
    }
}

// Runs body(view) over the view of `input`, and again over a view of NumPy's cast of it if the
// input turns out to hold a float16 or float32 signalling NaN. NumPy's cast then reacts to it
// as it always does: a RuntimeWarning by default, or an error that makes the argument
// incompatible (TypeError), exactly as if the copy had been made during argument conversion.
// The body must not depend on having run before: it writes every result element again.
template <typename T, typename Body>
void read_or_cast(const InputArray<T>& input, const ArrayView<T>& view, Body&& body) {
    try {
        body(view);
        return;
    } catch (const detail::SignallingNaN&) {
    }
    InputArray<T> cast;
    cast.array = py::array_t<T>::ensure(input.source);
    if (!cast.array) {
        throw py::reference_cast_error();  // the binding's "incompatible function arguments"
    }
    body(ArrayView<T>(cast));
}

// Held for the span of a kernel's loops: from after its arguments are converted and its results
// made until before it touches Python again. A GIL build keeps the interpreter lock for the
// whole call, as ever. A free-threaded build has no such lock to keep, and there the thread
// detaches from the interpreter for the loops, so that a pause that stops every thread (a
// garbage collection started by another one) does not wait for them to end.
class PureLoops {
#ifdef Py_GIL_DISABLED
    py::gil_scoped_release detached_;
#endif
};

// A new one-dimensional, C-contiguous, writable array of n elements. NumPy allocates it
// without clearing it: the kernel writes every element.
template <typename T>
py::array_t<T> new_result(std::int64_t n) {
    return py::array_t<T>(static_cast<py::ssize_t>(n));
}

// The FlagArray of a one-dimensional input: one int32 flag per element, not yet written.
// Any other input is refused before the result is made.
template <typename T>
py::array_t<std::int32_t> new_flag_array(const ArrayView<T>& view) {
    if (view.ndim() != 1) {
        throw std::runtime_error("Input data vector must be one-dimensional.");
    }
    return new_result<std::int32_t>(view.extent(0));
}

}  // namespace vantorix
