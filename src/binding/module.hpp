// Module creation and membership: the owning interpreter, the once-created module object,
// and the add operations that fill a module and its __all__.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/once_cell.hpp"
#include "binding/ref.hpp"

namespace pwpoly::binding {

// Per-module process state: the first interpreter that imported it, and the module object.
struct ModuleState {
    std::atomic<std::int64_t> owner{-1};
    OnceCell module;
};

// The module of `def`, created and filled by `initialise` the first time in the owning
// interpreter and returned again afterwards. Another interpreter gets ImportError.
Ref make_module(PyModuleDef& def, ModuleState& state, void (*initialise)(PyObject* module));

// Adds a module function made from `def` (bound to the module) under its __name__.
void add_function(PyObject* module, PyMethodDef* def);
// Adds a class under `name`.
void add_class(PyObject* module, const char* name, PyObject* type);

// The heap type made from `spec()`, built on the first request and kept in `cell`; a failure
// is the RuntimeError "An error occurred while initializing class {name}" caused by it.
PyTypeObject* class_object(OnceCell& cell, PyType_Spec* (*spec)(), const char* name);

// A METH_FASTCALL | METH_KEYWORDS entry as the method table stores it.
inline PyCFunction method_entry(PyCFunctionFastWithKeywords entry) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

}  // namespace pwpoly::binding
