// An owning PyObject* (RAII): the only way this module holds a Python reference.
#pragma once

#include <Python.h>

#include <utility>

namespace pwpoly::binding {

// Drops a reference, unless this thread has no thread state: a thread that the interpreter
// ends during finalisation unwinds (a forced unwind) without one, and must not touch objects
// then; the process is ending, so the reference is left behind.
inline void release_reference(PyObject* object) noexcept {
    if (PyThreadState_GetUnchecked() != nullptr) Py_DECREF(object);
}

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            if (ptr_ != nullptr) release_reference(ptr_);
            ptr_ = std::exchange(other.ptr_, nullptr);
        }
        return *this;
    }
    ~Ref() {
        if (ptr_ != nullptr) release_reference(ptr_);
    }

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
