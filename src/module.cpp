// The module object: single-phase initialisation, the owning interpreter, the members in
// their order, and __all__.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/error.hpp"
#include "binding/fault.hpp"
#include "binding/once_cell.hpp"
#include "common/fault.hpp"
#include "members.hpp"

namespace pwpoly {

namespace {

using binding::checked;
using binding::PyError;
using binding::Ref;

constexpr int module_api_version = 1013;

// A member is a function (its method definition) or a class (its lazily built type object).
struct Member {
    PyMethodDef* function;
    PyTypeObject* (*class_object)();
    const char* class_name;
};

const Member members[] = {
    {&sum_as_string_def, nullptr, nullptr},
    {&lagrange_to_legendre_basis_transformation_def, nullptr, nullptr},
    {&lagrange_prolongation_matrix_def, nullptr, nullptr},
    {&get_lagrange_points_def, nullptr, nullptr},
    {nullptr, legendre_basis_class, "LegendreBasis"},
    {nullptr, legendre_basis_evaluator_class, "LegendreBasisEvaluator"},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "pwpoly",
    "A Python module implemented in C++.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> owning_interpreter{-1};
binding::OnceCell module_cell;

// Appends `name` to the module's __all__ (creating it when missing) and sets the attribute.
void add(PyObject* module, PyObject* name, PyObject* object) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) binding::throw_fetched();
        PyErr_Clear();
        all = checked(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) binding::throw_fetched();
    }
    if (!PyList_Check(all.get())) throw binding::cast_error(all.get(), &PyList_Type);
    if (PyList_Append(all.get(), name) < 0) {
        PyErr_Clear();
        fault("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name, object) < 0) binding::throw_fetched();
}

void add_function(PyObject* module, PyMethodDef* definition) {
    Ref module_name = checked(PyModule_GetNameObject(module));
    Ref function = checked(PyCMethod_New(definition, module, module_name.get(), nullptr));
    Ref name = checked(PyObject_GetAttrString(function.get(), "__name__"));
    if (!PyUnicode_Check(name.get())) throw binding::cast_error(name.get(), &PyUnicode_Type);
    add(module, name.get(), function.get());
}

void add_class(PyObject* module, const Member& member) {
    PyObject* type = reinterpret_cast<PyObject*>(member.class_object());
    Ref name = checked(PyUnicode_FromString(member.class_name));
    add(module, name.get(), type);
}

void initialise(PyObject* module) {
    for (const Member& member : members) {
        if (member.function != nullptr) add_function(module, member.function);
        else add_class(module, member);
    }
}

Ref make_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) binding::throw_fetched();
    std::int64_t owner = -1;
    if (!owning_interpreter.compare_exchange_strong(owner, id) && owner != id) {
        throw PyError::lazy(PyExc_ImportError,
                            "single-phase C++ extension modules such as pwpoly do not yet support "
                            "subinterpreters: pwpoly belongs to the first interpreter that imported it");
    }
    PyObject* module = module_cell.get_or_init([] {
        Ref created = checked(PyModule_Create2(&module_def, module_api_version));
        initialise(created.get());
        return created;
    });
    return Ref::borrow(module);
}

}  // namespace

}  // namespace pwpoly

PyMODINIT_FUNC PyInit_pwpoly() {
    return pwpoly::binding::boundary([] { return pwpoly::make_module().release(); });
}
