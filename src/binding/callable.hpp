// The one call mechanism of every Python entry point. A callable is an ordinary C++ function
// (or member function of a class's native record) with native parameter types; the templates
// here turn it into a CPython entry that binds the arguments, checks the receiver and takes
// access, converts the arguments in declaration order, calls it and converts the result,
// all inside the boundary:
//
//   function<sum_as_string, "sum_as_string", "a", "b">                      module function
//   method<&Evaluator::evaluate_at, "LegendreBasisEvaluator.evaluate_at", "t"> method
//   constructor<make_basis, "LegendreBasis.__new__", "degree", "n_t", "T">    tp_new
//
// A const member function takes shared access to the instance, a non-const one exclusive.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "arguments.hpp"
#include "convert.hpp"
#include "error.hpp"
#include "fault.hpp"
#include "instance.hpp"

namespace pwpoly::binding {

// A string literal usable as a template argument.
template <std::size_t N>
struct Name {
    char text[N];
    constexpr Name(const char (&literal)[N]) { std::copy_n(literal, N, text); }
    constexpr std::string_view view() const { return {text, N - 1}; }
};

template <Name Qualified, Name... Parameters>
struct StaticSignature {
    static constexpr std::array<std::string_view, sizeof...(Parameters)> names{Parameters.view()...};
    static constexpr Signature value{Qualified.view(), names};
};

namespace detail {

template <class F>
struct Callable;

template <class R, class... A>
struct Callable<R (*)(A...)> {
    using Result = R;
    using Arguments = std::tuple<std::decay_t<A>...>;
};

template <class R, class C, class... A>
struct Callable<R (C::*)(A...) const> {
    using Result = R;
    using Record = C;
    using Arguments = std::tuple<std::decay_t<A>...>;
    using Access = SharedAccess;
};

template <class R, class C, class... A>
struct Callable<R (C::*)(A...)> {
    using Result = R;
    using Record = C;
    using Arguments = std::tuple<std::decay_t<A>...>;
    using Access = ExclusiveAccess;
};

template <class T>
T convert_argument(PyObject* object, std::string_view name) {
    try {
        return FromPython<T>::convert(object);
    } catch (PyError& error) {
        throw argument_error(name.data(), std::move(error));
    }
}

// Converts the slots in declaration order: a braced initializer evaluates left to right.
template <class Tuple, std::size_t... I>
Tuple convert_arguments(PyObject* const* slots, const Signature& signature, std::index_sequence<I...>) {
    return Tuple{convert_argument<std::tuple_element_t<I, Tuple>>(slots[I], signature.parameters[I])...};
}

template <class Tuple>
Tuple convert_all(PyObject* const* slots, const Signature& signature) {
    return convert_arguments<Tuple>(slots, signature, std::make_index_sequence<std::tuple_size_v<Tuple>>{});
}

template <class Call>
PyObject* result_of(Call&& call) {
    using R = decltype(call());
    if constexpr (std::is_void_v<R>) {
        call();
        Py_RETURN_NONE;
    } else {
        return to_python(call()).release();
    }
}

}  // namespace detail

template <auto F, Name Qualified, Name... Parameters>
PyObject* function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    using Traits = detail::Callable<decltype(F)>;
    static_assert(std::tuple_size_v<typename Traits::Arguments> == sizeof...(Parameters));
    return boundary([&] {
        constexpr const Signature& signature = StaticSignature<Qualified, Parameters...>::value;
        PyObject* slots[sizeof...(Parameters)] = {};
        bind_vector(signature, args, PyVectorcall_NARGS(nargs), kwnames, slots);
        auto arguments = detail::convert_all<typename Traits::Arguments>(slots, signature);
        return detail::result_of([&] { return std::apply(F, std::move(arguments)); });
    });
}

template <auto M, Name Qualified, Name... Parameters>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    using Traits = detail::Callable<decltype(M)>;
    using Record = typename Traits::Record;
    static_assert(std::tuple_size_v<typename Traits::Arguments> == sizeof...(Parameters));
    return boundary([&] {
        constexpr const Signature& signature = StaticSignature<Qualified, Parameters...>::value;
        PyObject* slots[sizeof...(Parameters)] = {};
        bind_vector(signature, args, PyVectorcall_NARGS(nargs), kwnames, slots);
        Instance<Record>& instance = receiver<Record>(self);
        typename Traits::Access access(instance.borrow);
        auto arguments = detail::convert_all<typename Traits::Arguments>(slots, signature);
        return detail::result_of([&] {
            return std::apply([&](auto&&... a) { return (instance.value.*M)(std::forward<decltype(a)>(a)...); },
                              std::move(arguments));
        });
    });
}

template <auto F, Name Qualified, Name... Parameters>
PyObject* constructor(PyTypeObject* cls, PyObject* args, PyObject* kwargs) noexcept {
    using Traits = detail::Callable<decltype(F)>;
    using Record = typename Traits::Result;
    static_assert(std::tuple_size_v<typename Traits::Arguments> == sizeof...(Parameters));
    return boundary([&] {
        constexpr const Signature& signature = StaticSignature<Qualified, Parameters...>::value;
        PyObject* slots[sizeof...(Parameters)] = {};
        bind_tuple_dict(signature, args, kwargs, slots);
        auto arguments = detail::convert_all<typename Traits::Arguments>(slots, signature);
        Record record = std::apply(F, std::move(arguments));
        return allocate_instance<Record>(cls, std::move(record)).release();
    });
}

// Method table entry for a module function or method.
inline PyMethodDef method_def(const char* name, PyCFunctionFastWithKeywords entry, const char* doc) {
    return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
                       METH_FASTCALL | METH_KEYWORDS, doc};
}

// The sentinel that ends a method table.
inline constexpr PyMethodDef method_table_end{nullptr, nullptr, 0, nullptr};

}  // namespace pwpoly::binding
