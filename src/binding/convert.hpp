// Conversions between Python objects and the native argument and result types.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <vector>

#include "ref.hpp"
#include "sparse_matrix_tools/csr_matrix.hpp"

namespace pwpoly::binding {

// Python int (or any object with __index__) to the unsigned size type.
std::size_t to_size(PyObject* object);
// Python float (or anything the interpreter converts to one) to a double.
double to_double(PyObject* object);
// Any Python sequence other than a str, item by item, to a vector of doubles.
std::vector<double> to_double_vector(PyObject* object);

// Native argument types by their converters.
template <class T>
struct FromPython;
template <>
struct FromPython<std::size_t> {
    static std::size_t convert(PyObject* object) { return to_size(object); }
};
template <>
struct FromPython<double> {
    static double convert(PyObject* object) { return to_double(object); }
};
template <>
struct FromPython<std::vector<double>> {
    static std::vector<double> convert(PyObject* object) { return to_double_vector(object); }
};

// Native results as new Python objects. A failure of the interpreter to create one is
// printed and ends the call with the internal fault "Python API call failed".
Ref to_python(const std::string& text);
Ref to_python(double value);
Ref to_python(const std::vector<double>& values);
Ref to_python(const std::vector<std::size_t>& values);
// The triplet tuple (row indices, column indices, values) of the stored entries.
Ref to_python(const sparse_matrix_tools::CsrMatrix& matrix);

}  // namespace pwpoly::binding
