// Helpers for the exec step of a module: binding names in its namespace and
// defining functions and plain classes from table rows.
#pragma once

#include "function.hpp"
#include "state.hpp"

#include <cstddef>

namespace tessera::pyapi {

// module.name = value (steals nothing); -1 with an exception set on failure.
int bind_global(PyObject* module, const char* name, PyObject* value);

// `import <module_name> as <alias>`: imports and binds the module.
ref import_as(PyObject* module, const char* module_name, const char* alias);

// `from <from> import <name>` at `level` (0 absolute, 1 relative to the
// module's package), bound under the same name.
ref import_name(PyObject* module, const char* from, const char* name, int level);

// 1 when the module's namespace still binds `name` to `captured` (an object
// kept from import time), 0 when it binds something else or nothing, -1 on error.
int namespace_holds(PyObject* module, const char* name, PyObject* captured);

// Defines the module-level function of `spec`: passes it through `decorator`
// (looked up in the namespace now) when one is named, and binds the result.
int define_function(PyObject* module, const function_spec& spec, const char* decorator = nullptr);

// A plain class `name` (type(cls) is type, base object) whose methods are the
// rows of `methods`, in table order, bound in the module namespace.
int define_class(PyObject* module, const char* name, const function_spec* methods,
                 std::size_t count);

// What a module definition is made of: its name, the size of its state and
// the steps that manage it (any may be null).
struct module_parts {
    const char* name;
    Py_ssize_t state_size;
    int (*exec)(PyObject* module);
    traverseproc traverse_state = nullptr;
    inquiry clear_state = nullptr;
    freefunc free_state = nullptr;
};

// The module definition for multi-phase initialisation (create, then one exec
// step), built once in static storage; returned by each PyInit_ function.
// Subinterpreters are declined: the function type is a static type.
PyObject* module_init(const module_parts& parts);

// module_init for a module whose state is State (see state.hpp).
template <class State>
PyObject* module_init(const char* name, int (*exec)(PyObject* module)) {
    return module_init({name, static_cast<Py_ssize_t>(sizeof(State)), exec,
                        state_hooks<State>::traverse_state, state_hooks<State>::clear_state,
                        state_hooks<State>::free_state});
}

}  // namespace tessera::pyapi
