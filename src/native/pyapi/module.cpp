#include "module.hpp"

#include "call.hpp"

#include <string>

namespace tessera::pyapi {

int bind_global(PyObject* module, const char* name, PyObject* value) {
    if (!value) return -1;
    return PyObject_SetAttrString(module, name, value);
}

ref import_as(PyObject* module, const char* module_name, const char* alias) {
    ref mod = import(module_name);
    if (!mod) return {};
    if (bind_global(module, alias, mod.get()) < 0) return {};
    return mod;
}

ref import_name(PyObject* module, const char* from, const char* name, int level) {
    ref value = import_from(PyModule_GetDict(module), from, name, level);
    if (!value || bind_global(module, name, value.get()) < 0) return {};
    return value;
}

int namespace_holds(PyObject* module, const char* name, PyObject* captured) {
    ref key = str(name);
    if (!key) return -1;
    PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(module), key.get());
    if (!found) return PyErr_Occurred() ? -1 : 0;
    return found == captured;
}

int define_function(PyObject* module, const function_spec& spec, const char* decorator) {
    ref fn = make_function(spec, module, spec.name);
    if (!fn) return -1;
    if (decorator) {
        ref deco = global(PyModule_GetDict(module), decorator);
        fn = call(deco, {fn.get()});
        if (!fn) return -1;
    }
    return bind_global(module, spec.name, fn.get());
}

int define_class(PyObject* module, const char* name, const function_spec* methods,
                 std::size_t count) {
    ref ns = ref::steal(PyDict_New());
    ref module_name = ref::steal(PyModule_GetNameObject(module));
    if (!ns || !module_name) return -1;
    if (PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0) return -1;
    ref qualname = str(name);
    if (!qualname || PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0) return -1;
    for (std::size_t i = 0; i < count; ++i) {
        std::string qual = std::string(name) + "." + methods[i].name;
        ref fn = make_function(methods[i], module, qual.c_str());
        if (!fn || PyDict_SetItemString(ns.get(), methods[i].name, fn.get()) < 0) return -1;
    }
    ref bases = ref::steal(PyTuple_New(0));
    if (!bases) return -1;
    ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), {qualname.get(), bases.get(), ns.get()});
    return bind_global(module, name, cls.get());
}

PyObject* module_init(const module_parts& parts) {
    // Each extension module is its own shared library, so one definition here
    // belongs to exactly one module.
    static PyModuleDef_Slot slots[] = {
        {Py_mod_exec, nullptr},
#if PY_VERSION_HEX >= 0x030C0000
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
        {0, nullptr},
    };
    static PyModuleDef definition{};
    PyModuleDef_Base base = PyModuleDef_HEAD_INIT;
    definition.m_base = base;
    slots[0].value = reinterpret_cast<void*>(parts.exec);
    definition.m_name = parts.name;
    definition.m_size = parts.state_size;
    definition.m_slots = slots;
    definition.m_traverse = parts.traverse_state;
    definition.m_clear = parts.clear_state;
    definition.m_free = parts.free_state;
    return PyModuleDef_Init(&definition);
}

}  // namespace tessera::pyapi
