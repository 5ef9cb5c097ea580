// Class instances: the layout (object header, borrow flag, native record), receiver checks
// with shared or exclusive access, allocation by a constructor, and deallocation.
#pragma once

#include <Python.h>

#include <atomic>
#include <new>
#include <string>
#include <utility>

#include "error.hpp"
#include "fault.hpp"
#include "once_cell.hpp"

namespace pwpoly::binding {

// Borrow flag: 0 no access, n > 0 shared accesses, -1 one exclusive access.
using BorrowFlag = std::atomic<Py_ssize_t>;

template <class T>
struct Instance {
    PyObject_HEAD
    BorrowFlag borrow;
    T value;
};

// What a Python class needs from its native record type T. Each class specialises it with
// `static constexpr const char* name`, `static PyType_Spec* spec()` (made by heap_type_spec)
// and `static OnceCell cell`.
template <class T>
struct ClassTraits;

template <class T>
void dealloc(PyObject* self) noexcept;

// The PyType_Spec shared by the classes of this module: a plain heap type of base
// object, not subclassable, without __dict__ or weak references, not tracked by the cyclic
// collector, constructed by `tp_new` alone. Made once per record type.
template <class T>
PyType_Spec* heap_type_spec(const char* full_name, const char* doc, newfunc tp_new, PyMethodDef* methods) {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_new, reinterpret_cast<void*>(tp_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<T>)},
        {Py_tp_methods, methods},
        {0, nullptr},
    };
    static PyType_Spec spec{full_name, static_cast<int>(sizeof(Instance<T>)), 0, Py_TPFLAGS_DEFAULT, slots};
    return &spec;
}

// The class's type object, built on the first request in the process. A failure is the
// RuntimeError "An error occurred while initializing class {name}" caused by the failure.
template <class T>
PyTypeObject* class_object() {
    PyObject* type = ClassTraits<T>::cell.get_or_init([] {
        Ref made = Ref::steal(PyType_FromSpec(ClassTraits<T>::spec()));
        if (made) return made;
        Ref cause = PyError::fetch().into_exception();
        const std::string message = std::string("An error occurred while initializing class ") + ClassTraits<T>::name;
        Ref error = PyError::lazy(PyExc_RuntimeError, message).into_exception();
        PyException_SetCause(error.get(), cause.release());
        throw PyError::raised(std::move(error));
    });
    return reinterpret_cast<PyTypeObject*>(type);
}

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

// The receiver of a method of class T, after its type check.
template <class T>
Instance<T>& receiver(PyObject* self) {
    PyTypeObject* type = class_object<T>();
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
