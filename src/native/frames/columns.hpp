// pandas frames as contiguous float64/int64 memory for the kernels, and fresh
// numpy arrays for their results.
#pragma once

#include "pyapi/buffer.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessera::frames {

using pyapi::ref;

// One column of a loaded frame, read-only: float64 or int64 values.
struct column_view {
    const void* data = nullptr;
    bool is_int = false;

    const double* doubles() const { return static_cast<const double*>(data); }
    const std::int64_t* ints() const { return static_cast<const std::int64_t*>(data); }
};

// Every column of a frame, in column order. The values are read in one call
// per dtype (float64, int64), whatever the number of columns, and share the
// frame's memory when its columns already lie in one block.
class column_set {
public:
    // 1 when `frame` has rows and columns and each column's dtype is the
    // float64 or int64 dtype object given; 0 when it is another table (nothing
    // is loaded); -1 with an exception set.
    int load(PyObject* frame, PyObject* numpy, PyObject* float64, PyObject* int64);

    std::size_t size() const { return columns_.size(); }
    std::size_t rows() const { return rows_; }
    const column_view& operator[](std::size_t i) const { return columns_[i]; }
    bool all_double() const;
    bool all_int() const;
    // A new numpy array holding a copy of column i.
    ref copy_of(std::size_t i) const;

private:
    // The (columns, rows) C-contiguous array of the columns of one dtype.
    struct block {
        ref array;
        pyapi::buffer view;
    };
    int load_block(PyObject* frame, PyObject* positions, bool is_int,
                   const std::vector<std::size_t>& members);

    std::vector<column_view> columns_;
    block blocks_[2];  // float64, int64
    ref numpy_;
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
    pyapi::buffer view_;
};

// A new C-ordered array of shape (columns, rows), float64 unless another
// numpy dtype is named ("int64", "bool"): row c holds column c of a result
// table, so its transpose is the table's values.
class output_block {
public:
    output_block(PyObject* numpy, std::size_t columns, std::size_t rows,
                 const char* dtype = "float64");
    explicit operator bool() const { return static_cast<bool>(array_); }
    double* column(std::size_t c) const { return column_as<double>(c); }
    // Column c as cells of the block's dtype (T of the same size: std::int64_t, std::uint8_t).
    template <class T>
    T* column_as(std::size_t c) const {
        return static_cast<T*>(view_.data()) + c * rows_;
    }
    // Releases the buffer and hands over the array.
    ref take();

private:
    ref array_;
    pyapi::buffer view_;
    std::size_t rows_;
};

}  // namespace tessera::frames
