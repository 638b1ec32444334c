// Python-visible functions defined by a table row: signature, binder and call.
//
// A function object behaves like a Python function: it has __name__,
// __qualname__, __module__, __doc__ (the row's text, or None), a __dict__,
// binds as a method through __get__, and binds its arguments with the
// messages of compiled Python functions ("f() takes exactly 2 positional
// arguments (1 given)").
#pragma once

#include "handle.hpp"

#include <array>

namespace tessera::pyapi {

constexpr int max_params = 12;

// The default of one parameter; `required` means it has none.
struct default_value {
    enum class kind { required, none, truth, falsity, text, integer, real };
    kind k = kind::required;
    const char* text = nullptr;
    double number = 0.0;  // the value of an integer or real default
};

constexpr default_value text_default(const char* t) { return {default_value::kind::text, t}; }
constexpr default_value none_default() { return {default_value::kind::none, nullptr}; }
constexpr default_value true_default() { return {default_value::kind::truth, nullptr}; }
constexpr default_value false_default() { return {default_value::kind::falsity, nullptr}; }
// An int default (exact up to 2**53).
constexpr default_value integer_default(long long v) {
    return {default_value::kind::integer, nullptr, static_cast<double>(v)};
}
constexpr default_value real_default(double v) { return {default_value::kind::real, nullptr, v}; }

// One positional-or-keyword parameter.
struct param {
    const char* name = nullptr;
    default_value def{};
};

// The arguments of one call after binding, in parameter order.
struct bound_args {
    std::array<ref, max_params> values;
    ref kwargs;  // the **kwargs dict, for functions that collect them

    PyObject* operator[](int i) const { return values[static_cast<std::size_t>(i)].get(); }
};

// The body of a function: gets the defining module and the bound arguments,
// returns a new reference or nullptr with an exception set.
using body_fn = PyObject* (*)(PyObject* module, bound_args& args);

// A row of a module's function table.
struct function_spec {
    const char* name;
    std::array<param, max_params> params;  // unused slots keep name == nullptr
    bool varkw;
    body_fn body;
    // How many of the parameters may be given by position; the rest are
    // keyword-only (after a bare * in a Python signature). -1: all of them.
    int positional = -1;
    const char* doc = nullptr;  // __doc__; None when not given
};

// A new function object for `spec`, defined in `module`; `qualname` is the
// name itself for module-level functions and "Class.name" for methods.
ref make_function(const function_spec& spec, PyObject* module, const char* qualname);

// Readies the function type; called from each module's exec step.
int ready_function_type();

}  // namespace tessera::pyapi
