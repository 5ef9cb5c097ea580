#include "convert.hpp"

#include <cstdint>
#include <limits>

#include "common/fault.hpp"
#include "common/sizes.hpp"
#include "error.hpp"
#include "once_cell.hpp"

namespace pwpoly::binding {

namespace {

OnceCell sequence_abc_cell;

// collections.abc.Sequence, used only to name the target of a failed sequence conversion.
PyTypeObject* sequence_abc() {
    PyObject* sequence = sequence_abc_cell.get_or_init([] {
        Ref name = checked(PyUnicode_FromString("collections.abc"));
        Ref module = Ref::steal(PyImport_Import(name.get()));
        Ref type = module ? Ref::steal(PyObject_GetAttrString(module.get(), "Sequence")) : Ref();
        if (!type || !PyType_Check(type.get())) {
            PyErr_Clear();
            throw InternalFault("failed to obtain collections.abc.Sequence for a conversion error");
        }
        return type;
    });
    return reinterpret_cast<PyTypeObject*>(sequence);
}

std::size_t index_value(PyObject* integer) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_fetched();
    if constexpr (std::numeric_limits<unsigned long long>::max() > SIZE_MAX) {
        if (value > SIZE_MAX) throw PyError::lazy(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<std::size_t>(value);
}

[[noreturn]] void result_failed() {
    PyErr_Print();
    throw InternalFault("Python API call failed");
}

Ref new_list(std::size_t length) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(length)));
    if (!list) result_failed();
    return list;
}

template <class T, class Make>
Ref list_of(const std::vector<T>& values, Make&& make) {
    Ref list = new_list(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = make(values[i]);
        if (item == nullptr) result_failed();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

PyObject* size_object(std::size_t value) { return PyLong_FromUnsignedLongLong(value); }

}  // namespace

std::size_t to_size(PyObject* object) {
    if (PyLong_Check(object)) return index_value(object);
    Ref integer = checked(PyNumber_Index(object));
    return index_value(integer.get());
}

double to_double(PyObject* object) {
    if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) throw_fetched();
    return value;
}

std::vector<double> to_double_vector(PyObject* object) {
    if (PyUnicode_Check(object)) throw PyError::lazy(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) throw cast_error(object, sequence_abc());

    std::vector<double> values;
    const Py_ssize_t length = PyObject_Size(object);
    if (length < 0) {
        PyErr_Clear();
    } else {
        values.reserve(checked_count<double>(static_cast<std::size_t>(length)));
    }

    // Lists and tuples are walked by index exactly as their iterators would walk them (the
    // length is read again at every step, so items code that shrinks a list is honoured).
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        const bool is_list = PyList_CheckExact(object);
        for (Py_ssize_t i = 0;; ++i) {
            if (i >= (is_list ? PyList_GET_SIZE(object) : PyTuple_GET_SIZE(object))) break;
            PyObject* item = is_list ? PyList_GET_ITEM(object, i) : PyTuple_GET_ITEM(object, i);
            if (PyFloat_CheckExact(item)) {
                values.push_back(PyFloat_AS_DOUBLE(item));
            } else {
                Ref held = Ref::borrow(item);  // item code may drop the container's reference
                values.push_back(to_double(held.get()));
            }
        }
        return values;
    }

    Ref iterator = checked(PyObject_GetIter(object));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) values.push_back(to_double(item.get()));
    if (PyErr_Occurred()) throw_fetched();
    return values;
}

Ref to_python(const std::string& text) {
    Ref result = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!result) result_failed();
    return result;
}

Ref to_python(double value) {
    Ref result = Ref::steal(PyFloat_FromDouble(value));
    if (!result) result_failed();
    return result;
}

Ref to_python(const std::vector<double>& values) { return list_of(values, PyFloat_FromDouble); }

Ref to_python(const std::vector<std::size_t>& values) { return list_of(values, size_object); }

Ref to_python(const sparse_matrix_tools::CsrMatrix& matrix) {
    // Written straight from the CSR arrays: row r repeated for each of its stored entries.
    Ref rows = new_list(matrix.nnz());
    const auto& offsets = matrix.row_offsets();
    for (std::size_t r = 0; r + 1 < offsets.size(); ++r) {
        for (std::size_t p = offsets[r]; p < offsets[r + 1]; ++p) {
            PyObject* item = size_object(r);
            if (item == nullptr) result_failed();
            PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(p), item);
        }
    }
    Ref cols = to_python(matrix.col_indices());
    Ref values = to_python(matrix.values());
    Ref tuple = Ref::steal(PyTuple_New(3));
    if (!tuple) result_failed();
    PyTuple_SET_ITEM(tuple.get(), 0, rows.release());
    PyTuple_SET_ITEM(tuple.get(), 1, cols.release());
    PyTuple_SET_ITEM(tuple.get(), 2, values.release());
    return tuple;
}

}  // namespace pwpoly::binding
