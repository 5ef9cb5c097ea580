// Whether an entry point runs its native call with the interpreter lock held or released.
//
// A kernel of buffers may run without the lock: its arguments are converted first, so it reads
// and writes only native memory (spans into buffers whose exports `Held` keeps for the whole
// call, which stops the owner from resizing or freeing them: array.array and ndarray raise
// BufferError, ndarray.resize ValueError), and its result goes back to Python after the lock is
// taken again. Releasing costs a few hundred nanoseconds, and taking the lock back after
// another thread took it waits for that thread to let go, so small calls keep it.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>

namespace pwpoly::binding {

// The call runs with the lock held: the default, for everything that touches Python objects.
struct HoldLock {
    template <class Arguments, class Call>
    static decltype(auto) run(const Arguments&, Call&& call) {
        return call();
    }
};

namespace detail {

template <class T>
std::size_t buffer_items(const T&) noexcept {
    return 0;
}
template <class T>
std::size_t buffer_items(const std::span<T>& view) noexcept {
    return view.size();
}

// Runs `call` with the lock released. Taking the lock back may end the thread (the interpreter
// ends a daemon thread that asks for it during finalisation) with a forced unwind: it is taken
// in plain code and in a handler, never in a destructor, so that the unwind passes.
template <class Call>
decltype(auto) without_lock(Call&& call) {
    PyThreadState* state = PyEval_SaveThread();
    if constexpr (std::is_void_v<decltype(call())>) {
        try {
            call();
        } catch (...) {
            PyEval_RestoreThread(state);
            throw;
        }
        PyEval_RestoreThread(state);
    } else {
        bool restored = false;
        try {
            auto result = call();
            restored = true;  // the restore below may end the thread: not to be tried twice
            PyEval_RestoreThread(state);
            return result;
        } catch (...) {
            if (!restored) PyEval_RestoreThread(state);
            throw;
        }
    }
}

}  // namespace detail

// Buffer items (every span argument's elements, inputs and outputs) above which a call is worth
// releasing the lock for; measured by benchmarks/run.py's lock-release row.
inline constexpr std::size_t release_threshold_items = 4096;

// The call runs without the lock when its buffers hold more than release_threshold_items items.
// Only for callees that take nothing but native values and spans.
struct ReleaseLock {
    template <class Arguments, class Call>
    static decltype(auto) run(const Arguments& arguments, Call&& call) {
        const std::size_t items =
            std::apply([](const auto&... a) { return (detail::buffer_items(a) + ... + std::size_t{0}); }, arguments);
        if (items <= release_threshold_items) return call();
        return detail::without_lock(std::forward<Call>(call));
    }
};

}  // namespace pwpoly::binding
