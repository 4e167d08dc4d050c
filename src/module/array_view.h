#pragma once

#include <pybind11/numpy.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace vantorix {

namespace py = pybind11;

// The elements along one axis of an input, addressed by logical index. Loads go through
// memcpy because NumPy hands over unaligned arrays (a float64 field of a packed record,
// say) without a copy; for aligned data the compiler turns it into a plain load.
template <typename T>
struct Strided {
    const char* base;
    std::int64_t step;  // bytes from one element to the next, any sign

    T operator[](std::int64_t i) const {
        T value;
        std::memcpy(&value, base + i * step, sizeof value);
        return value;
    }
};

// Read-only view of one converted input array. It owns the buffer request and releases it
// when it goes out of scope, on every exit path.
//
// Every input is read in logical row-major order whatever its memory layout, straight from
// the caller's memory: kernels ask for a line (a vector, a row or a column) and get either a
// plain pointer, when that line is contiguous and aligned, or a Strided accessor.
template <typename T>
class ArrayView {
public:
    explicit ArrayView(const py::array_t<T>& array) : info_(array.request()) {
        aligned_ = reinterpret_cast<std::uintptr_t>(info_.ptr) % alignof(T) == 0;
        for (py::ssize_t d = 0; d < info_.ndim; ++d) {
            // The buffer protocol may report any stride for an axis of extent 0 or 1; it is
            // never used to move, so pin it to the dense value.
            if (info_.shape[d] <= 1) {
                info_.strides[d] = sizeof(T);
            }
            aligned_ = aligned_ && info_.strides[d] % static_cast<py::ssize_t>(alignof(T)) == 0;
        }
    }

    std::int64_t ndim() const { return info_.ndim; }
    std::int64_t extent(std::int64_t d) const { return info_.shape[d]; }

    // Elements along `axis`, starting at the element whose other coordinate is `other`
    // (0 for a vector).
    Strided<T> line(int axis, std::int64_t other = 0) const {
        const char* base = static_cast<const char*>(info_.ptr);
        if (info_.ndim == 2) {
            base += other * info_.strides[1 - axis];
        }
        return {base, info_.strides[axis]};
    }

    // True when every line along `axis` can be read through a plain pointer.
    bool dense(int axis) const {
        return aligned_ && info_.strides[axis] == static_cast<py::ssize_t>(sizeof(T));
    }

    static const T* pointer(const Strided<T>& line) {
        return reinterpret_cast<const T*>(line.base);
    }

private:
    py::buffer_info info_;
    bool aligned_ = false;
};

// Calls `body` with the elements of a one-dimensional view: a pointer when they are
// contiguous, a Strided accessor otherwise. Both give identical results.
template <typename T, typename Body>
void visit_vector(const ArrayView<T>& view, Body&& body) {
    if (view.dense(0)) {
        body(ArrayView<T>::pointer(view.line(0)));
    } else {
        body(view.line(0));
    }
}

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
