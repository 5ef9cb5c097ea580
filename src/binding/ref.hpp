// An owning PyObject* (RAII): the only way this module holds a Python reference.
#pragma once

#include <Python.h>

#include <utility>

namespace pwpoly::binding {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(ptr_);
            ptr_ = std::exchange(other.ptr_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a new reference (may be null).
    static Ref steal(PyObject* ptr) noexcept { return Ref(ptr); }
    // Adds a reference to a borrowed pointer (may be null).
    static Ref borrow(PyObject* ptr) noexcept {
        Py_XINCREF(ptr);
        return Ref(ptr);
    }

    PyObject* get() const noexcept { return ptr_; }
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Ref(PyObject* ptr) noexcept : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace pwpoly::binding
