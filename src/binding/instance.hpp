// Class instances: the layout (object header, borrow flag, native record), receiver checks
// with shared or exclusive access, allocation by a constructor, and deallocation.
#pragma once

#include <Python.h>

#include <atomic>
#include <new>
#include <string>
#include <utility>

#include "binding/error.hpp"
#include "binding/fault.hpp"

namespace pwpoly::binding {

// Borrow flag: 0 no access, n > 0 shared accesses, -1 one exclusive access.
using BorrowFlag = std::atomic<Py_ssize_t>;

template <class T>
struct Instance {
    PyObject_HEAD
    BorrowFlag borrow;
    T value;
};

class SharedAccess {
public:
    explicit SharedAccess(BorrowFlag& flag) : flag_(flag) {
        Py_ssize_t current = flag_.load(std::memory_order_relaxed);
        do {
            if (current == -1) throw PyError::lazy(PyExc_RuntimeError, "Already mutably borrowed");
        } while (!flag_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                              std::memory_order_relaxed));
    }
    ~SharedAccess() { flag_.fetch_sub(1, std::memory_order_release); }
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;

private:
    BorrowFlag& flag_;
};

class ExclusiveAccess {
public:
    explicit ExclusiveAccess(BorrowFlag& flag) : flag_(flag) {
        Py_ssize_t expected = 0;
        if (!flag_.compare_exchange_strong(expected, -1, std::memory_order_acquire, std::memory_order_relaxed))
            throw PyError::lazy(PyExc_RuntimeError, "Already borrowed");
    }
    ~ExclusiveAccess() { flag_.store(0, std::memory_order_release); }
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;

private:
    BorrowFlag& flag_;
};

// The receiver of a method of the class `type` over record T, after its type check.
template <class T>
Instance<T>& receiver(PyObject* self, PyTypeObject* type) {
    if (Py_TYPE(self) != type && !PyType_IsSubtype(Py_TYPE(self), type)) throw cast_error(self, type);
    return *reinterpret_cast<Instance<T>*>(self);
}

// A new instance of `cls` owning `value`.
template <class T>
Ref allocate_instance(PyTypeObject* cls, T&& value) {
    allocfunc alloc = cls->tp_alloc != nullptr ? cls->tp_alloc : PyType_GenericAlloc;
    Ref object = checked(alloc(cls, 0));
    auto* instance = reinterpret_cast<Instance<T>*>(object.get());
    new (&instance->borrow) BorrowFlag(0);
    new (&instance->value) T(std::move(value));
    return object;
}

template <class T>
void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    dealloc_boundary([&] {
        reinterpret_cast<Instance<T>*>(self)->value.~T();
        type->tp_free(self);
    });
    Py_DECREF(type);  // instances of heap types hold a reference to their type
}

}  // namespace pwpoly::binding
