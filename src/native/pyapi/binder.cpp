#include "binder.hpp"

#include <algorithm>

namespace tessera::pyapi {

int param_count(const function_spec& spec) {
    int n = 0;
    while (n < max_params && spec.params[static_cast<std::size_t>(n)].name) ++n;
    return n;
}

int required_count(const function_spec& spec) {
    int n = 0;
    const int total = param_count(spec);
    while (n < total &&
           spec.params[static_cast<std::size_t>(n)].def.k == default_value::kind::required)
        ++n;
    return n;
}

int positional_count(const function_spec& spec) {
    const int count = param_count(spec);
    return spec.positional < 0 || spec.positional > count ? count : spec.positional;
}

namespace {

// "f() takes exactly 2 positional arguments (1 given)" and its at-least/at-most forms.
int argument_count_error(const char* name, int min, int max, Py_ssize_t found) {
    Py_ssize_t expected = found < min ? min : max;
    const char* more_or_less = found < min ? "at least" : "at most";
    if (min == max) more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 name, more_or_less, expected, expected == 1 ? "" : "s", found);
    return -1;
}

// The index of the parameter named `key`, or -1; -2 with an exception set.
int find_param(const function_spec& spec, int count, PyObject* key) {
    for (int i = 0; i < count; ++i) {
        ref name = str(spec.params[static_cast<std::size_t>(i)].name);
        if (!name) return -2;
        int same = PyUnicode_Compare(name.get(), key);
        if (same == -1 && PyErr_Occurred()) return -2;
        if (same == 0) return i;
    }
    return -1;
}

}  // namespace

int bind(const function_spec& spec, PyObject* defaults, PyObject* args, PyObject* kwds,
         bound_args& out) {
    const int count = param_count(spec);
    const int required = required_count(spec);
    const int positional = positional_count(spec);
    const Py_ssize_t given = args ? PyTuple_GET_SIZE(args) : 0;
    if (given > positional)
        return argument_count_error(spec.name, std::min(required, positional), positional, given);
    for (Py_ssize_t i = 0; i < given; ++i)
        out.values[static_cast<std::size_t>(i)] = ref::borrow(PyTuple_GET_ITEM(args, i));

    if (spec.varkw) {
        out.kwargs = ref::steal(PyDict_New());
        if (!out.kwargs) return -1;
    }

    if (kwds) {
        // Parameters after the positional ones are taken by keyword, in order;
        // the first required one that is missing is reported by its position.
        Py_ssize_t unused = PyDict_GET_SIZE(kwds);
        for (int i = static_cast<int>(given); i < count; ++i) {
            ref name = str(spec.params[static_cast<std::size_t>(i)].name);
            if (!name) return -1;
            PyObject* value = PyDict_GetItemWithError(kwds, name.get());
            if (value) {
                out.values[static_cast<std::size_t>(i)] = ref::borrow(value);
                --unused;
            } else if (PyErr_Occurred()) {
                return -1;
            } else if (i < required) {
                return argument_count_error(spec.name, required, positional, i);
            }
        }
        if (unused > 0) {
            // Keys left over: a duplicate of a positional argument, an unknown
            // name, or a non-string key, reported for the first such key.
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(kwds, &pos, &key, &value)) {
                if (!PyUnicode_Check(key)) {
                    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
                    return -1;
                }
                int index = find_param(spec, count, key);
                if (index == -2) return -1;
                if (index >= given) continue;
                if (index >= 0) {
                    PyErr_Format(PyExc_TypeError,
                                 "%s() got multiple values for keyword argument '%U'", spec.name,
                                 key);
                    return -1;
                }
                if (!spec.varkw) {
                    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                                 spec.name, key);
                    return -1;
                }
                if (PyDict_SetItem(out.kwargs.get(), key, value) < 0) return -1;
            }
        }
    } else if (given < required) {
        return argument_count_error(spec.name, required, positional, given);
    }

    for (int i = required; i < count; ++i) {
        auto& slot = out.values[static_cast<std::size_t>(i)];
        if (!slot) slot = ref::borrow(PyTuple_GET_ITEM(defaults, i - required));
    }
    return 0;
}

}  // namespace tessera::pyapi
