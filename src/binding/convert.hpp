// Conversions between Python objects and the native argument and result types.
//
// Arguments: FromPython<T>::convert(object, held) for each native parameter type T. A converter
// may hand out a view into the argument's buffer; it keeps the buffer in `held`, which lives
// until the call has returned.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "binding/ref.hpp"
#include "piecewise_polynomials/legendre_basis.hpp"
#include "sparse_matrix_tools/csr_matrix.hpp"

namespace pwpoly::binding {

// Per-argument storage for the duration of one call: a buffer view that a converted argument
// points into.
class Held {
public:
    Held() noexcept {}  // the view is filled only by acquire()
    ~Held() { release(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

    // Requests `object`'s buffer with `flags`; false with the interpreter's error pending when
    // the object refuses.
    bool acquire(PyObject* object, int flags) {
        if (PyObject_GetBuffer(object, &view_, flags) < 0) return false;
        active_ = true;
        return true;
    }
    void release() noexcept {
        // A thread unwinding without a thread state (see release_reference) leaves the view.
        if (active_ && PyThreadState_GetUnchecked() != nullptr) PyBuffer_Release(&view_);
        active_ = false;
    }
    const Py_buffer& view() const noexcept { return view_; }

private:
    Py_buffer view_;
    bool active_ = false;
};

// A float sequence argument: the items of any Python sequence other than a str, as doubles.
// Read in place from the buffer of an exact numpy.ndarray or array.array of contiguous native
// float64 (the values its iteration would give), converted into storage of its own otherwise.
class FloatSequence {
public:
    FloatSequence() = default;
    explicit FloatSequence(std::span<const double> view) noexcept : view_(view) {}
    explicit FloatSequence(std::vector<double>&& owned) noexcept : owned_(std::move(owned)), view_(owned_) {}
    FloatSequence(const FloatSequence&) = delete;
    FloatSequence& operator=(const FloatSequence&) = delete;
    FloatSequence(FloatSequence&& other) noexcept = default;
    FloatSequence& operator=(FloatSequence&& other) noexcept = default;
    ~FloatSequence() = default;

    std::span<const double> values() const noexcept { return view_; }

private:
    std::vector<double> owned_;
    std::span<const double> view_;  // into owned_ or into a held buffer
};

// Python int (or any object with __index__) to the unsigned size type.
std::size_t to_size(PyObject* object);
// Python float (or anything the interpreter converts to one) to a double.
double to_double(PyObject* object);
// Any Python sequence other than a str, item by item, to a vector of doubles.
std::vector<double> to_double_vector(PyObject* object);
// The same conversion, reading an eligible buffer in place (kept in `held`).
FloatSequence to_float_sequence(PyObject* object, Held& held);

// A C-contiguous buffer of items of type T (float64 'd', int64 'q'/'l', int32 'i'), all items
// flattened, read or written in place; TypeError otherwise.
template <class T>
std::span<T> to_buffer(PyObject* object, Held& held);

template <class T>
struct FromPython;
template <>
struct FromPython<std::size_t> {
    static std::size_t convert(PyObject* object, Held&) { return to_size(object); }
};
template <>
struct FromPython<double> {
    static double convert(PyObject* object, Held&) { return to_double(object); }
};
template <>
struct FromPython<std::vector<double>> {
    static std::vector<double> convert(PyObject* object, Held&) { return to_double_vector(object); }
};
template <>
struct FromPython<FloatSequence> {
    static FloatSequence convert(PyObject* object, Held& held) { return to_float_sequence(object, held); }
};
template <class T>
struct FromPython<std::span<T>> {
    static std::span<T> convert(PyObject* object, Held& held) { return to_buffer<T>(object, held); }
};

// Native results as new Python objects. A failure of the interpreter to create one is
// printed and ends the call with the internal fault "Python API call failed".
Ref to_python(const std::string& text);
Ref to_python(double value);
Ref to_python(std::size_t value);
Ref to_python(const std::vector<double>& values);
Ref to_python(const std::vector<std::size_t>& values);
// The dense all-basis list: zeros everywhere but the interval's values.
Ref to_python(const piecewise_polynomials::LocalBasisValues& local);
// The triplet tuple (row indices, column indices, values) of the stored entries.
Ref to_python(const sparse_matrix_tools::CsrMatrix& matrix);
// A Python object made by the callee is returned as it is.
inline Ref to_python(Ref object) { return object; }

}  // namespace pwpoly::binding
