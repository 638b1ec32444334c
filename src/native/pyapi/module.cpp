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

}  // namespace tessera::pyapi
