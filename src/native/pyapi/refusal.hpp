// A refusal a caller can act on: ValueError with attributes that name what
// was refused.
#pragma once

#include "call.hpp"

#include <cstdarg>
#include <utility>

namespace tessera::pyapi {

// Sets ValueError(message) whose attributes `parameter` (the argument's name),
// `column`, `group` and `value` hold what the message names, None where a
// null pointer is given; the message is formatted as by PyUnicode_FromFormat.
// Returns -1 (a failure to build the error leaves that failure set instead).
inline int refuse(const char* parameter, PyObject* column, PyObject* group, PyObject* value,
                  const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    ref message = ref::steal(PyUnicode_FromFormatV(format, args));
    va_end(args);
    ref name = parameter ? str(parameter) : none();
    ref error = message && name ? ref::steal(PyObject_CallOneArg(PyExc_ValueError, message.get()))
                                : ref();
    if (!error) return -1;
    const std::pair<const char*, PyObject*> attributes[] = {
        {"parameter", name.get()}, {"column", column}, {"group", group}, {"value", value}};
    for (const auto& [attribute, held] : attributes)
        if (set_attr(error.get(), attribute, held ? held : Py_None) < 0) return -1;
    PyErr_SetObject(PyExc_ValueError, error.get());
    return -1;
}

}  // namespace tessera::pyapi
