// One declaration per Python callable. A callable is an ordinary C++ function (or a member
// function of a class's native record, or a function taking that record first) with native
// parameter types. One declaration names it and its parameters:
//
//   using SumAsString = Function<sum_as_string, "sum_as_string(a, b)",
//                                "Formats the sum of two numbers as string.">;
//   Method<&Record::evaluate_at, "LegendreBasis.evaluate_at(t, legendre_vals)">
//   using Basis = Class<Record, "builtins.LegendreBasis(degree, n_t, T)", make_record, "", Methods...>;
//   using Pwpoly = Module<"pwpoly", "Module doc.", SumAsString, ..., Basis>;
//
// From it the text signature, the PyMethodDef, the type spec and the member table follow at
// compile time, and every entry point runs the one call sequence of `invoke`: bind, check the
// receiver and take access, convert in declaration order, run, convert the result, release.
// A const member function (or a function taking `const Record&`) takes shared access to the
// instance, a non-const one (or `Record&`) exclusive access.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "binding/arguments.hpp"
#include "binding/convert.hpp"
#include "binding/error.hpp"
#include "binding/fault.hpp"
#include "binding/instance.hpp"
#include "binding/module.hpp"
#include "binding/once_cell.hpp"
#include "binding/unlocked.hpp"

namespace pwpoly::binding {

// ---------------------------------------------------------------- compile-time text

// A string literal usable as a template argument.
template <std::size_t N>
struct Text {
    char chars[N]{};
    constexpr Text(const char (&literal)[N]) { std::copy_n(literal, N, chars); }
    constexpr std::string_view view() const { return {chars, N - 1}; }
};

// The concatenation of static texts, stored once with a terminating NUL.
template <const std::string_view&... Parts>
struct Joined {
    static constexpr std::size_t size = (Parts.size() + ... + 0);
    static constexpr std::array<char, size + 1> chars = [] {
        std::array<char, size + 1> out{};
        std::size_t at = 0;
        ((std::copy(Parts.begin(), Parts.end(), out.begin() + static_cast<std::ptrdiff_t>(at)), at += Parts.size()),
         ...);
        return out;
    }();
    static constexpr const char* c_str() noexcept { return chars.data(); }
    static constexpr std::string_view view{chars.data(), size};
};

template <Text T>
struct TextView {
    static constexpr std::string_view view = T.view();
};

namespace text {
inline constexpr std::string_view empty;
inline constexpr std::string_view open = "(";
inline constexpr std::string_view self_open = "($self";
inline constexpr std::string_view separator = ", ";
inline constexpr std::string_view signature_end = ")\n--\n\n";
inline constexpr std::string_view doc_separator = "\n--\n\n";
inline constexpr std::string_view new_suffix = ".__new__";
}  // namespace text

// Plain loops rather than string_view::find: some builds (with AddressSanitizer) cannot evaluate
// the library's search on a template argument at compile time.
constexpr std::size_t first_of(std::string_view text, char c) {
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] == c) return i;
    return std::string_view::npos;
}

constexpr std::size_t last_of(std::string_view text, char c) {
    for (std::size_t i = text.size(); i-- > 0;)
        if (text[i] == c) return i;
    return std::string_view::npos;
}

constexpr std::string_view trimmed(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

constexpr std::size_t parameter_count(std::string_view list) {
    if (trimmed(list).empty()) return 0;
    std::size_t commas = 0;
    for (const char c : list) commas += c == ',' ? 1 : 0;
    return commas + 1;
}

template <std::size_t N>
constexpr std::array<std::string_view, N> parameter_names(std::string_view list) {
    std::array<std::string_view, N> names{};
    for (std::size_t i = 0; i < N; ++i) {
        const std::size_t comma = first_of(list, ',');
        names[i] = trimmed(list.substr(0, comma));
        list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
    }
    return names;
}

// "Owner.name(p1, p2)" taken apart: the qualified name, the last component and the parameters.
template <Text Declaration>
struct Declared {
    static constexpr std::string_view text = Declaration.view();
    static constexpr std::size_t open = first_of(text, '(');
    static_assert(open != std::string_view::npos && text.back() == ')', "a declaration reads name(parameters)");
    static constexpr std::string_view qualified = text.substr(0, open);
    static constexpr std::size_t dot = last_of(qualified, '.');
    static constexpr std::string_view name = dot == std::string_view::npos ? qualified : qualified.substr(dot + 1);
    static constexpr std::string_view parameter_list = text.substr(open + 1, text.size() - open - 2);
    static constexpr std::size_t count = parameter_count(parameter_list);
    static constexpr std::array<std::string_view, count> parameters = parameter_names<count>(parameter_list);
    // ", " before the parameters of a method's "($self, ...)", nothing when it has none.
    static constexpr std::string_view self_separator = count == 0 ? text::empty : text::separator;
};

// ---------------------------------------------------------------- callee traits

template <class F>
struct Callee;

template <class R, class... A>
struct Callee<R (*)(A...)> {
    using Result = R;
    using Parameters = std::tuple<A...>;
};

// A method's callee: a member function of the record, or a function taking the record first.
template <class F>
struct MethodCallee;

template <class R, class C, class... A>
struct MethodCallee<R (C::*)(A...) const> {
    using Record = C;
    using Access = SharedAccess;
    using Parameters = std::tuple<A...>;
};
template <class R, class C, class... A>
struct MethodCallee<R (C::*)(A...)> {
    using Record = C;
    using Access = ExclusiveAccess;
    using Parameters = std::tuple<A...>;
};
template <class R, class C, class... A>
struct MethodCallee<R (*)(const C&, A...)> {
    using Record = C;
    using Access = SharedAccess;
    using Parameters = std::tuple<A...>;
};
template <class R, class C, class... A>
struct MethodCallee<R (*)(C&, A...)> {
    using Record = C;
    using Access = ExclusiveAccess;
    using Parameters = std::tuple<A...>;
};

template <class Tuple>
struct Decayed;
template <class... A>
struct Decayed<std::tuple<A...>> {
    using type = std::tuple<std::remove_cvref_t<A>...>;
};

// ---------------------------------------------------------------- the call sequence

namespace detail {

template <class T>
T convert_argument(PyObject* object, std::string_view name, Held& held) {
    try {
        return FromPython<T>::convert(object, held);
    } catch (PyError& error) {
        throw argument_error(std::string(name).c_str(), std::move(error));
    }
}

// Converts the slots in declaration order: a braced initializer evaluates left to right.
template <class Tuple, std::size_t... I>
Tuple convert_arguments(PyObject* const* slots, const Signature& signature, Held* held, std::index_sequence<I...>) {
    return Tuple{convert_argument<std::tuple_element_t<I, Tuple>>(slots[I], signature.parameters[I], held[I])...};
}

template <class Value>
PyObject* result_object(Value&& value) {
    return to_python(std::forward<Value>(value)).release();
}

template <class Call>
PyObject* call_and_convert(Call&& call) {
    if constexpr (std::is_void_v<decltype(call())>) {
        call();
        Py_RETURN_NONE;
    } else {
        return result_object(call());
    }
}

}  // namespace detail

// The vector form of binding, with the common case (all arguments by position) inline.
template <std::size_t Count>
void bind_fast(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** slots) {
    const Py_ssize_t positional = PyVectorcall_NARGS(static_cast<std::size_t>(nargs));
    if (kwnames == nullptr && positional == static_cast<Py_ssize_t>(Count)) {
        for (std::size_t i = 0; i < Count; ++i) slots[i] = args[i];
        return;
    }
    bind_vector(signature, args, positional, kwnames, slots);
}

// Runs one call of `Entry`: `bind` fills the argument slots from the interpreter's calling
// convention; Entry::run takes the receiver (if any), converts the arguments and calls.
template <class Entry, class Bind>
PyObject* invoke(PyObject* self, Bind&& bind) {
    return boundary([&]() -> PyObject* {
        constexpr std::size_t count = Entry::declared::count;
        PyObject* slots[count + 1] = {};
        bind(Entry::signature, slots);
        // Views into the arguments' buffers live until the call has returned.
        std::array<Held, count + 1> held;
        return Entry::run(self, slots, held.data());
    });
}

// ---------------------------------------------------------------- functions

// `Lock` (HoldLock or ReleaseLock, see unlocked.hpp) decides whether the call runs with the
// interpreter lock.
template <auto F, Text Declaration, Text Doc = "", class Lock = HoldLock>
struct Function {
    using declared = Declared<Declaration>;
    using Arguments = typename Decayed<typename Callee<decltype(F)>::Parameters>::type;
    static_assert(std::tuple_size_v<Arguments> == declared::count, "one parameter name per parameter");
    static constexpr Signature signature{declared::qualified, declared::parameters};

    static PyObject* run(PyObject*, PyObject* const* slots, Held* held) {
        auto arguments =
            detail::convert_arguments<Arguments>(slots, signature, held, std::make_index_sequence<declared::count>{});
        return detail::call_and_convert([&]() -> decltype(auto) {
            return Lock::run(arguments, [&]() -> decltype(auto) { return std::apply(F, std::move(arguments)); });
        });
    }

    static PyObject* entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return invoke<Function>(module, [&](const Signature& s, PyObject** slots) {
            bind_fast<declared::count>(s, args, nargs, kwnames, slots);
        });
    }

    static inline PyMethodDef def{Joined<declared::name>::c_str(), method_entry(entry), METH_FASTCALL | METH_KEYWORDS,
                                  Joined<declared::text, text::doc_separator, TextView<Doc>::view>::c_str()};

    static void add_to(PyObject* module) { add_function(module, &def); }
};

// A kernel over buffers: a function of native values and spans only, run without the
// interpreter lock when its buffers are large (ReleaseLock).
template <auto F, Text Declaration>
using Kernel = Function<F, Declaration, "", ReleaseLock>;

// ---------------------------------------------------------------- methods and classes

template <auto M, Text Declaration, Text Doc = "">
struct Method {
    using declared = Declared<Declaration>;
    using Traits = MethodCallee<decltype(M)>;
    using Record = typename Traits::Record;
    using Arguments = typename Decayed<typename Traits::Parameters>::type;
    static_assert(std::tuple_size_v<Arguments> == declared::count, "one parameter name per parameter");
    static constexpr Signature signature{declared::qualified, declared::parameters};

    template <class Owner>
    struct Bound {
        using declared = Method::declared;
        static constexpr const Signature& signature = Method::signature;

        static PyObject* run(PyObject* self, PyObject* const* slots, Held* held) {
            Instance<Record>& instance = receiver<Record>(self, Owner::type());
            typename Traits::Access access(instance.borrow);
            auto arguments = detail::convert_arguments<Arguments>(slots, signature, held,
                                                                  std::make_index_sequence<declared::count>{});
            return detail::call_and_convert([&]() -> decltype(auto) {
                return std::apply(
                    [&](auto&&... a) -> decltype(auto) {
                        return std::invoke(M, instance.value, std::forward<decltype(a)>(a)...);
                    },
                    std::move(arguments));
            });
        }

        static PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
            return invoke<Bound>(self, [&](const Signature& s, PyObject** slots) {
                bind_fast<declared::count>(s, args, nargs, kwnames, slots);
            });
        }
    };

    template <class Owner>
    static PyMethodDef def() {
        return {Joined<declared::name>::c_str(), method_entry(Bound<Owner>::entry), METH_FASTCALL | METH_KEYWORDS,
                Joined<declared::name, text::self_open, declared::self_separator, declared::parameter_list,
                       text::signature_end, TextView<Doc>::view>::c_str()};
    }
};

// A class over the native record `Record`. `Declaration` is "module.Name(parameters)" of the
// constructor, whose body `Make` returns the record; the classes of pwpoly declare the module
// "builtins". The type is built on the first request in the process; a failure is the
// RuntimeError "An error occurred while initializing class {Name}" caused by the failure.
template <class Record, Text Declaration, auto Make, Text Doc, class... Methods>
struct Class {
    using declared = Declared<Declaration>;
    static_assert((std::is_same_v<typename Methods::Record, Record> && ...), "methods of this record");

    struct Constructor {
        using declared = Class::declared;
        using Arguments = typename Decayed<typename Callee<decltype(Make)>::Parameters>::type;
        static_assert(std::is_same_v<typename Callee<decltype(Make)>::Result, Record>, "Make returns the record");
        static constexpr Signature signature{Joined<declared::name, text::new_suffix>::view, declared::parameters};

        static PyObject* run(PyObject* cls, PyObject* const* slots, Held* held) {
            auto arguments = detail::convert_arguments<Arguments>(slots, signature, held,
                                                                  std::make_index_sequence<declared::count>{});
            Record record = std::apply(Make, std::move(arguments));
            return allocate_instance<Record>(reinterpret_cast<PyTypeObject*>(cls), std::move(record)).release();
        }
    };

    static PyObject* construct(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
        return invoke<Constructor>(reinterpret_cast<PyObject*>(cls), [&](const Signature& s, PyObject** slots) {
            bind_tuple_dict(s, args, kwargs, slots);
        });
    }

    static PyType_Spec* spec() {
        static PyMethodDef methods[] = {Methods::template def<Class>()..., {nullptr, nullptr, 0, nullptr}};
        static PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>(Joined<declared::name, text::open, declared::parameter_list,
                                                 text::signature_end, TextView<Doc>::view>::c_str())},
            {Py_tp_new, reinterpret_cast<void*>(construct)},
            {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Record>)},
            {Py_tp_methods, methods},
            {0, nullptr},
        };
        // A plain heap type of base object: not subclassable, no __dict__, no weak references,
        // not tracked by the cyclic collector, constructed by tp_new alone.
        static PyType_Spec spec{Joined<declared::qualified>::c_str(), static_cast<int>(sizeof(Instance<Record>)), 0,
                                Py_TPFLAGS_DEFAULT, slots};
        return &spec;
    }

    static inline OnceCell cell;

    static PyTypeObject* type() {
        if (PyObject* built = cell.get()) return reinterpret_cast<PyTypeObject*>(built);
        return class_object(cell, spec, Joined<declared::name>::c_str());
    }

    static void add_to(PyObject* module) {
        add_class(module, Joined<declared::name>::c_str(), reinterpret_cast<PyObject*>(type()));
    }
};

// ---------------------------------------------------------------- module attributes

// A string attribute of the module (such as __version__), set without joining __all__.
template <Text Name, Text Value>
struct StringAttribute {
    static void add_to(PyObject* module) {
        if (PyModule_AddStringConstant(module, Name.chars, Value.chars) < 0) throw_fetched();
    }
};

// ---------------------------------------------------------------- modules

// A single-phase module: owned by the first interpreter that imports it, created once and
// returned again by later initialisations, its members added in the order given here.
template <Text Name, Text Doc, class... Members>
struct Module {
    static inline PyModuleDef def = {
        PyModuleDef_HEAD_INIT, Name.chars, Doc.chars, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
    };
    static inline ModuleState state;

    static PyObject* init() {
        return boundary(
            [] { return make_module(def, state, [](PyObject* module) { (Members::add_to(module), ...); }).release(); });
    }
};

}  // namespace pwpoly::binding
