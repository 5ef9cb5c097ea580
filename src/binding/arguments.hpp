// Argument binding: positional and keyword arguments to the parameter slots of a callable,
// in the vector-call form and the tuple-and-dict form, with the binding messages.
#pragma once

#include <Python.h>

#include <span>
#include <string>
#include <string_view>

namespace pwpoly::binding {

// The static description of one callable. `qualified_name` is "name" for a module function
// and "Class.name" for a method or constructor ("Class.__new__").
struct Signature {
    std::string_view qualified_name;
    std::span<const std::string_view> parameters;

    // "sum_as_string()", "LegendreBasis.__new__()"
    std::string full_name() const;
};

// Fills one borrowed reference per parameter into `slots` (all null on entry), or throws the
// binding TypeError. Every parameter is required and may be given by position or keyword.
void bind_vector(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** slots);
void bind_tuple_dict(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots);

}  // namespace pwpoly::binding
