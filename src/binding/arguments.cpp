#include "binding/arguments.hpp"

#include <vector>

#include "binding/error.hpp"

namespace pwpoly::binding {

std::string Signature::full_name() const { return std::string(qualified_name) + "()"; }

namespace {

[[noreturn]] void fail(std::string message) { throw PyError::lazy(PyExc_TypeError, std::move(message)); }

// How a keyword name is shown in a message: its str(), with lone surrogates passed through
// the encoder and every invalid sequence decoded as U+FFFD.
std::string shown_name(PyObject* name) {
    Ref text = checked(PyObject_Str(name));
    Ref bytes = checked(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
    Ref lenient =
        checked(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace"));
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(lenient.get(), &size);
    if (data == nullptr) throw_fetched();
    return std::string(data, static_cast<std::size_t>(size));
}

void bind_positional(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject** slots) {
    const std::size_t count = signature.parameters.size();
    if (static_cast<std::size_t>(nargs) > count) {
        fail(signature.full_name() + " takes " + std::to_string(count) + " positional arguments but " +
             std::to_string(nargs) + " were given");
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
}

void bind_keyword(const Signature& signature, PyObject* name, PyObject* value, PyObject** slots) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    if (data != nullptr) {
        const std::string_view key(data, static_cast<std::size_t>(size));
        for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
            if (signature.parameters[i] != key) continue;
            if (slots[i] != nullptr) {
                fail(signature.full_name() + " got multiple values for argument '" + std::string(key) + "'");
            }
            slots[i] = value;
            return;
        }
    } else {
        PyErr_Clear();
    }
    fail(signature.full_name() + " got an unexpected keyword argument '" + shown_name(name) + "'");
}

void check_missing(const Signature& signature, PyObject** slots) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < signature.parameters.size(); ++i)
        if (slots[i] == nullptr) missing.push_back(signature.parameters[i]);
    if (missing.empty()) return;
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() == 2)
                list += " and ";
            else if (i + 1 == missing.size())
                list += ", and ";
            else
                list += ", ";
        }
        list += '\'';
        list += missing[i];
        list += '\'';
    }
    fail(signature.full_name() + " missing " + std::to_string(missing.size()) + " required positional " +
         (missing.size() == 1 ? "argument" : "arguments") + ": " + list);
}

}  // namespace

void bind_vector(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** slots) {
    bind_positional(signature, args, nargs, slots);
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i)
            bind_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots);
    }
    check_missing(signature, slots);
}

void bind_tuple_dict(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots) {
    bind_positional(signature, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), slots);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &name, &value)) bind_keyword(signature, name, value, slots);
    }
    check_missing(signature, slots);
}

}  // namespace pwpoly::binding
