#include "binding/convert.hpp"

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>

#include "binding/error.hpp"
#include "binding/once_cell.hpp"
#include "common/fault.hpp"
#include "common/sizes.hpp"

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
        if (value > SIZE_MAX)
            throw PyError::lazy(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<std::size_t>(value);
}

[[noreturn]] void result_failed() {
    PyErr_Print();
    throw InternalFault("Python API call failed");
}

PyObject* made(PyObject* object) {
    if (object == nullptr) result_failed();
    return object;
}

Ref new_list(std::size_t length) { return Ref::steal(made(PyList_New(static_cast<Py_ssize_t>(length)))); }

template <class T, class Make>
Ref list_of(const std::vector<T>& values, Make&& make) {
    Ref list = new_list(values.size());
    PyObject** items = reinterpret_cast<PyListObject*>(list.get())->ob_item;
    for (std::size_t i = 0; i < values.size(); ++i) items[i] = made(make(values[i]));
    return list;
}

// ---------------------------------------------------------------- array fast path

// The exact types whose buffers are read in place: the iteration of a 1-D float64 numpy.ndarray
// or array.array('d') yields exactly the doubles of its buffer. Subclasses may override
// iteration, so only the exact types qualify. Each type object is looked up once, in the module
// that must already be imported for such an object to exist, and kept for the process.
struct ArrayType {
    const char* type_name;  // tp_name of the exact type
    const char* module;
    const char* attribute;
    std::atomic<PyTypeObject*> type{nullptr};
};

ArrayType numpy_ndarray{"numpy.ndarray", "numpy", "ndarray"};
ArrayType array_array{"array.array", "array", "array"};

bool is_exactly(PyTypeObject* type, ArrayType& known) {
    if (PyTypeObject* found = known.type.load(std::memory_order_acquire)) return type == found;
    if (std::strcmp(type->tp_name, known.type_name) != 0) return false;
    // First sight of an object claiming this name: find the real type object.
    Ref module = Ref::steal(PyImport_GetModule(Ref::steal(PyUnicode_FromString(known.module)).get()));
    Ref attribute = module ? Ref::steal(PyObject_GetAttrString(module.get(), known.attribute)) : Ref();
    PyErr_Clear();
    if (!attribute || !PyType_Check(attribute.get())) return false;
    PyTypeObject* expected = nullptr;
    auto* real = reinterpret_cast<PyTypeObject*>(attribute.get());
    if (known.type.compare_exchange_strong(expected, real, std::memory_order_acq_rel)) attribute.release();
    return type == known.type.load(std::memory_order_acquire);
}

bool native_format(const char* format, char code) {
    if (format == nullptr) return code == 'B';
    if (*format == '@' || *format == '=' || (*format == (std::endian::native == std::endian::little ? '<' : '>'))) {
        ++format;
    }
    return format[0] == code && format[1] == '\0';
}

template <class T>
bool format_matches(const char* format) {
    if constexpr (std::is_same_v<std::remove_const_t<T>, double>) {
        return native_format(format, 'd');
    } else if constexpr (sizeof(T) == 8) {
        return native_format(format, 'q') || (sizeof(long) == 8 && native_format(format, 'l'));
    } else {
        static_assert(sizeof(T) == 4);
        return native_format(format, 'i') || (sizeof(long) == 4 && native_format(format, 'l'));
    }
}

template <class T>
const char* item_type_name() {
    if constexpr (std::is_same_v<std::remove_const_t<T>, double>)
        return "float64";
    else if constexpr (sizeof(T) == 8)
        return "int64";
    else
        return "int32";
}

// The 1-D native float64 buffer of an exact ndarray or array('d'), or false (nothing pending).
bool float64_vector_buffer(PyObject* object, Held& held) {
    PyTypeObject* type = Py_TYPE(object);
    if (!is_exactly(type, numpy_ndarray) && !is_exactly(type, array_array)) return false;
    if (!held.acquire(object, PyBUF_STRIDES | PyBUF_FORMAT)) {
        PyErr_Clear();
        return false;
    }
    const Py_buffer& view = held.view();
    if (view.ndim == 1 && view.itemsize == sizeof(double) && format_matches<double>(view.format)) return true;
    held.release();
    return false;
}

template <class T>
bool aligned(const void* data) {
    return reinterpret_cast<std::uintptr_t>(data) % alignof(T) == 0;
}

// A 1-D buffer whose doubles can be read in place: contiguous and aligned.
bool in_place(const Py_buffer& view) {
    return view.strides[0] == static_cast<Py_ssize_t>(sizeof(double)) && aligned<double>(view.buf);
}

// Copies the doubles of an eligible buffer.
std::vector<double> copy_buffer(const Py_buffer& view) {
    const auto count = checked_count<double>(static_cast<std::size_t>(view.shape[0]));
    const Py_ssize_t stride = view.strides[0];
    if (in_place(view)) {
        const auto* first = static_cast<const double*>(view.buf);
        return std::vector<double>(first, first + count);
    }
    std::vector<double> values(count);
    const char* at = static_cast<const char*>(view.buf);
    for (std::size_t i = 0; i < count; ++i, at += stride) std::memcpy(&values[i], at, sizeof(double));
    return values;
}

// Lists and tuples are walked by index exactly as their iterators would walk them: the length
// is read again after any item that runs Python code (an item's __float__ may shrink or grow a
// list). Runs of exact floats run no code and are copied in one tight loop.
template <bool IsList>
void append_items(PyObject* sequence, std::vector<double>& values) {
    auto length = [sequence] { return IsList ? PyList_GET_SIZE(sequence) : PyTuple_GET_SIZE(sequence); };
    auto items = [sequence] {
        return IsList ? reinterpret_cast<PyListObject*>(sequence)->ob_item
                      : reinterpret_cast<PyTupleObject*>(sequence)->ob_item;
    };
    for (Py_ssize_t i = 0;;) {
        const Py_ssize_t n = length();
        if (i >= n) return;
        PyObject** item = items();
        for (; i < n && PyFloat_CheckExact(item[i]); ++i) values.push_back(PyFloat_AS_DOUBLE(item[i]));
        if (i >= n) return;
        Ref held = Ref::borrow(item[i]);  // item code may drop the container's reference
        values.push_back(to_double(held.get()));
        ++i;
    }
}

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

namespace {

// The generic conversion (everything after the buffer fast path).
std::vector<double> convert_items(PyObject* object) {
    if (PyUnicode_Check(object)) throw PyError::lazy(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) throw cast_error(object, sequence_abc());

    std::vector<double> values;
    const Py_ssize_t length = PyObject_Size(object);
    if (length < 0) {
        PyErr_Clear();
    } else {
        values.reserve(checked_count<double>(static_cast<std::size_t>(length)));
    }
    if (PyList_CheckExact(object)) {
        append_items<true>(object, values);
        return values;
    }
    if (PyTuple_CheckExact(object)) {
        append_items<false>(object, values);
        return values;
    }
    Ref iterator = checked(PyObject_GetIter(object));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) values.push_back(to_double(item.get()));
    if (PyErr_Occurred()) throw_fetched();
    return values;
}

}  // namespace

std::vector<double> to_double_vector(PyObject* object) {
    Held held;
    if (float64_vector_buffer(object, held)) return copy_buffer(held.view());
    return convert_items(object);
}

FloatSequence to_float_sequence(PyObject* object, Held& held) {
    if (float64_vector_buffer(object, held)) {
        const Py_buffer& view = held.view();
        if (in_place(view)) {
            const auto count = checked_count<double>(static_cast<std::size_t>(view.shape[0]));
            return FloatSequence(std::span<const double>(static_cast<const double*>(view.buf), count));
        }
        FloatSequence copied(copy_buffer(view));
        held.release();
        return copied;
    }
    return FloatSequence(convert_items(object));
}

template <class T>
std::span<T> to_buffer(PyObject* object, Held& held) {
    constexpr bool writable = !std::is_const_v<T>;
    const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (held.acquire(object, flags)) {
        const Py_buffer& view = held.view();
        if (view.itemsize == static_cast<Py_ssize_t>(sizeof(T)) && format_matches<T>(view.format)) {
            // An empty buffer holds nothing to read or write, wherever it points.
            if (view.len == 0) return {};
            if (aligned<T>(view.buf)) {
                return {static_cast<T*>(view.buf), static_cast<std::size_t>(view.len) / sizeof(T)};
            }
        }
        held.release();
    } else {
        PyErr_Clear();
    }
    throw PyError::lazy(PyExc_TypeError, std::string("expected ") + (writable ? "a writable" : "an") +
                                             " aligned C-contiguous buffer of " + item_type_name<T>() + ", got '" +
                                             qualified_name(Py_TYPE(object), "<unknown>") + "'");
}

template std::span<const double> to_buffer<const double>(PyObject*, Held&);
template std::span<double> to_buffer<double>(PyObject*, Held&);
template std::span<const std::int64_t> to_buffer<const std::int64_t>(PyObject*, Held&);
template std::span<std::int64_t> to_buffer<std::int64_t>(PyObject*, Held&);
template std::span<const std::int32_t> to_buffer<const std::int32_t>(PyObject*, Held&);
template std::span<std::int32_t> to_buffer<std::int32_t>(PyObject*, Held&);

// ---------------------------------------------------------------- results

Ref to_python(const std::string& text) {
    return Ref::steal(made(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
}

Ref to_python(double value) { return Ref::steal(made(PyFloat_FromDouble(value))); }

Ref to_python(std::size_t value) { return Ref::steal(made(PyLong_FromSize_t(value))); }

Ref to_python(const std::vector<double>& values) { return list_of(values, PyFloat_FromDouble); }

Ref to_python(const std::vector<std::size_t>& values) { return list_of(values, PyLong_FromSize_t); }

Ref to_python(const piecewise_polynomials::LocalBasisValues& local) {
    // Every entry outside the interval is +0.0: one shared float object stands for all of them.
    Ref zero = Ref::steal(made(PyFloat_FromDouble(0.0)));
    Ref list = new_list(local.size);
    PyObject** items = reinterpret_cast<PyListObject*>(list.get())->ob_item;
    PyObject* shared = zero.get();
    for (std::size_t i = 0; i < local.size; ++i) items[i] = shared;
    Py_SET_REFCNT(shared, Py_REFCNT(shared) + static_cast<Py_ssize_t>(local.size));
    for (std::size_t i = 0; i < local.values.size(); ++i) {
        const std::size_t at = i * local.n_t + local.k;
        PyObject* value = made(PyFloat_FromDouble(local.values[i]));
        items[at] = value;
        Py_DECREF(shared);
    }
    return list;
}

Ref to_python(const sparse_matrix_tools::CsrMatrix& matrix) {
    const std::size_t nnz = matrix.nnz();
    Ref rows = new_list(nnz);
    Ref cols = new_list(nnz);
    Ref values = new_list(nnz);
    PyObject** row_items = reinterpret_cast<PyListObject*>(rows.get())->ob_item;
    PyObject** col_items = reinterpret_cast<PyListObject*>(cols.get())->ob_item;
    PyObject** value_items = reinterpret_cast<PyListObject*>(values.get())->ob_item;
    const auto& offsets = matrix.row_offsets();
    const auto& col_indices = matrix.col_indices();
    const auto& entries = matrix.values();
    // One int object per row stands for every entry of that row.
    for (std::size_t r = 0; r + 1 < offsets.size(); ++r) {
        const std::size_t begin = offsets[r];
        const std::size_t end = offsets[r + 1];
        if (begin == end) continue;
        PyObject* row = made(PyLong_FromSize_t(r));
        for (std::size_t p = begin; p < end; ++p) {
            if (p != begin) Py_INCREF(row);
            row_items[p] = row;
        }
    }
    for (std::size_t p = 0; p < nnz; ++p) col_items[p] = made(PyLong_FromSize_t(col_indices[p]));
    for (std::size_t p = 0; p < nnz; ++p) value_items[p] = made(PyFloat_FromDouble(entries[p]));
    Ref tuple = Ref::steal(made(PyTuple_New(3)));
    PyTuple_SET_ITEM(tuple.get(), 0, rows.release());
    PyTuple_SET_ITEM(tuple.get(), 1, cols.release());
    PyTuple_SET_ITEM(tuple.get(), 2, values.release());
    return tuple;
}

}  // namespace pwpoly::binding
