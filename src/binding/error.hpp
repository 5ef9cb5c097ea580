// Python error values as they travel through native code: either described lazily by an
// exception type and a message, or an exception already raised and fetched from the
// interpreter. They are thrown as C++ exceptions and raised again at the boundary.
#pragma once

#include <Python.h>

#include <string>

#include "binding/ref.hpp"

namespace pwpoly::binding {

class PyError {
public:
    // An error described by a (static, immortal) exception type and its message.
    static PyError lazy(PyObject* type, std::string message);
    // An exception object that has been raised and fetched (or built to be raised).
    static PyError raised(Ref exception);

    // Takes the interpreter's pending exception. With none pending the error is SystemError
    // "attempted to fetch exception but none was set". A pending internal-fault exception
    // (Python code re-raised one during a conversion) is not passed on: it is reported and
    // resumed as a new InternalFault carrying its text (so it is defined in fault.cpp).
    static PyError fetch();

    // True when the error's exception type is exactly `type` (not a subclass).
    bool is_exactly(PyObject* type) const noexcept;
    // The exception object, created now if the error is lazy.
    Ref into_exception() &&;
    // Makes the error the interpreter's current exception.
    void restore() && noexcept;

private:
    PyObject* lazy_type_ = nullptr;
    std::string message_;
    Ref exception_;
};

// Throws the interpreter's pending exception as a PyError (see PyError::fetch).
[[noreturn]] void throw_fetched();

// Returns `object`, or throws the pending exception when it is null.
inline Ref checked(PyObject* object) {
    if (object == nullptr) throw_fetched();
    return Ref::steal(object);
}

// TypeError "'{source}' object cannot be cast as '{target}'".
PyError cast_error(PyObject* object, PyTypeObject* target);

// A conversion failure of argument `name`: an error of type exactly TypeError becomes
// TypeError "argument '{name}': {str(error)}" carrying the original's __cause__; any other
// error passes through unchanged.
PyError argument_error(const char* name, PyError error);

// The UTF-8 text of a str for a message. Lone surrogates, which UTF-8 cannot hold, are
// encoded with "surrogatepass" and the bytes decoded leniently, every invalid sequence
// becoming U+FFFD; empty only when the interpreter cannot even do that.
std::string lenient_utf8(PyObject* text);

// `__qualname__` of a type, or `fallback` when it cannot be read.
std::string qualified_name(PyTypeObject* type, const char* fallback);

}  // namespace pwpoly::binding
