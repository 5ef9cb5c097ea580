// The internal-fault exception ("pyo3_runtime.PanicException"), the fault report written to
// standard error, and the boundary through which every Python entry point runs.
//
// A forced unwind (abi::__forced_unwind: pthread_exit(), which the interpreter uses to end a
// daemon thread that wants the interpreter lock back during finalisation, or thread
// cancellation) is not a fault: it passes every boundary untouched, so the thread goes on
// unwinding to its end instead of calling into an interpreter it no longer belongs to. For
// that, no frame between the boundary and the interpreter may be noexcept: a forced unwind
// that meets a noexcept frame ends the process with std::terminate.
#pragma once

#include <Python.h>

#include <exception>
#include <source_location>
#include <string>
#include <vector>

namespace pwpoly::binding {

// True inside a handler whose exception is not a C++ exception. A forced unwind is one: it is
// matched by no C++ type (binding a reference to it, as `catch (abi::__forced_unwind&)` does,
// binds a null reference), so handlers that catch everything ask this and rethrow it.
inline bool forced_unwind_in_flight() noexcept { return !std::current_exception(); }

// The internal-fault exception type (borrowed), created on first use; one type for the whole
// package, whichever of its modules creates it.
PyObject* fault_exception_type();

// Turns the exception in flight (inside a catch handler) into the interpreter's current
// exception: Python errors are restored, internal faults are reported and raised as the
// internal-fault exception, std::bad_alloc becomes MemoryError. A forced unwind is rethrown
// as it is, the only way out of this function other than returning. If handling itself
// fails, the process is aborted: nothing unwinds into the interpreter.
void raise_current_exception();

// Runs `body` (returning a new reference, or throwing) and returns its object; on any
// failure sets a Python exception and returns null. Only a forced unwind leaves it.
template <class Body>
PyObject* boundary(Body&& body) {
    try {
        return body();
    } catch (...) {
        if (forced_unwind_in_flight()) throw;
        raise_current_exception();
        return nullptr;
    }
}

// Boundary for tp_dealloc: never raises; a failure is reported as unraisable at once. Only a
// forced unwind leaves it.
template <class Body>
void dealloc_boundary(Body&& body) {
    try {
        body();
    } catch (...) {
        if (forced_unwind_in_flight()) throw;
        PyObject* pending = PyErr_GetRaisedException();
        raise_current_exception();
        PyErr_WriteUnraisable(nullptr);
        PyErr_SetRaisedException(pending);
    }
}

}  // namespace pwpoly::binding
