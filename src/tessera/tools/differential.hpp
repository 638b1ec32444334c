// tessera.tools.differential: what the module's files share (module state,
// the groups of a call, the group columns as float64 memory).
#pragma once

#include "frames/columns.hpp"
#include "kernels/finite.hpp"
#include "pyapi/function.hpp"
#include "pyapi/state.hpp"

#include <memory>
#include <vector>

namespace tessera::differential {

using pyapi::ref;

// Objects captured at import.
enum class object {
    numpy, pandas, frame_type, float64, int64, mapping_type,
    invalid_index,      // pandas.errors.InvalidIndexError: a label that cannot name a column
    stats,              // scipy.stats: the one-row calls are looked up in it when they run
    hypothesis_test,    // tessera.tools.stat's: the one-row call of the tests that need every value
    stdtr, fdtrc,       // scipy.special functions of the batch p-values
    chdtrc,             // the F test's tail where its denominator df is infinite
    mannwhitneyu,       // the batched rank test
    multipletests,
    correction_names,   // every spelling of a method statsmodels' multipletests accepts
    correction_choices, // the text listing them for an error message
    count
};

struct module_state {
    pyapi::object_slots<object> objects;

    PyObject* operator[](object o) const { return objects[o]; }
};

inline module_state* state_of(PyObject* module) { return pyapi::state_of<module_state>(module); }

// One group of a call: its name and its columns' positions in the table.
struct group {
    ref name;
    std::vector<Py_ssize_t> positions;
};

// TypeError unless df is a DataFrame: 0 or -1.
int check_frame(module_state* st, PyObject* df);

// Reads `groups` (a mapping or a sequence of (name, labels) pairs) against
// df's columns, refusing what the module refuses; 0, or -1 with an exception.
int read_groups(module_state* st, PyObject* df, PyObject* groups, std::vector<group>& out);

// The positions of `columns` (a list of column labels) in df, checked as
// read_groups checks a group's; 0, or -1 with an exception.
int read_columns(module_state* st, PyObject* df, PyObject* columns,
                 std::vector<Py_ssize_t>& positions);

// The columns at `positions` of a frame as float64 values (int64 converted,
// pd.NA as NaN), one pointer per column, in the order given.
class float_columns {
public:
    int load(module_state* st, PyObject* df, const std::vector<Py_ssize_t>& positions);
    std::size_t rows() const { return rows_; }
    // columns [first, first + count) as a kernel column list
    kernels::column_list slice(std::size_t first, std::size_t count) const {
        return {pointers_.data() + first, count};
    }

private:
    frames::column_set plain_;
    std::vector<std::vector<double>> from_int_;
    std::vector<ref> converted_;
    std::vector<std::unique_ptr<pyapi::buffer>> views_;
    std::vector<const double*> pointers_;
    std::size_t rows_ = 0;
};

// The columns of every group, loaded once; group g's columns as a list.
struct group_table {
    float_columns values;
    std::vector<kernels::column_list> lists;

    int load(module_state* st, PyObject* df, const std::vector<group>& groups);
    std::size_t rows() const { return values.rows(); }
};

// Binds METHODS: a read-only mapping from each method of test_features, in
// the order messages list them, to its record (groups, paired, complete,
// min_values), made from the method table. 0, or -1 with an exception.
int define_methods(PyObject* module);

// test_features(df, groups, method, min_valid=2, multipletest_method="fdr_bh",
// trend=False, robust=False, legacy=False)
PyObject* test_features(PyObject* module, pyapi::bound_args& a);

// Adds columns[k] (arrays or lists, one cell per row; an empty handle means
// its computation failed) to frame as its last column labels[k], in order;
// 0, or -1 with an exception.
int append_columns(PyObject* frame, const std::vector<ref>& labels, const std::vector<ref>& columns);

// ValueError when df already has one of the labels `function` adds.
int check_free(PyObject* df, const std::vector<ref>& labels, const char* function);

// The multiple-testing method, checked against the spellings statsmodels
// accepts; 0, or -1 with ValueError set.
int check_correction(module_state* st, PyObject* name);

// p (a float64 array) adjusted by statsmodels' multipletests over its non-NaN
// values; NaN stays NaN.
ref adjusted(module_state* st, PyObject* p, PyObject* correction);

// normalize(df, columns, method="ratio_mode", reference=None,
// reference_column=None, min_features=10) (differential_normalize.cpp)
PyObject* normalize(PyObject* module, pyapi::bound_args& a);

// test_hurdle(df, groups, method, min_valid=2, multipletest_method="fdr_bh",
// level=0.05, **kwargs) (differential_detection.cpp)
PyObject* test_hurdle(PyObject* module, pyapi::bound_args& a);

// test_contrasts(df, samples, formula, contrasts, *, block=None,
// sample_weights=False, lfc=0.0, trend=False, robust=False, legacy=False,
// multipletest_method="fdr_bh") (differential_contrasts.cpp)
PyObject* test_contrasts(PyObject* module, pyapi::bound_args& a);

}  // namespace tessera::differential
