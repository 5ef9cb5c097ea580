#include "binding/module.hpp"

#include <string>

#include "binding/error.hpp"
#include "common/fault.hpp"

namespace pwpoly::binding {

namespace {

constexpr int module_api_version = 1013;

// Appends `name` to the module's __all__ (creating it when missing) and sets the attribute.
void add(PyObject* module, PyObject* name, PyObject* object) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_fetched();
        PyErr_Clear();
        all = checked(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_fetched();
    }
    if (!PyList_Check(all.get())) throw cast_error(all.get(), &PyList_Type);
    if (PyList_Append(all.get(), name) < 0) {
        PyErr_Clear();
        fault("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name, object) < 0) throw_fetched();
}

}  // namespace

void add_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = checked(PyModule_GetNameObject(module));
    Ref function = checked(PyCMethod_New(def, module, module_name.get(), nullptr));
    Ref name = checked(PyObject_GetAttrString(function.get(), "__name__"));
    if (!PyUnicode_Check(name.get())) throw cast_error(name.get(), &PyUnicode_Type);
    add(module, name.get(), function.get());
}

void add_class(PyObject* module, const char* name, PyObject* type) {
    Ref text = checked(PyUnicode_FromString(name));
    add(module, text.get(), type);
}

PyTypeObject* class_object(OnceCell& cell, PyType_Spec* (*spec)(), const char* name) {
    PyObject* type = cell.get_or_init([&] {
        Ref made = Ref::steal(PyType_FromSpec(spec()));
        if (made) return made;
        Ref cause = PyError::fetch().into_exception();
        Ref error = PyError::lazy(PyExc_RuntimeError, std::string("An error occurred while initializing class ") + name)
                        .into_exception();
        PyException_SetCause(error.get(), cause.release());
        throw PyError::raised(std::move(error));
    });
    return reinterpret_cast<PyTypeObject*>(type);
}

Ref make_module(PyModuleDef& def, ModuleState& state, void (*initialise)(PyObject* module)) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) throw_fetched();
    std::int64_t owner = -1;
    if (!state.owner.compare_exchange_strong(owner, id) && owner != id) {
        throw PyError::lazy(PyExc_ImportError, std::string("single-phase C++ extension modules such as ") + def.m_name +
                                                   " do not yet support subinterpreters: " + def.m_name +
                                                   " belongs to the first interpreter that imported it");
    }
    PyObject* module = state.module.get_or_init([&] {
        Ref created = checked(PyModule_Create2(&def, module_api_version));
        initialise(created.get());
        return created;
    });
    return Ref::borrow(module);
}

}  // namespace pwpoly::binding
