#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>

namespace vantorix {

namespace py = pybind11;

// Work between two looks for a pending signal: elements, cells or table slots, at about a
// nanosecond each a few milliseconds apart, where a look costs some tens of nanoseconds.
constexpr std::int64_t kWorkPerCheck = std::int64_t{1} << 22;

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

}  // namespace vantorix
