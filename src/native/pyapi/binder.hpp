// Binds call arguments to a function table row, with the messages of compiled
// Python functions.
#pragma once

#include "function.hpp"

namespace tessera::pyapi {

// Fills `out` from a call's positional tuple and keyword dict (either may be
// NULL); `defaults` holds the values of the trailing parameters that have one.
// Returns 0, or -1 with TypeError set.
int bind(const function_spec& spec, PyObject* defaults, PyObject* args, PyObject* kwds,
         bound_args& out);

// Number of parameters in a table row, and how many of them have no default.
int param_count(const function_spec& spec);
int required_count(const function_spec& spec);
// How many parameters may be given by position.
int positional_count(const function_spec& spec);

}  // namespace tessera::pyapi
