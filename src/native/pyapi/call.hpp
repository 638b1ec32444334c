// Name lookup, attribute access, calls and unpacking with CPython's error convention.
//
// Every helper returns an empty handle (or -1) with a Python exception set on
// failure. A helper handed an empty handle, or called while an exception is
// pending (C++ leaves the order of argument evaluation open, so a failed
// argument may be evaluated before another helper runs), returns an empty
// handle at once and leaves the pending exception alone: a failed step is
// never overwritten.
#pragma once

#include "errors.hpp"
#include "handle.hpp"

#include <initializer_list>

namespace tessera::pyapi {

// One keyword argument of a call: its name and its (borrowed) value.
struct kwarg {
    const char* name;
    PyObject* value;
};

// Looks a global name up in a module namespace, then in builtins (NameError if absent).
ref global(PyObject* globals, const char* name);

// getattr(obj, name).
ref attr(PyObject* obj, const char* name);
inline ref attr(const ref& obj, const char* name) { return attr(obj.get(), name); }

// setattr(obj, name, value): 0, or -1 with an exception set.
int set_attr(PyObject* obj, const char* name, PyObject* value);

// fn(*args, **kwargs) with borrowed arguments.
ref call(PyObject* fn, std::initializer_list<PyObject*> args,
         std::initializer_list<kwarg> kwargs = {});
inline ref call(const ref& fn, std::initializer_list<PyObject*> args,
                std::initializer_list<kwarg> kwargs = {}) {
    return call(fn.get(), args, kwargs);
}

// obj.name(*args, **kwargs).
ref call_method(PyObject* obj, const char* name, std::initializer_list<PyObject*> args,
                std::initializer_list<kwarg> kwargs = {});

// obj[key] and obj[index].
ref item(PyObject* obj, PyObject* key);
ref item(PyObject* obj, Py_ssize_t index);

// The module `name`, imported as by an import statement.
ref import(const char* name);

// `from <package-relative or absolute module> import name` as one step; a missing
// name raises ImportError "cannot import name ...". level 0 is absolute, 1 relative.
ref import_from(PyObject* globals, const char* module, const char* name, int level);

// obj == text, as a truth value: 1, 0, or -1 with an exception set.
int equals(PyObject* obj, const char* text);

// Unpacks an iterable into exactly n handles, raising the ValueError messages
// "need more than %zd value%.1s to unpack" / "too many values to unpack (expected %zd)".
int unpack(PyObject* iterable, Py_ssize_t n, ref* out);

// Prints one object with the built-in print, as print(obj) does.
int print(PyObject* obj);

}  // namespace tessera::pyapi
