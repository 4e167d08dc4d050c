#include <pybind11/pybind11.h>

#include "kernels.h"

namespace py = pybind11;

// Every sub-interpreter is refused, whatever its kind, before pybind11 touches its shared
// state for it. Before CPython 3.12 pybind11 keeps that state for the main interpreter only,
// and making it ready from a sub-interpreter waits in PyGILState_Ensure for the interpreter
// lock that the importing thread itself holds: the import would never return. From 3.12 on,
// the multiple-interpreters slot refuses only isolated sub-interpreters; a legacy one (sharing
// the main interpreter's lock) would import the module, load NumPy into itself at its first
// call, and leave NumPy unloadable for the main interpreter once it is destroyed. The text is
// the one CPython gives when that slot refuses.
static bool refuse_sub_interpreter() {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) {
        return false;
    }
    PyErr_SetString(PyExc_ImportError,
                    "module vantorix_core does not support loading in subinterpreters");
    return true;
}

// The create slot. The entry point below does not run again for every interpreter: from 3.13
// on, an interpreter that imports the module after another one did reuses its definition.
static PyObject* create_module(PyObject* spec, PyModuleDef* def) {
    if (refuse_sub_interpreter()) {
        return nullptr;
    }
    return py::detail::cached_create_module(spec, def);
}

// PYBIND11_MODULE's entry point, written out for the refusal and the create slot above.
static int pybind11_exec_vantorix_core(PyObject* module);

extern "C" PYBIND11_EXPORT PyObject* PyInit_vantorix_core() {
    PYBIND11_CHECK_PYTHON_VERSION
    if (refuse_sub_interpreter()) {
        return nullptr;
    }
    try {
        py::detail::ensure_internals();
        static py::detail::slots_array slots = [] {
            // The GIL option first: in the other order, pybind11's multiple-interpreters
            // option calls an overload that clang cannot see yet (GCC can).
            py::detail::slots_array s =
                py::detail::init_slots(&pybind11_exec_vantorix_core, py::mod_gil_not_used(),
                                       py::multiple_interpreters::not_supported());
            for (PyModuleDef_Slot& slot : s) {
                if (slot.slot == Py_mod_create) {
                    slot.value = reinterpret_cast<void*>(&create_module);
                }
            }
            return s;
        }();
        static PyModuleDef def{PyModuleDef_HEAD_INIT,
                               "vantorix_core",
                               nullptr,  // no docstring
                               0,        // no per-module state
                               nullptr,  // the functions are added by the exec slot
                               slots.data(),
                               nullptr,
                               nullptr,
                               nullptr};
        return PyModuleDef_Init(&def);
    }
    PYBIND11_CATCH_INIT_EXCEPTIONS
    return nullptr;
}

PYBIND11_MODULE_EXEC(vantorix_core, m) {
    m.def("calculate_cramers_v", &vantorix::calculate_cramers_v);
    m.def("calculate_summary_stats", &vantorix::calculate_summary_stats);
    m.def("detect_continuous_outliers", &vantorix::detect_continuous_outliers);
    m.def("detect_categorical_outliers", &vantorix::detect_categorical_outliers);
}
