// A process-wide cell filled at most once with a strong reference that is never released.
// A thread that has to wait for another thread to finish filling it waits without the
// interpreter lock, so the filling thread can take the lock.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>

#include "ref.hpp"

namespace pwpoly::binding {

class OnceCell {
public:
    PyObject* get() const noexcept { return value_.load(std::memory_order_acquire); }

    // Returns the cell's object, running `build` (returns a Ref, may throw) if the cell is
    // empty. A failed build leaves the cell empty, so a later request tries again.
    template <class Build>
    PyObject* get_or_init(Build&& build) {
        if (PyObject* value = get()) return value;
        PyThreadState* saved = PyEval_SaveThread();
        std::unique_lock<std::mutex> lock(mutex_);
        PyEval_RestoreThread(saved);
        if (PyObject* value = get()) return value;
        Ref made = build();
        value_.store(made.release(), std::memory_order_release);
        return get();
    }

private:
    std::atomic<PyObject*> value_{nullptr};
    std::mutex mutex_;
};

}  // namespace pwpoly::binding
