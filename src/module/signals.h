#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>

namespace vantorix {

namespace py = pybind11;

// Work between two looks for a pending signal: elements, cells or table slots, at about a
// nanosecond each a millisecond or so apart, where a look costs some nanoseconds (attached
// again in the free-threaded build, about a microsecond).
constexpr std::int64_t kWorkPerCheck = std::int64_t{1} << 20;

// Runs the Python handlers of the signals that arrived since the last look, and ends the call
// with the exception one of them raised: KeyboardInterrupt for Ctrl-C, or whatever a handler
// of the caller's own raises. A kernel's loops call it between blocks of work, so that a call
// that runs for minutes can still be stopped; as the exception passes, the call's tables,
// views and results are released like on any other failure. Only the main thread runs
// handlers; in any other thread this returns at once.
inline void check_signals() {
#ifdef Py_GIL_DISABLED
    // The loops run detached from the interpreter (PureLoops): attached again for the look.
    struct Attached {
        PyGILState_STATE state = PyGILState_Ensure();
        ~Attached() { PyGILState_Release(state); }
    } attached;
#endif
    if (PyErr_CheckSignals() != 0) {
        throw py::error_already_set();
    }
}

// Counts a loop's work and looks for a pending signal each time kWorkPerCheck units are done.
class SignalCheck {
public:
    void done(std::int64_t work) {
        left_ -= work;
        if (left_ <= 0) {
            left_ = kWorkPerCheck;
            check_signals();
        }
    }

private:
    std::int64_t left_ = kWorkPerCheck;
};

// std::sort of [first, last), with looks for pending signals along the way: runs of
// kWorkPerCheck elements sorted one by one, then merged pairwise, a look before each step.
// Sorted values are sorted values: the result is std::sort's.
template <typename It>
void sort_checked(It first, It last) {
    const std::int64_t n = last - first;
    for (std::int64_t i = 0; i < n; i += kWorkPerCheck) {
        if (i > 0) {
            check_signals();
        }
        std::sort(first + i, first + std::min(n, i + kWorkPerCheck));
    }
    for (std::int64_t run = kWorkPerCheck; run < n; run *= 2) {
        for (std::int64_t i = 0; i + run < n; i += 2 * run) {
            check_signals();
            std::inplace_merge(first + i, first + i + run, first + std::min(n, i + 2 * run));
        }
    }
}

}  // namespace vantorix
