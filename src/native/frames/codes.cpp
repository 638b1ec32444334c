#include "codes.hpp"

#include "pyapi/call.hpp"

#include <climits>

namespace tessera::frames {

int coded_column::load(PyObject* series, PyObject* numpy, PyObject* pandas) {
    view_.release();
    ref dtype = pyapi::attr(series, "dtype");
    ref categorical = pyapi::attr(pandas, "CategoricalDtype");
    if (!dtype || !categorical) return -1;
    const int is_categorical = PyObject_IsInstance(dtype.get(), categorical.get());
    if (is_categorical < 0) return -1;
    ref codes;
    if (is_categorical) {
        ref accessor = pyapi::attr(series, "cat");
        codes = pyapi::attr(accessor, "codes");
        labels_ = pyapi::attr(accessor, "categories");
    } else {
        ref pair = pyapi::call(pyapi::attr(pandas, "factorize"), {series});
        ref parts[2];
        if (pyapi::unpack(pair.get(), 2, parts) < 0) return -1;
        codes = parts[0];
        labels_ = pyapi::call(pyapi::attr(pandas, "Index"), {parts[1].get()});
    }
    if (!codes || !labels_) return -1;
    const Py_ssize_t count = PyObject_Length(labels_.get());
    if (count < 0) return -1;
    if (count > INT_MAX) {
        PyErr_SetString(PyExc_ValueError, "a column has more distinct labels than the roll-up takes");
        return -1;
    }
    count_ = static_cast<std::size_t>(count);
    ref int32 = pyapi::str("int32");
    array_ = pyapi::call(pyapi::attr(numpy, "ascontiguousarray"), {codes.get()},
                         {{"dtype", int32.get()}});
    if (!array_ || view_.acquire(array_.get(), PyBUF_FORMAT | PyBUF_ND) < 0) return -1;
    if (view_.itemsize() != 4 || view_.ndim() != 1) {
        PyErr_SetString(PyExc_SystemError, "pandas returned codes of an unexpected shape");
        return -1;
    }
    return 0;
}

}  // namespace tessera::frames
