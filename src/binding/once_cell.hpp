// A process-wide cell filled at most once with a strong reference that is never released.
//
// No lock is held while the cell is being filled: building the value may run Python code
// (an import, say), and that code may release the interpreter lock, let another thread ask
// for the same cell, or ask for it again on the same thread. Each of them builds a value of
// its own; the first one published wins and every later one is released, so the cell is
// still filled at most once and is read without locking afterwards.
#pragma once

#include <Python.h>

#include <atomic>

#include "binding/ref.hpp"

namespace pwpoly::binding {

class OnceCell {
public:
    PyObject* get() const noexcept { return value_.load(std::memory_order_acquire); }

    // Returns the cell's object, running `build` (returns a Ref, may throw) if the cell is
    // empty. A failed build leaves the cell empty, so a later request tries again. Must be
    // called with the interpreter lock held (the losing value is released here).
    template <class Build>
    PyObject* get_or_init(Build&& build) {
        if (PyObject* value = get()) return value;
        Ref made = build();
        PyObject* expected = nullptr;
        if (value_.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
            return made.release();
        }
        return expected;  // another fill won; `made` is released on return
    }

private:
    std::atomic<PyObject*> value_{nullptr};
};

}  // namespace pwpoly::binding
