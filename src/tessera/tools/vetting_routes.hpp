// The routes of tessera.tools.vetting that run without per-row Python calls,
// and the module state they check the namespace against.
#pragma once

#include "pyapi/handle.hpp"

namespace tessera::vetting::routes {

// Library objects captured at import; a fast route runs only while the
// module namespace still holds these very objects.
struct module_state {
    PyObject* numpy;
    PyObject* pandas;
    PyObject* math;
    PyObject* hypothesis_test;
    PyObject* f_oneway;
    PyObject* multipletests;
    PyObject* frame_type;
    PyObject* float64;
    PyObject* int64;
    PyObject* median_df;  // Vetting.median_df as defined here (a subclass may override it)
};

// Fills the state from the namespace after the imports; -1 on error.
int capture(PyObject* module);
int traverse(PyObject* module, visitproc visit, void* arg);
int clear(PyObject* module);
void free(void* module);

// Multiple-testing adjustment that skips NaN p-values: the non-NaN ones are
// adjusted among themselves and NaN stays NaN; without NaN it is one
// multipletests call on the whole array.
pyapi::ref adjust_pvalues(PyObject* module, PyObject* p, PyObject* method);

// median_df: appends the medians to `medians` and returns 1 when the table
// is one the native median reproduces, 0 to take the per-value route.
int fast_medians(PyObject* module, PyObject* df, PyObject* cols, PyObject* medians);

// med_norm on `work` (already df.replace("None", nan)): centres every column
// in place and returns 1, or 0 to take the per-value route.
int fast_med_norm(PyObject* module, PyObject* self, PyObject* work, PyObject* cols);

// stat_test_two_samples / stat_test_oneway over all features at once: the
// table of the per-row loop (df's columns plus statistic and p-value), Py_None
// to take the per-row route, or empty on error. With "paired" fold changes,
// `paired_fold` receives them for every row.
pyapi::ref fast_two_samples(PyObject* module, PyObject* df, PyObject* groups, PyObject* method,
                            PyObject* kwargs, PyObject* fc_method, pyapi::ref& paired_fold);
pyapi::ref fast_oneway(PyObject* module, PyObject* df, PyObject* groups, PyObject* kwargs);

}  // namespace tessera::vetting::routes
