// Fast routes of Vetting.median_df and Vetting.med_norm: every column's
// median in C++, the centred table built in one block.
#include "vetting_fast.hpp"

#include "pyapi/call.hpp"
#include "pyapi/gil.hpp"
#include "pyapi/interrupts.hpp"

#include "kernels/cellwise.hpp"
#include "kernels/columnwise.hpp"
#include "kernels/parallel.hpp"

#include <vector>

namespace tessera::vetting::fast {

using pyapi::outcome;
using pyapi::ref;

namespace {

ref np_float64(module_state* st, double v) {
    ref value = ref::steal(PyFloat_FromDouble(v));
    return pyapi::call(pyapi::attr((*st)[object::numpy], "float64"), {value.get()});
}

// Median of one loaded column as np.median of its kept values computes it;
// converts an int64 column to float first, as np.array(..., dtype=float) does.
double column_median(const frames::column_view& col, std::size_t n, std::vector<double>& scratch,
                     std::vector<double>& converted) {
    const double* values = col.doubles();
    if (col.is_int) {
        converted.resize(n);
        for (std::size_t i = 0; i < n; ++i) converted[i] = static_cast<double>(col.ints()[i]);
        values = converted.data();
    }
    scratch.resize(n);
    bool huge = false;  // np.median of a 1-D list never doubles the middle value
    return kernels::nan_median(values, n, scratch.data(), huge);
}

// Medians of every loaded column, computed in parallel without the GIL.
int all_medians(const frames::column_set& cols, std::vector<double>& out) {
    out.assign(cols.size(), 0.0);
    return pyapi::without_gil([&] {
        kernels::parallel_for(cols.size(), [&](std::size_t c) {
            std::vector<double> scratch, converted;
            out[c] = column_median(cols[c], cols.rows(), scratch, converted);
        });
    });
}

}  // namespace

outcome medians(PyObject* module, PyObject* df, PyObject* cols) {
    module_state* st = state_of(module);
    int ok = genuine(module, {{"np", object::numpy}, {"math", object::math}});
    if (ok <= 0) return outcome::from_check(ok);
    // the columns taken must be exactly the table's own, in its order
    ref all_cols = pyapi::attr(pyapi::attr(df, "columns"), "values");
    if (!all_cols) return ref();
    if (cols != all_cols.get()) {
        ref same = pyapi::call(pyapi::attr((*st)[object::numpy], "array_equal"),
                               {cols, all_cols.get()});
        if (!same) return outcome::after_library_error();
        const Py_ssize_t given = PyObject_Length(cols);
        if (given < 0) return outcome::after_library_error();
        if (same.get() != Py_True || given != PyObject_Length(all_cols.get()))
            return outcome::decline();
    }
    frames::column_set loaded;
    if ((ok = numeric_frame(st, df, loaded)) <= 0) return outcome::from_check(ok);
    std::vector<double> values;
    if (all_medians(loaded, values) < 0) return ref();
    ref list = ref::steal(PyList_New(0));
    if (!list) return ref();
    for (double v : values) {
        ref m = np_float64(st, v);
        if (!m || PyList_Append(list.get(), m.get()) < 0) return ref();
    }
    return list;
}

outcome med_norm(PyObject* module, PyObject* self, PyObject* work) {
    module_state* st = state_of(module);
    int ok = genuine(module, {{"np", object::numpy}, {"math", object::math}});
    if (ok <= 0) return outcome::from_check(ok);
    // a subclass's own median_df must be honoured: only ours is reproduced
    ref method = pyapi::attr(reinterpret_cast<PyObject*>(Py_TYPE(self)), "median_df");
    if (!method) return ref();
    if (!(*st)[object::median_df]) {
        ref vetting = pyapi::global(PyModule_GetDict(module), "Vetting");
        if (st->objects.set(object::median_df, pyapi::attr(vetting, "median_df")) < 0) return ref();
    }
    if (method.get() != (*st)[object::median_df]) return outcome::decline();
    frames::column_set loaded;
    if ((ok = numeric_frame(st, work, loaded)) <= 0) return outcome::from_check(ok);
    std::vector<double> medians;
    if (all_medians(loaded, medians) < 0) return ref();

    // float(j) - med for every cell, NaN staying NaN, column by column
    const std::size_t n = loaded.rows();
    frames::output_block out((*st)[object::numpy], loaded.size(), n);
    if (!out) return ref();
    if (pyapi::without_gil([&] {
            kernels::parallel_for(loaded.size(), [&](std::size_t c) {
                const frames::column_view& col = loaded[c];
                if (col.is_int) kernels::shift_cells(col.ints(), out.column(c), n, medians[c]);
                else kernels::shift_cells(col.doubles(), out.column(c), n, medians[c]);
            });
        }) < 0 || pyapi::check_interrupt() < 0)
        return ref();
    // The reference route sets each column of `work` to a float64 array: the
    // same table as one block under work's labels, with its metadata.
    ref values = pyapi::attr(out.take(), "T");
    ref index = pyapi::attr(work, "index");
    ref columns = pyapi::attr(work, "columns");
    if (!values || !index || !columns) return ref();
    ref table = pyapi::call((*st)[object::frame_type], {values.get()},
                            {{"index", index.get()}, {"columns", columns.get()}, {"copy", Py_False}});
    if (!table) return ref();
    return pyapi::call_method(table.get(), "__finalize__", {work});
}

}  // namespace tessera::vetting::fast
