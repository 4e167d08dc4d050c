#pragma once

#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>

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
    explicit ArrayView(const InputArray<T>& input)
        : info_(input.array.request()), element_(input.element) {
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

    std::int64_t ndim() const { return info_.ndim; }
    std::int64_t extent(std::int64_t d) const { return info_.shape[d]; }

    // Bytes from one element to the next along `axis`, any sign.
    std::int64_t step(int axis) const { return info_.strides[axis]; }

    // True when the elements along `axis` are the kernel's own T, adjacent and aligned, so that
    // every line along it can be read through a plain pointer.
    bool direct(int axis) const {
        return element_ == native && aligned_ &&
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
        if (first + count > info_.shape[0]) {
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

    py::buffer_info info_;
    Element element_;
    bool aligned_ = false;
};

// Elements per block of a vector that is converted on its way to a kernel: 16 KiB of codes or
// 32 KiB of doubles, which stay in cache between the conversion and the kernel's loop, and
// long enough runs of the caller's memory for the hardware to stream them at full speed.
constexpr std::int64_t kBlock = 4096;

// Calls body(elements, first, count, ahead) on consecutive runs that cover elements [0, n) of a
// vector, in order: runs of kWorkPerCheck elements in the caller's memory when they are
// direct; otherwise blocks converted into a buffer on the stack. elements[i] is element
// first + i. Every kWorkPerCheck elements, pending signals are looked at (check_signals).
// A body whose loop reads nothing of the input for a while (it works on a table) calls
// ahead(i) to ask for the 16 elements from first + i + kBlock of the caller's memory: a block
// ahead, which then arrives while it works.
template <typename T, typename Body>
void for_each_block(const ArrayView<T>& v, std::int64_t n, Body&& body) {
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
