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
    PyObject_HEAD BorrowFlag borrow;
    T value;
};

// Every access is taken and released by a thread that holds the interpreter lock. Where the
// interpreter has one lock (the standard build), no two threads change a flag at the same time,
// so a plain atomic load and store do what a compare-and-exchange would, without the cost of a
// locked instruction on every call; without it (a free-threaded build) the flag is changed by
// compare-and-exchange.
#ifdef Py_GIL_DISABLED
inline constexpr bool flag_changes_race = true;
#else
inline constexpr bool flag_changes_race = false;
#endif

class SharedAccess {
public:
    explicit SharedAccess(BorrowFlag& flag) : flag_(flag) {
        Py_ssize_t current = flag_.load(std::memory_order_relaxed);
        if constexpr (flag_changes_race) {
            do {
                if (current == -1) already_mutably_borrowed();
            } while (!flag_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                                  std::memory_order_relaxed));
        } else {
            if (current == -1) already_mutably_borrowed();
            flag_.store(current + 1, std::memory_order_relaxed);
        }
    }
    ~SharedAccess() {
        if constexpr (flag_changes_race) {
            flag_.fetch_sub(1, std::memory_order_release);
        } else {
            flag_.store(flag_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
        }
    }
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;

private:
    [[noreturn]] static void already_mutably_borrowed() {
        throw PyError::lazy(PyExc_RuntimeError, "Already mutably borrowed");
    }
    BorrowFlag& flag_;
};

class ExclusiveAccess {
public:
    explicit ExclusiveAccess(BorrowFlag& flag) : flag_(flag) {
        Py_ssize_t expected = 0;
        const bool taken = flag_changes_race ? flag_.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                                                             std::memory_order_relaxed)
                                             : flag_.load(std::memory_order_relaxed) == 0;
        if (!taken) throw PyError::lazy(PyExc_RuntimeError, "Already borrowed");
        if constexpr (!flag_changes_race) flag_.store(-1, std::memory_order_relaxed);
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
Ref allocate_instance(PyTypeObject* cls, T value) {
    allocfunc alloc = cls->tp_alloc != nullptr ? cls->tp_alloc : PyType_GenericAlloc;
    Ref object = checked(alloc(cls, 0));
    auto* instance = reinterpret_cast<Instance<T>*>(object.get());
    new (&instance->borrow) BorrowFlag(0);
    new (&instance->value) T(std::move(value));
    return object;
}

template <class T>
void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    dealloc_boundary([&] {
        reinterpret_cast<Instance<T>*>(self)->value.~T();
        type->tp_free(self);
    });
    Py_DECREF(type);  // instances of heap types hold a reference to their type
}

}  // namespace pwpoly::binding
