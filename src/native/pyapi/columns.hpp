// Columns of a pandas DataFrame as contiguous float64/int64 buffers, and
// fresh numpy arrays for results, so that kernels see plain memory.
#pragma once

#include "handle.hpp"

#include <cstdint>
#include <memory>
#include <vector>

namespace tessera::pyapi {

// A buffer exported by an object, released with the handle.
class buffer {
public:
    buffer() = default;
    buffer(const buffer&) = delete;
    buffer& operator=(const buffer&) = delete;
    ~buffer() { release(); }
    // Gives the buffer back before the handle goes away.
    void release() {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }
    // Requests a C-contiguous buffer with `flags`; 0, or -1 with an exception.
    int acquire(PyObject* obj, int flags);
    void* data() const { return view_.buf; }
    const char* format() const { return view_.format ? view_.format : "B"; }
    Py_ssize_t itemsize() const { return view_.itemsize; }
    Py_ssize_t length() const { return view_.itemsize ? view_.len / view_.itemsize : 0; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// One column of a frame, read-only, as float64 or int64 values.
struct column_view {
    ref array;  // the contiguous numpy array behind the buffer
    buffer view;
    bool is_int = false;

    const double* doubles() const { return static_cast<const double*>(view.data()); }
    const std::int64_t* ints() const { return static_cast<const std::int64_t*>(view.data()); }
};

// Every column of a frame, in column order.
class column_set {
public:
    // 1 when `frame` has rows and columns and each column's dtype is the
    // float64 or int64 dtype object given; 0 when it is another table (nothing
    // is loaded); -1 with an exception set.
    int load(PyObject* frame, PyObject* numpy, PyObject* float64, PyObject* int64);

    std::size_t size() const { return columns_.size(); }
    std::size_t rows() const { return rows_; }
    const column_view& operator[](std::size_t i) const { return *columns_[i]; }

private:
    std::vector<std::unique_ptr<column_view>> columns_;
    std::size_t rows_ = 0;
};

// A new float64 numpy array of n cells, writable by a kernel.
class output_column {
public:
    output_column(PyObject* numpy, std::size_t n);
    explicit operator bool() const { return static_cast<bool>(array_); }
    double* data() const { return static_cast<double*>(view_.data()); }
    // Releases the buffer and hands over the array.
    ref take();

private:
    ref array_;
    buffer view_;
};

// A new C-ordered float64 array of shape (columns, rows): row c holds
// column c of a result table, so its transpose is the table's values.
class output_block {
public:
    output_block(PyObject* numpy, std::size_t columns, std::size_t rows);
    explicit operator bool() const { return static_cast<bool>(array_); }
    double* column(std::size_t c) const { return static_cast<double*>(view_.data()) + c * rows_; }
    // Releases the buffer and hands over the array.
    ref take();

private:
    ref array_;
    buffer view_;
    std::size_t rows_;
};

}  // namespace tessera::pyapi
