#include "function.hpp"

#include "binder.hpp"
#include "call.hpp"

#include <algorithm>
#include <new>
#include <structmember.h>

namespace tessera::pyapi {

namespace {

struct function_object {
    PyObject_HEAD
    const function_spec* spec;
    PyObject* module;       // the defining module; its dict is the namespace of every call
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;  // __module__
    PyObject* defaults;     // values of the trailing parameters that have one
    PyObject* dict;
    PyObject* weakrefs;
};

function_object* as_function(PyObject* self) { return reinterpret_cast<function_object*>(self); }

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwds) {
    function_object* f = as_function(self);
    try {
        bound_args bound;
        if (bind(*f->spec, f->defaults, args, kwds, bound) < 0) return nullptr;
        ref keep_module = ref::borrow(f->module);  // the body may outlive a module reload
        return f->spec->body(keep_module.get(), bound);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
        return nullptr;
    }
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    function_object* f = as_function(self);
    Py_VISIT(f->module);
    Py_VISIT(f->defaults);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    function_object* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    function_object* f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module_name);
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
PyObject* get_doc(PyObject* self, void*) {
    const char* doc = as_function(self)->spec->doc;
    if (!doc) Py_RETURN_NONE;
    return PyUnicode_FromString(doc);
}

int set_text(PyObject** slot, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
    return set_text(&as_function(self)->name, value, "__name__");
}

int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(&as_function(self)->qualname, value, "__qualname__");
}

// The defaults of the positional parameters, as a Python function's __defaults__.
PyObject* get_defaults(PyObject* self, void*) {
    function_object* f = as_function(self);
    const int required = required_count(*f->spec);
    const int positional = positional_count(*f->spec);
    if (positional <= required) Py_RETURN_NONE;
    return PyTuple_GetSlice(f->defaults, 0, positional - required);
}

// The defaults of the keyword-only parameters, as a Python function's __kwdefaults__.
PyObject* get_kwdefaults(PyObject* self, void*) {
    function_object* f = as_function(self);
    const int required = required_count(*f->spec);
    const int positional = positional_count(*f->spec);
    const int count = param_count(*f->spec);
    if (count <= positional) Py_RETURN_NONE;
    ref dict = ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (int i = std::max(positional, required); i < count; ++i)
        if (PyDict_SetItemString(dict.get(), f->spec->params[static_cast<std::size_t>(i)].name,
                                 PyTuple_GET_ITEM(f->defaults, i - required)) < 0)
            return nullptr;
    return dict.release();
}

// inspect.Signature for help() and notebooks: the parameters of the table row.
PyObject* get_signature(PyObject* self, void*) {
    function_object* f = as_function(self);
    ref inspect = import("inspect");
    ref parameter = attr(inspect, "Parameter");
    ref positional = attr(parameter, "POSITIONAL_OR_KEYWORD");
    ref keyword_only = attr(parameter, "KEYWORD_ONLY");
    ref var_keyword = attr(parameter, "VAR_KEYWORD");
    ref params = ref::steal(PyList_New(0));
    if (!params || !positional || !keyword_only || !var_keyword) return nullptr;
    const int count = param_count(*f->spec);
    const int required = required_count(*f->spec);
    const int by_position = positional_count(*f->spec);
    for (int i = 0; i < count; ++i) {
        ref name = str(f->spec->params[static_cast<std::size_t>(i)].name);
        PyObject* kind = i < by_position ? positional.get() : keyword_only.get();
        ref p = i < required
                    ? call(parameter, {name.get(), kind})
                    : call(parameter, {name.get(), kind},
                           {{"default", PyTuple_GET_ITEM(f->defaults, i - required)}});
        if (!p || PyList_Append(params.get(), p.get()) < 0) return nullptr;
    }
    if (f->spec->varkw) {
        ref name = str("kwargs");
        ref p = call(parameter, {name.get(), var_keyword.get()});
        if (!p || PyList_Append(params.get(), p.get()) < 0) return nullptr;
    }
    return call(attr(inspect, "Signature"), {params.get()}).release();
}

PyObject* function_reduce(PyObject* self, PyObject*) {
    // Pickled by reference, like a Python function: module and qualified name.
    return Py_NewRef(as_function(self)->qualname);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(function_object, module_name), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject function_type = [] {
    PyTypeObject t{};
    PyVarObject head = {PyObject_HEAD_INIT(nullptr) 0};
    t.ob_base = head;
    t.tp_name = "tessera.function";
    t.tp_basicsize = sizeof(function_object);
    t.tp_dealloc = function_dealloc;
    t.tp_repr = function_repr;
    t.tp_call = function_call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(function_object, weakrefs);
    t.tp_methods = function_methods;
    t.tp_members = function_members;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(function_object, dict);
    return t;
}();

ref default_object(const default_value& d) {
    switch (d.k) {
        case default_value::kind::truth: return boolean(true);
        case default_value::kind::falsity: return boolean(false);
        case default_value::kind::text: return str(d.text);
        case default_value::kind::integer: return ref::steal(PyLong_FromDouble(d.number));
        case default_value::kind::real: return ref::steal(PyFloat_FromDouble(d.number));
        default: return none();
    }
}

}  // namespace

int ready_function_type() { return PyType_Ready(&function_type); }

ref make_function(const function_spec& spec, PyObject* module, const char* qualname) {
    const int count = param_count(spec);
    const int required = required_count(spec);
    ref defaults = ref::steal(PyTuple_New(count - required));
    if (!defaults) return {};
    for (int i = required; i < count; ++i) {
        ref value = default_object(spec.params[static_cast<std::size_t>(i)].def);
        if (!value) return {};
        PyTuple_SET_ITEM(defaults.get(), i - required, value.release());
    }
    ref name = str(spec.name);
    ref qual = str(qualname);
    ref module_name = ref::steal(PyModule_GetNameObject(module));
    if (!name || !qual || !module_name) return {};

    function_object* f = PyObject_GC_New(function_object, &function_type);
    if (!f) return {};
    f->spec = &spec;
    f->module = Py_NewRef(module);
    f->name = name.release();
    f->qualname = qual.release();
    f->module_name = module_name.release();
    f->defaults = defaults.release();
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace tessera::pyapi
