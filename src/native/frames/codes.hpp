// A column of labels (proteins, runs, features) as int32 codes for the
// kernels, with the labels the codes stand for.
#pragma once

#include "pyapi/buffer.hpp"

#include <cstddef>
#include <cstdint>

namespace tessera::frames {

using pyapi::ref;

class coded_column {
public:
    // Codes a Series: a categorical one by its own codes (its categories are
    // the labels, every one of them, in their order), any other by
    // pandas.factorize (labels in order of first appearance). A missing value
    // has code -1. 0, or -1 with an exception set.
    int load(PyObject* series, PyObject* numpy, PyObject* pandas);

    const std::int32_t* codes() const { return static_cast<const std::int32_t*>(view_.data()); }
    std::size_t rows() const { return static_cast<std::size_t>(view_.length()); }
    // The number of labels (codes run from 0 to count - 1).
    std::size_t count() const { return count_; }
    // The labels, as a pandas Index (borrowed).
    PyObject* labels() const { return labels_.get(); }

private:
    ref array_, labels_;
    pyapi::buffer view_;
    std::size_t count_ = 0;
};

}  // namespace tessera::frames
