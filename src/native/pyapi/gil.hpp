// Running C++ work without the GIL.
#pragma once

#include "handle.hpp"

#include <new>
#include <utility>

namespace tessera::pyapi {

// Runs work() with the GIL released and takes the GIL back whatever happens.
// An allocation failure inside becomes MemoryError once the GIL is held
// again (any other C++ exception SystemError): 0, or -1 with the exception
// set. work must not touch Python objects.
template <class Work>
int without_gil(Work&& work) {
    enum { ok, no_memory, other } failure = ok;
    Py_BEGIN_ALLOW_THREADS
    try {
        std::forward<Work>(work)();
    } catch (const std::bad_alloc&) {
        failure = no_memory;
    } catch (...) {
        failure = other;
    }
    Py_END_ALLOW_THREADS
    if (failure == no_memory) PyErr_NoMemory();
    if (failure == other) PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    return failure == ok ? 0 : -1;
}

}  // namespace tessera::pyapi
