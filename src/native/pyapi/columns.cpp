#include "columns.hpp"

#include "call.hpp"

#include <cstring>

namespace tessera::pyapi {

int buffer::acquire(PyObject* obj, int flags) {
    if (!obj) return -1;
    if (PyObject_GetBuffer(obj, &view_, flags | PyBUF_C_CONTIGUOUS) < 0) return -1;
    held_ = true;
    return 0;
}

namespace {

bool is_format(const buffer& b, const char* const* accepted) {
    for (; *accepted; ++accepted)
        if (std::strcmp(b.format(), *accepted) == 0) return true;
    return false;
}

}  // namespace

int column_set::load(PyObject* frame, PyObject* numpy, PyObject* float64, PyObject* int64) {
    columns_.clear();
    ref dtypes = call_method(attr(frame, "dtypes").get(), "tolist", {});
    if (!dtypes) return -1;
    const Py_ssize_t width = PyList_GET_SIZE(dtypes.get());
    const Py_ssize_t height = PyObject_Length(attr(frame, "index").get());
    if (height < 0) return -1;
    if (width == 0 || height == 0) return 0;
    for (Py_ssize_t i = 0; i < width; ++i) {
        PyObject* dtype = PyList_GET_ITEM(dtypes.get(), i);
        if (dtype != float64 && dtype != int64) return 0;
    }
    rows_ = static_cast<std::size_t>(height);

    static const char* const double_formats[] = {"d", nullptr};
    static const char* const int_formats[] = {"l", "q", nullptr};
    ref iloc = attr(frame, "iloc");
    ref all_rows = ref::steal(PySlice_New(nullptr, nullptr, nullptr));
    ref contiguous = attr(numpy, "ascontiguousarray");
    if (!iloc || !all_rows || !contiguous) return -1;
    for (Py_ssize_t i = 0; i < width; ++i) {
        ref position = ref::steal(PyLong_FromSsize_t(i));
        ref key = ref::steal(PyTuple_Pack(2, all_rows.get(), position.get()));
        ref values = call_method(item(iloc.get(), key.get()).get(), "to_numpy", {});
        auto col = std::make_unique<column_view>();
        col->array = call(contiguous, {values.get()});
        if (!col->array || col->view.acquire(col->array.get(), PyBUF_FORMAT) < 0) return -1;
        col->is_int = PyList_GET_ITEM(dtypes.get(), i) == int64;
        const bool ok = col->view.itemsize() == 8 &&
                        col->view.length() == height &&
                        is_format(col->view, col->is_int ? int_formats : double_formats);
        if (!ok) {
            columns_.clear();
            return 0;
        }
        columns_.push_back(std::move(col));
    }
    return 1;
}

output_column::output_column(PyObject* numpy, std::size_t n) {
    ref count = ref::steal(PyLong_FromSize_t(n));
    ref kind = str("float64");
    array_ = call(attr(numpy, "empty"), {count.get()}, {{"dtype", kind.get()}});
    if (array_ && view_.acquire(array_.get(), PyBUF_WRITABLE | PyBUF_FORMAT) < 0) array_ = ref();
}

ref output_column::take() {
    view_.release();
    return std::move(array_);
}

output_block::output_block(PyObject* numpy, std::size_t columns, std::size_t rows) : rows_(rows) {
    ref shape = ref::steal(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(columns),
                                         static_cast<Py_ssize_t>(rows)));
    ref kind = str("float64");
    array_ = call(attr(numpy, "empty"), {shape.get()}, {{"dtype", kind.get()}});
    if (array_ && view_.acquire(array_.get(), PyBUF_WRITABLE | PyBUF_FORMAT) < 0) array_ = ref();
}

ref output_block::take() {
    view_.release();
    return std::move(array_);
}

}  // namespace tessera::pyapi
