#include "numbers.hpp"

#include "errors.hpp"

namespace tessera::pyapi {

int read_count(PyObject* value, const char* what, std::int64_t minimum, std::int64_t& out) {
    if (PyBool_Check(value) || !PyIndex_Check(value))
        return refuse(PyExc_TypeError, {what, nullptr, nullptr, value},
                      "%s must be an integer, got %R", what, value);
    ref number = ref::steal(PyNumber_Index(value));
    if (!number) return -1;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (overflow < 0 || (overflow == 0 && v < minimum))
        return refuse(PyExc_ValueError, {what, nullptr, nullptr, value},
                      "%s must be %lld or more, got %R", what, static_cast<long long>(minimum),
                      value);
    if (overflow > 0)
        return refuse(PyExc_ValueError, {what, nullptr, nullptr, value}, "%s is too large: %R",
                      what, value);
    out = v;
    return 0;
}

int read_real(PyObject* value, const char* what, double& out) {
    if (!PyBool_Check(value) && !PyUnicode_Check(value) && !PyBytes_Check(value)) {
        out = PyFloat_AsDouble(value);
        if (!(out == -1.0 && PyErr_Occurred())) return 0;
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
        PyErr_Clear();
    }
    return refuse(PyExc_TypeError, {what, nullptr, nullptr, value}, "%s must be a number, got %R",
                  what, value);
}

}  // namespace tessera::pyapi
