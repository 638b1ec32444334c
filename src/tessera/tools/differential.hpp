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
    numpy, pandas, frame_type, float64, int64, mapping_type, warnings,
    invalid_index,      // pandas.errors.InvalidIndexError: a label that cannot name a column
    stats,              // scipy.stats: the one-row calls are looked up in it when they run
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
    int quiet_open;             // a block of quiet library calls is running
    unsigned long quiet_owner;  // on this thread

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

// A block of library calls with Python warnings ignored (warnings.catch_warnings).
// Only one block of this module is open at a time, so the warning filters
// are restored as they were whatever the threads do; a thread opening one
// waits, with the GIL released, for the block of another to close.
class quiet_block {
public:
    // 0, or -1 with an exception set (KeyboardInterrupt while waiting).
    int open(module_state* st);
    // Closes the block, keeping an exception already set; 0, or -1 with an
    // exception set (the pending one, or the failure to close).
    int close();
    ~quiet_block();

private:
    module_state* st_ = nullptr;
    ref manager_;
};

// fn() (int-returning, -1 with an exception) run inside a quiet block.
template <class Fn>
int quietly(module_state* st, Fn&& fn) {
    quiet_block block;
    if (block.open(st) < 0) return -1;
    const int result = fn();
    if (block.close() < 0) return -1;
    return result;
}

// test_features(df, groups, method, min_valid=2, multipletest_method="fdr_bh",
// trend=False, robust=False, legacy=False)
PyObject* test_features(PyObject* module, pyapi::bound_args& a);

}  // namespace tessera::differential
