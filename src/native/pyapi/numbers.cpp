#include "numbers.hpp"

namespace tessera::pyapi {

int read_count(PyObject* value, const char* what, std::int64_t minimum, std::int64_t& out) {
    if (PyBool_Check(value) || !PyIndex_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be an integer, got %R", what, value);
        return -1;
    }
    ref number = ref::steal(PyNumber_Index(value));
    if (!number) return -1;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (overflow < 0 || (overflow == 0 && v < minimum)) {
        PyErr_Format(PyExc_ValueError, "%s must be %lld or more, got %R", what,
                     static_cast<long long>(minimum), value);
        return -1;
    }
    if (overflow > 0) {
        PyErr_Format(PyExc_ValueError, "%s is too large: %R", what, value);
        return -1;
    }
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
    PyErr_Format(PyExc_TypeError, "%s must be a number, got %R", what, value);
    return -1;
}

}  // namespace tessera::pyapi
