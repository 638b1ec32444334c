#include "columns.hpp"

#include "pyapi/call.hpp"

#include <cstring>

namespace tessera::frames {

namespace {

bool is_format(const pyapi::buffer& b, const char* const* accepted) {
    for (; *accepted; ++accepted)
        if (std::strcmp(b.format(), *accepted) == 0) return true;
    return false;
}

ref position_list(const std::vector<std::size_t>& members) {
    ref list = ref::steal(PyList_New(static_cast<Py_ssize_t>(members.size())));
    if (!list) return {};
    for (std::size_t k = 0; k < members.size(); ++k) {
        PyObject* position = PyLong_FromSize_t(members[k]);
        if (!position) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), position);
    }
    return list;
}

}  // namespace

int column_set::load(PyObject* frame, PyObject* numpy, PyObject* float64, PyObject* int64) {
    columns_.clear();
    rows_ = 0;
    for (block& b : blocks_) {
        b.view.release();
        b.array = ref();
    }
    numpy_ = ref::borrow(numpy);
    ref dtypes = pyapi::call_method(pyapi::attr(frame, "dtypes").get(), "tolist", {});
    if (!dtypes) return -1;
    const Py_ssize_t width = PyList_GET_SIZE(dtypes.get());
    const Py_ssize_t height = PyObject_Length(pyapi::attr(frame, "index").get());
    if (height < 0) return -1;
    if (width == 0 || height == 0) return 0;
    std::vector<std::size_t> members[2];  // float64, int64 column positions
    for (Py_ssize_t i = 0; i < width; ++i) {
        PyObject* dtype = PyList_GET_ITEM(dtypes.get(), i);
        if (dtype != float64 && dtype != int64) return 0;
        members[dtype == int64].push_back(static_cast<std::size_t>(i));
    }
    rows_ = static_cast<std::size_t>(height);
    columns_.resize(static_cast<std::size_t>(width));
    for (int kind = 0; kind < 2; ++kind) {
        if (members[kind].empty()) continue;
        const bool whole = members[kind].size() == columns_.size();
        int ok = load_block(frame, whole ? nullptr : position_list(members[kind]).get(),
                            kind == 1, members[kind]);
        if (ok <= 0) {
            columns_.clear();
            return ok;
        }
    }
    return 1;
}

int column_set::load_block(PyObject* frame, PyObject* positions, bool is_int,
                           const std::vector<std::size_t>& members) {
    if (PyErr_Occurred()) return -1;
    ref values;
    if (positions) {
        ref all_rows = ref::steal(PySlice_New(nullptr, nullptr, nullptr));
        ref key = ref::steal(all_rows ? PyTuple_Pack(2, all_rows.get(), positions) : nullptr);
        values = pyapi::call_method(pyapi::item(pyapi::attr(frame, "iloc").get(), key.get()).get(),
                                    "to_numpy", {});
    } else {
        values = pyapi::call_method(frame, "to_numpy", {});
    }
    // (rows, columns) turned to (columns, rows): each column contiguous. pandas
    // keeps a block that way round, so this copies nothing for most frames.
    block& b = blocks_[is_int];
    b.array = pyapi::call(pyapi::attr(numpy_, "ascontiguousarray"), {pyapi::attr(values, "T").get()});
    if (!b.array || b.view.acquire(b.array.get(), PyBUF_ND | PyBUF_FORMAT) < 0) return -1;
    static const char* const double_formats[] = {"d", nullptr};
    static const char* const int_formats[] = {"l", "q", nullptr};
    const bool ok = b.view.itemsize() == 8 && b.view.ndim() == 2 &&
                    b.view.extent(0) == static_cast<Py_ssize_t>(members.size()) &&
                    b.view.extent(1) == static_cast<Py_ssize_t>(rows_) &&
                    is_format(b.view, is_int ? int_formats : double_formats);
    if (!ok) return 0;
    const auto* base = static_cast<const char*>(b.view.data());
    for (std::size_t k = 0; k < members.size(); ++k)
        columns_[members[k]] = {base + k * rows_ * 8, is_int};
    return 1;
}

bool column_set::all_double() const {
    for (const column_view& c : columns_)
        if (c.is_int) return false;
    return true;
}

bool column_set::all_int() const {
    for (const column_view& c : columns_)
        if (!c.is_int) return false;
    return true;
}

ref column_set::copy_of(std::size_t i) const {
    ref count = ref::steal(PyLong_FromSize_t(rows_));
    ref kind = pyapi::str(columns_[i].is_int ? "int64" : "float64");
    ref array = pyapi::call(pyapi::attr(numpy_, "empty"), {count.get()}, {{"dtype", kind.get()}});
    pyapi::buffer view;
    if (!array || view.acquire(array.get(), PyBUF_WRITABLE) < 0) return {};
    std::memcpy(view.data(), columns_[i].data, rows_ * 8);
    return array;
}

output_column::output_column(PyObject* numpy, std::size_t n) {
    ref count = ref::steal(PyLong_FromSize_t(n));
    ref kind = pyapi::str("float64");
    array_ = pyapi::call(pyapi::attr(numpy, "empty"), {count.get()}, {{"dtype", kind.get()}});
    if (array_ && view_.acquire(array_.get(), PyBUF_WRITABLE | PyBUF_FORMAT) < 0) array_ = ref();
}

ref output_column::take() {
    view_.release();
    return std::move(array_);
}

output_block::output_block(PyObject* numpy, std::size_t columns, std::size_t rows,
                           const char* dtype)
    : rows_(rows) {
    ref shape = ref::steal(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(columns),
                                         static_cast<Py_ssize_t>(rows)));
    ref kind = pyapi::str(dtype);
    array_ = pyapi::call(pyapi::attr(numpy, "empty"), {shape.get()}, {{"dtype", kind.get()}});
    if (array_ && view_.acquire(array_.get(), PyBUF_WRITABLE | PyBUF_FORMAT) < 0) array_ = ref();
}

ref output_block::take() {
    view_.release();
    return std::move(array_);
}

}  // namespace tessera::frames
