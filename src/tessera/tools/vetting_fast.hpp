// The fast routes of tessera.tools.vetting: column medians and per-feature
// tests computed for the whole table at once, and the module state they
// check the namespace against.
//
// A fast route is reference-exact: it gives exactly the table of the
// reference route (the per-row and per-value loops of vetting.cpp); it takes
// only tables and namespaces it can vouch for and declines everything else.
#pragma once

#include "frames/columns.hpp"
#include "pyapi/outcome.hpp"
#include "pyapi/state.hpp"

#include <initializer_list>
#include <utility>

namespace tessera::vetting {

// Library objects captured at import; a fast route runs only while the
// module namespace still holds these very objects.
enum class object {
    numpy, pandas, math, hypothesis_test, f_oneway, multipletests, frame_type, float64, int64,
    median_df,  // Vetting.median_df as defined here (a subclass may override it)
    // dict: the shapes whose fast route passed its check, each with the
    // library objects both routes called then (vetting_fast_statistics.cpp)
    agreed_shapes,
    count
};

struct module_state {
    pyapi::object_slots<object> objects;

    PyObject* operator[](object o) const { return objects[o]; }
};

inline module_state* state_of(PyObject* module) { return pyapi::state_of<module_state>(module); }

// 1 when every name still holds its captured object, 0 when not, -1 on error.
int genuine(PyObject* module, std::initializer_list<std::pair<const char*, object>> names);

// 1 when df is a plain DataFrame with rows, unique column labels and only
// float64/int64 columns (loaded into `cols`); 0 for any other table.
int numeric_frame(module_state* st, PyObject* df, frames::column_set& cols);

namespace fast {

// median_df: the list of column medians, taken from `cols` of df.
pyapi::outcome medians(PyObject* module, PyObject* df, PyObject* cols);

// med_norm on `work` (already df.replace("None", nan)): the table with every
// column centred on its median.
pyapi::outcome med_norm(PyObject* module, PyObject* self, PyObject* work);

// stat_test_two_samples / stat_test_oneway over all features at once: the
// reference route's table before adjustment (df's columns plus statistic and
// p-value); `p_values` receives the p-value column as a float64 array.
// `fold` receives the fold changes of every row as a float64 array where
// the route computed them ("paired", and "group" for most tables); else the
// caller computes them.
pyapi::outcome two_samples(PyObject* module, PyObject* df, PyObject* groups, PyObject* method,
                           PyObject* kwargs, PyObject* fc_method, pyapi::ref& fold,
                           pyapi::ref& p_values);
pyapi::outcome oneway(PyObject* module, PyObject* df, PyObject* groups, pyapi::ref& p_values);

}  // namespace fast
}  // namespace tessera::vetting
