// The internal-fault exception ("pyo3_runtime.PanicException"), the fault report written to
// standard error, and the boundary through which every Python entry point runs.
#pragma once

#include <Python.h>

#include <source_location>
#include <string>
#include <vector>

namespace pwpoly::binding {

// The internal-fault exception type, created on first use; null if it was never created.
PyObject* fault_exception_type_if_created() noexcept;

// Turns the exception in flight (inside a catch handler) into the interpreter's current
// exception: Python errors are restored, internal faults are reported and raised as the
// internal-fault exception, std::bad_alloc becomes MemoryError. If handling itself fails,
// the process is aborted: nothing unwinds into the interpreter.
void raise_current_exception() noexcept;

// Runs `body` (returning a new reference, or throwing) and returns its object; on any
// failure sets a Python exception and returns null.
template <class Body>
PyObject* boundary(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

// Boundary for tp_dealloc: never raises; a failure is reported as unraisable at once.
template <class Body>
void dealloc_boundary(Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        PyObject* pending = PyErr_GetRaisedException();
        raise_current_exception();
        PyErr_WriteUnraisable(nullptr);
        PyErr_SetRaisedException(pending);
    }
}

}  // namespace pwpoly::binding
