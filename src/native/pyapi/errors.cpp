#include "errors.hpp"

#include <cstdarg>
#include <utility>

namespace tessera::pyapi {

int clear_ordinary_error() {
    if (!PyErr_Occurred()) return 0;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    PyErr_Clear();
    return 0;
}

int refuse(PyObject* type, const fault& at, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    ref message = ref::steal(PyUnicode_FromFormatV(format, args));
    va_end(args);
    ref error = ref::steal(message ? PyObject_CallOneArg(type, message.get()) : nullptr);
    ref parameter = at.parameter ? str(at.parameter) : none();
    if (!error || !parameter) return -1;
    const std::pair<const char*, PyObject*> fields[] = {{"parameter", parameter.get()},
                                                        {"column", at.column},
                                                        {"group", at.group},
                                                        {"value", at.value}};
    for (const auto& [name, value] : fields)
        if (PyObject_SetAttrString(error.get(), name, value ? value : Py_None) < 0) return -1;
    PyErr_SetObject(type, error.get());
    return -1;
}

}  // namespace tessera::pyapi
