#include "binding/error.hpp"

namespace pwpoly::binding {

namespace {

// str() of an exception for messages; "<unprintable ...>" (and an unraisable report of the
// failure) when str() itself fails.
std::string printable(PyObject* exception) {
    Ref text = Ref::steal(PyObject_Str(exception));
    if (text) return lenient_utf8(text.get());
    PyErr_WriteUnraisable(exception);
    Ref type_name = Ref::steal(PyType_GetQualName(Py_TYPE(exception)));
    if (!type_name) {
        PyErr_Clear();
        return "<unprintable object>";
    }
    return "<unprintable " + lenient_utf8(type_name.get()) + " object>";
}

}  // namespace

std::string lenient_utf8(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) {
        return std::string(data, static_cast<std::size_t>(size));
    }
    // Not encodable as it is: it holds lone surrogates (or is no str at all).
    PyErr_Clear();
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    Ref lenient =
        bytes
            ? Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace"))
            : Ref();
    const char* data = lenient ? PyUnicode_AsUTF8AndSize(lenient.get(), &size) : nullptr;
    if (data == nullptr) {
        PyErr_Clear();
        return {};
    }
    return std::string(data, static_cast<std::size_t>(size));
}

PyError PyError::lazy(PyObject* type, std::string message) {
    PyError error;
    error.lazy_type_ = type;
    error.message_ = std::move(message);
    return error;
}

PyError PyError::raised(Ref exception) {
    PyError error;
    error.exception_ = std::move(exception);
    return error;
}

bool PyError::is_exactly(PyObject* type) const noexcept {
    if (exception_) return reinterpret_cast<PyObject*>(Py_TYPE(exception_.get())) == type;
    return lazy_type_ == type;
}

Ref PyError::into_exception() && {
    if (exception_) return std::move(exception_);
    Ref message = checked(PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
    return checked(PyObject_CallOneArg(lazy_type_, message.get()));
}

void PyError::restore() && noexcept {
    if (exception_) {
        PyErr_SetRaisedException(exception_.release());
        return;
    }
    Ref message = Ref::steal(PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
    if (message) PyErr_SetObject(lazy_type_, message.get());
}

void throw_fetched() { throw PyError::fetch(); }

std::string qualified_name(PyTypeObject* type, const char* fallback) {
    Ref name = Ref::steal(PyType_GetQualName(type));
    if (!name) {
        PyErr_Clear();
        return fallback;
    }
    return lenient_utf8(name.get());
}

PyError cast_error(PyObject* object, PyTypeObject* target) {
    std::string message = "'";
    message += qualified_name(Py_TYPE(object), "<failed to extract type name>");
    message += "' object cannot be cast as '";
    message += qualified_name(target, "<failed to extract type name>");
    message += "'";
    return PyError::lazy(PyExc_TypeError, std::move(message));
}

PyError argument_error(const char* name, PyError error) {
    if (!error.is_exactly(PyExc_TypeError)) return error;
    Ref caught = std::move(error).into_exception();
    const std::string message = std::string("argument '") + name + "': " + printable(caught.get());
    Ref text = checked(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    Ref renamed = checked(PyObject_CallOneArg(PyExc_TypeError, text.get()));
    // The new error carries the caught error's own cause, not the caught error itself.
    PyException_SetCause(renamed.get(), PyException_GetCause(caught.get()));
    return PyError::raised(std::move(renamed));
}

}  // namespace pwpoly::binding
