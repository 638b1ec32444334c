#include "errors.hpp"

namespace tessera::pyapi {

int clear_ordinary_error() {
    if (!PyErr_Occurred()) return 0;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    PyErr_Clear();
    return 0;
}

}  // namespace tessera::pyapi
