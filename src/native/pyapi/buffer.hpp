// A buffer exported by an object (numpy arrays), released with the holder.
#pragma once

#include "handle.hpp"

namespace tessera::pyapi {

class buffer {
public:
    buffer() = default;
    buffer(const buffer&) = delete;
    buffer& operator=(const buffer&) = delete;
    ~buffer() { release(); }
    // Gives the buffer back before the holder goes away.
    void release() {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }
    // Requests a C-contiguous buffer with `flags`; 0, or -1 with an exception.
    int acquire(PyObject* obj, int flags) {
        if (!obj) return -1;
        if (PyObject_GetBuffer(obj, &view_, flags | PyBUF_C_CONTIGUOUS) < 0) return -1;
        held_ = true;
        return 0;
    }
    void* data() const { return view_.buf; }
    const char* format() const { return view_.format ? view_.format : "B"; }
    Py_ssize_t itemsize() const { return view_.itemsize; }
    Py_ssize_t length() const { return view_.itemsize ? view_.len / view_.itemsize : 0; }
    int ndim() const { return view_.ndim; }
    // Extent of dimension d (requires a buffer acquired with PyBUF_ND).
    Py_ssize_t extent(int d) const { return view_.shape ? view_.shape[d] : length(); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace tessera::pyapi
