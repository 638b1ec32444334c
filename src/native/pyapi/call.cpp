#include "call.hpp"

#include <vector>

namespace tessera::pyapi {

ref global(PyObject* globals, const char* name) {
    if (PyErr_Occurred()) return {};
    ref key = ref::steal(PyUnicode_InternFromString(name));
    if (!key) return {};
    PyObject* found = PyDict_GetItemWithError(globals, key.get());
    if (found) return ref::borrow(found);
    if (PyErr_Occurred()) return {};
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins) {
        found = PyDict_GetItemWithError(builtins, key.get());
        if (found) return ref::borrow(found);
        if (PyErr_Occurred()) return {};
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.get());
    return {};
}

// Attribute names are interned: the interpreter's attribute cache keeps a
// reference to each name it is asked for, and a fresh string per call would
// fill it with thousands of dead copies.
ref attr(PyObject* obj, const char* name) {
    if (!obj || PyErr_Occurred()) return {};
    ref key = ref::steal(PyUnicode_InternFromString(name));
    if (!key) return {};
    return ref::steal(PyObject_GetAttr(obj, key.get()));
}

int set_attr(PyObject* obj, const char* name, PyObject* value) {
    if (!obj || !value || PyErr_Occurred()) return -1;
    ref key = ref::steal(PyUnicode_InternFromString(name));
    if (!key) return -1;
    return PyObject_SetAttr(obj, key.get(), value);
}

ref call(PyObject* fn, std::initializer_list<PyObject*> args, std::initializer_list<kwarg> kwargs) {
    if (!fn || PyErr_Occurred()) return {};
    std::vector<PyObject*> stack;
    stack.reserve(args.size() + kwargs.size() + 1);
    stack.push_back(nullptr);  // lets the callee use PY_VECTORCALL_ARGUMENTS_OFFSET
    for (PyObject* a : args) {
        if (!a) return {};
        stack.push_back(a);
    }
    ref names;
    if (kwargs.size()) {
        names = ref::steal(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
        if (!names) return {};
        Py_ssize_t i = 0;
        for (const kwarg& kw : kwargs) {
            if (!kw.value) return {};
            PyObject* key = PyUnicode_InternFromString(kw.name);
            if (!key) return {};
            PyTuple_SET_ITEM(names.get(), i++, key);
            stack.push_back(kw.value);
        }
    }
    return ref::steal(PyObject_Vectorcall(fn, stack.data() + 1,
                                          args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          names.get()));
}

ref call_method(PyObject* obj, const char* name, std::initializer_list<PyObject*> args,
                std::initializer_list<kwarg> kwargs) {
    ref fn = attr(obj, name);
    if (!fn) return {};
    return call(fn.get(), args, kwargs);
}

ref item(PyObject* obj, PyObject* key) {
    if (!obj || !key || PyErr_Occurred()) return {};
    return ref::steal(PyObject_GetItem(obj, key));
}

ref item(PyObject* obj, Py_ssize_t index) {
    if (!obj || PyErr_Occurred()) return {};
    ref key = ref::steal(PyLong_FromSsize_t(index));
    return item(obj, key.get());
}

ref import(const char* name) { return ref::steal(PyImport_ImportModule(name)); }

ref import_from(PyObject* globals, const char* module, const char* name, int level) {
    ref mod_name = str(module);
    ref wanted = str(name);
    if (!mod_name || !wanted) return {};
    ref fromlist = ref::steal(PyTuple_Pack(1, wanted.get()));
    if (!fromlist) return {};
    ref mod = ref::steal(
        PyImport_ImportModuleLevelObject(mod_name.get(), globals, nullptr, fromlist.get(), level));
    if (!mod) return {};
    ref value = ref::steal(PyObject_GetAttr(mod.get(), wanted.get()));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %S", wanted.get());
    }
    return value;
}

int equals(PyObject* obj, const char* text) {
    if (!obj || PyErr_Occurred()) return -1;
    ref other = str(text);
    if (!other) return -1;
    return PyObject_RichCompareBool(obj, other.get(), Py_EQ);
}

int unpack(PyObject* iterable, Py_ssize_t n, ref* out) {
    if (!iterable || PyErr_Occurred()) return -1;
    ref it = ref::steal(PyObject_GetIter(iterable));
    if (!it) return -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        out[i] = ref::steal(PyIter_Next(it.get()));
        if (!out[i]) {
            if (PyErr_Occurred()) return -1;
            PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", i,
                         i == 1 ? "" : "s");
            return -1;
        }
    }
    ref extra = ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

int print(PyObject* obj) {
    if (!obj) return -1;
    PyObject* builtins = PyEval_GetBuiltins();
    if (!builtins) return -1;
    PyObject* fn = PyDict_GetItemString(builtins, "print");
    if (!fn) {
        PyErr_SetString(PyExc_NameError, "name 'print' is not defined");
        return -1;
    }
    ref keep = ref::borrow(fn);
    ref done = call(keep, {obj});
    return done ? 0 : -1;
}

}  // namespace tessera::pyapi
