// The fast routes of Vetting.stat_test_two_samples and Vetting.stat_test_oneway:
// every feature tested at once, reference-exact (the reference route's
// numbers, which its one-row library calls give).
//
// Each route checks its numbers against the one-row call on a spread of rows
// and on the first row of each batched library call. A check that passed is
// remembered for the shape of the table (method, group sizes, the rank
// tests' computations) together with the library objects both routes call;
// a later call of that shape skips the check while those objects are the
// very same (the module's own names are checked by `genuine` on every call).
#include "vetting_fast.hpp"

#include "permutation_rows.hpp"

#include "pyapi/call.hpp"
#include "pyapi/gil.hpp"
#include "pyapi/interrupts.hpp"

#include "kernels/finite.hpp"
#include "kernels/oneway.hpp"
#include "kernels/permutation.hpp"
#include "kernels/rowkinds.hpp"

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace tessera::vetting::fast {

using pyapi::outcome;
using pyapi::ref;

namespace {

// The names a fast route uses must be the genuine ones.
int genuine_tests(PyObject* module) {
    return genuine(module, {{"np", object::numpy},
                            {"pd", object::pandas},
                            {"hypothesis_test", object::hypothesis_test},
                            {"f_oneway", object::f_oneway}});
}

// A list or tuple (a named tuple too) whose subscription is the built-in
// one, so that reading it here gives what indexing it in Python gives.
bool plain_sequence(PyObject* obj) {
    const PyTypeObject* type = Py_TYPE(obj);
    if (PyList_Check(obj))
        return type->tp_as_mapping->mp_subscript == PyList_Type.tp_as_mapping->mp_subscript;
    if (PyTuple_Check(obj))
        return type->tp_as_mapping->mp_subscript == PyTuple_Type.tp_as_mapping->mp_subscript;
    return false;
}

// The positions of a group's labels among df's columns, as a new list.
// Declines unless the group is a plain list/tuple entry holding a list of
// existing labels. A tuple of labels is not one: a row Series takes a tuple
// as a single key, not as a list of labels.
outcome group_positions(PyObject* df, PyObject* group_entry) {
    if (!plain_sequence(group_entry)) return outcome::decline();
    ref labels = pyapi::item(group_entry, Py_ssize_t{1});
    // the reference route raises the indexing error itself
    if (!labels) return outcome::after_library_error();
    if (!PyList_Check(labels.get())) return outcome::decline();
    ref positions = pyapi::call_method(pyapi::attr(df, "columns").get(), "get_indexer",
                                       {labels.get()});
    if (!positions) return outcome::after_library_error();
    ref list = pyapi::call_method(positions.get(), "tolist", {});
    if (!list) return ref();
    if (PyList_GET_SIZE(list.get()) == 0) return outcome::decline();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        const long position = PyLong_AsLong(PyList_GET_ITEM(list.get(), i));
        if (position == -1 && PyErr_Occurred()) return ref();
        if (position < 0) return outcome::decline();
    }
    return list;
}

// The labels of columns `positions` (a list of ints from group_positions)
// as C++ positions.
std::vector<std::size_t> position_vector(PyObject* positions) {
    std::vector<std::size_t> out;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(positions); ++i)
        out.push_back(PyLong_AsSize_t(PyList_GET_ITEM(positions, i)));
    return out;
}

// Cell (column c, row r) of a loaded frame as float64 (int64 converted as numpy converts).
double cell(const frames::column_set& cols, std::size_t c, std::size_t r) {
    const frames::column_view& column = cols[c];
    return column.is_int ? static_cast<double>(column.ints()[r]) : column.doubles()[r];
}

// A new C-contiguous (rows, n) float64 matrix of the columns at `positions`
// (n of them), one table row per matrix row.
ref sample_matrix_of(module_state* st, const frames::column_set& cols,
                     const std::vector<std::size_t>& positions) {
    const std::size_t rows = cols.rows(), n = positions.size();
    frames::output_block matrix((*st)[object::numpy], rows, n);  // block row r: table row r
    if (!matrix) return {};
    if (pyapi::without_gil([&] {
            for (std::size_t r = 0; r < rows; ++r) {
                double* row = matrix.column(r);
                for (std::size_t k = 0; k < n; ++k) row[k] = cell(cols, positions[k], r);
            }
        }) < 0)
        return {};
    return matrix.take();
}

// Row labels as the reference route rebuilds them: Index(list(df.index)),
// the labels iterrows names its rows with (to_numpy(dtype=object) holds the
// same objects and lists them without iterating the index). Declines when
// some label is None (the rebuilt index would name it "Unnamed") or labels
// repeat (fold changes are matched by label).
outcome rebuilt_index(module_state* st, PyObject* df) {
    ref index = pyapi::attr(df, "index");
    ref unique = pyapi::attr(index, "is_unique");
    if (!unique) return ref();
    if (unique.get() != Py_True) return outcome::decline();
    ref object_dtype = pyapi::str("object");
    ref objects = object_dtype ? pyapi::call_method(index.get(), "to_numpy", {},
                                                    {{"dtype", object_dtype.get()}})
                               : ref();
    ref labels = objects ? pyapi::call_method(objects.get(), "tolist", {}) : ref();
    if (!labels) return ref();
    if (!PyList_Check(labels.get())) return outcome::decline();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(labels.get()); ++i)
        if (PyList_GET_ITEM(labels.get(), i) == Py_None) return outcome::decline();
    return pyapi::call(pyapi::attr((*st)[object::pandas], "Index"), {labels.get()});
}

// A table the fast routes take, loaded into `cols`, and the index of the
// reference route's result; declines any other table.
outcome loaded_table(module_state* st, PyObject* df, frames::column_set& cols) {
    const int numeric = numeric_frame(st, df, cols);
    if (numeric <= 0) return outcome::from_check(numeric);
    return rebuilt_index(st, df);
}

// The result table of the reference route: df's columns as float64, then
// the statistic and p-value, columns extended as a row Series grows, the
// rebuilt index; one (columns, rows) block, which the frame takes without a
// copy. Declines when df already has one of the columns (a previous
// result): the reference route overwrites it row by row.
outcome result_frame(module_state* st, PyObject* df, const frames::column_set& cols,
                     PyObject* index, const double* stat, const double* p, PyObject* stat_label,
                     PyObject* p_label) {
    // a list holds every label the index holds (a list compares by ==,
    // which any equal hashable label passes), without the index's engine
    ref columns = pyapi::attr(df, "columns");
    ref listed = columns ? pyapi::call_method(columns.get(), "tolist", {}) : ref();
    for (PyObject* label : {stat_label, p_label}) {
        int present = listed ? PySequence_Contains(listed.get(), label) : -1;
        if (present != 0) return outcome::from_check(present);
    }
    const std::size_t width = cols.size(), rows = cols.rows();
    ref at_end = ref::steal(PyLong_FromSize_t(width));
    ref after = ref::steal(PyLong_FromSize_t(width + 1));
    columns = pyapi::call_method(columns.get(), "insert", {at_end.get(), stat_label});
    columns = pyapi::call_method(columns.get(), "insert", {after.get(), p_label});
    frames::output_block block((*st)[object::numpy], width + 2, rows);
    if (!columns || !block) return ref();
    if (pyapi::without_gil([&] {
            for (std::size_t c = 0; c < width; ++c) {
                double* out = block.column(c);
                if (cols[c].is_int) {
                    kernels::int_to_double(cols[c].ints(), rows, out);
                } else {
                    std::memcpy(out, cols[c].doubles(), rows * sizeof(double));
                }
            }
            std::memcpy(block.column(width), stat, rows * sizeof(double));
            std::memcpy(block.column(width + 1), p, rows * sizeof(double));
        }) < 0)
        return ref();
    ref values = pyapi::attr(block.take(), "T");
    return pyapi::call((*st)[object::frame_type], {values.get()},
                       {{"index", index}, {"columns", columns.get()}, {"copy", Py_False}});
}

// A (rows, n) float64 sample matrix held as a buffer for the kernels.
struct sample_matrix {
    pyapi::buffer view;
    std::size_t rows = 0, n = 0;

    int acquire(PyObject* matrix) {
        if (view.acquire(matrix, PyBUF_ND | PyBUF_FORMAT) < 0) return -1;
        if (view.ndim() != 2 || view.itemsize() != 8 || std::strcmp(view.format(), "d") != 0) {
            PyErr_SetString(PyExc_SystemError, "sample matrix is not a float64 matrix");
            return -1;
        }
        rows = static_cast<std::size_t>(view.extent(0));
        n = static_cast<std::size_t>(view.extent(1));
        return 0;
    }
    const double* row(std::size_t r = 0) const { return static_cast<const double*>(view.data()) + r * n; }
};

// What a fast route computed, and what its check needs.
struct fast_result {
    ref stat, p;                          // float64 arrays, one cell per row
    std::vector<std::size_t> first_rows;  // the first row of each batched library call
    long computations = 0;                // the rank tests' batched computations, one bit each
};

// The permutation test of every row (x = row of X, y = row of Y), on every
// core. Declines when the kernel does not take a row.
int permutation_rows(module_state* st, PyObject* X, PyObject* Y, fast_result& out) {
    sample_matrix mx, my;
    if (mx.acquire(X) < 0 || my.acquire(Y) < 0) return -1;
    const std::size_t rows = mx.rows, nx = mx.n, ny = my.n;
    frames::output_column ts((*st)[object::numpy], rows), ps((*st)[object::numpy], rows);
    if (!ts || !ps) return -1;
    const int done = tools::permutation_rows(mx.row(), nx, my.row(), ny, rows, ts.data(), ps.data());
    if (done <= 0) return done;
    out.stat = ts.take();
    out.p = ps.take();
    return 1;
}

// Student's or Welch's t of every row (x = row of X, y = row of Y) in C, the
// statistic and degrees of freedom exactly as scipy computes them for one
// row; the p-values then come from the same special function scipy calls,
// 2 * stdtr(df, -|t|), evaluated over all rows at once.
int t_test_rows(module_state* st, PyObject* X, PyObject* Y, bool welch, fast_result& out) {
    sample_matrix mx, my;
    if (mx.acquire(X) < 0 || my.acquire(Y) < 0) return -1;
    const std::size_t rows = mx.rows, nx = mx.n, ny = my.n;
    if (nx < 2 || ny < 2) return 0;
    PyObject* numpy = (*st)[object::numpy];
    frames::output_column ts(numpy, rows), dfs(numpy, rows);
    if (!ts || !dfs) return -1;
    // microseconds a thousand rows: one thread does it
    if (pyapi::without_gil([&] {
            for (std::size_t r = 0; r < rows; ++r) {
                if (welch) {
                    ts.data()[r] = kernels::welch_t_statistic(mx.row(r), nx, my.row(r), ny,
                                                              dfs.data()[r]);
                } else {
                    ts.data()[r] = kernels::pooled_t_statistic(mx.row(r), nx, my.row(r), ny);
                    dfs.data()[r] = static_cast<double>(nx + ny) - 2.0;
                }
            }
        }) < 0)
        return -1;
    ref t = ts.take();
    ref df = dfs.take();
    ref special = pyapi::import("scipy.special");
    ref minus_abs = ref::steal(PyNumber_Negative(pyapi::call(pyapi::attr(numpy, "abs"), {t.get()}).get()));
    ref sf = pyapi::call(pyapi::attr(special, "stdtr"), {df.get(), minus_abs.get()});
    ref two = ref::steal(PyLong_FromLong(2));
    out.p = ref::steal(sf && two ? PyNumber_Multiply(two.get(), sf.get()) : nullptr);
    if (!out.p) return pyapi::clear_ordinary_error();
    out.stat = t;
    return 1;
}

// The library's rank test (scipy.stats.mannwhitneyu or .wilcoxon) of every
// row. Called on one sample, scipy picks its computation from that sample's
// sizes, ties and zeros (exact null distribution or normal approximation);
// called on a batch it decides once for the whole batch. So rows are grouped
// by the computation each would take alone and every group is tested in one
// call that names that computation. Rows whose computation has no batched
// form (Wilcoxon's sign-flip enumeration for small tied samples, non-finite
// differences) are tested one by one; rows with a missing value get NaN for
// both values, as the library's per-row call gives them.
int rank_test_rows(module_state* st, const char* name, PyObject* X, PyObject* Y, bool paired,
                   fast_result& out) {
    std::vector<kernels::row_kind> kinds;
    std::size_t nx = 0, ny = 0;
    {
        sample_matrix mx, my;
        if (mx.acquire(X) < 0 || my.acquire(Y) < 0) return -1;
        nx = mx.n;
        ny = my.n;
        if (pyapi::without_gil([&] {
                kinds.resize(mx.rows);
                if (paired) kernels::paired_kinds(mx.row(), my.row(), nx, mx.rows, kinds.data());
                else kernels::two_sample_kinds(mx.row(), nx, my.row(), ny, mx.rows, kinds.data());
            }) < 0)
            return -1;
    }
    using kernels::row_kind;
    PyObject* numpy = (*st)[object::numpy];
    ref test = pyapi::attr(pyapi::import("scipy.stats"), name);
    ref shape = ref::steal(PyLong_FromSize_t(kinds.size()));
    ref nan = pyapi::attr(numpy, "nan");
    if (!test || !shape || !nan) return pyapi::clear_ordinary_error();
    ref stat = pyapi::call(pyapi::attr(numpy, "full"), {shape.get(), nan.get()});
    ref p = pyapi::call(pyapi::attr(numpy, "full"), {shape.get(), nan.get()});
    ref one = ref::steal(PyLong_FromLong(1));
    if (!stat || !p || !one) return -1;
    pyapi::interrupt_scope ctrl_c;
    for (const row_kind kind : {row_kind::distinct, row_kind::tied, row_kind::nonfinite}) {
        const char* method = kernels::rank_method(kind, paired, nx, ny);
        ref rows = ref::steal(PyList_New(0));
        if (!rows) return -1;
        for (std::size_t r = 0; r < kinds.size(); ++r) {
            if (kinds[r] != kind) continue;
            if (method && PyList_GET_SIZE(rows.get()) == 0) out.first_rows.push_back(r);
            ref index = ref::steal(PyLong_FromSize_t(r));
            if (!index || PyList_Append(rows.get(), index.get()) < 0) return -1;
        }
        const Py_ssize_t count = PyList_GET_SIZE(rows.get());
        if (count == 0) continue;
        if (method) {
            out.computations |= 1L << static_cast<int>(kind);
            ref how = pyapi::str(method);
            ref result = pyapi::call(test, {pyapi::item(X, rows.get()).get(),
                                            pyapi::item(Y, rows.get()).get()},
                                     {{"axis", one.get()}, {"method", how.get()}});
            ref pair[2];
            if (!result || pyapi::unpack(result.get(), 2, pair) < 0)
                return pyapi::clear_ordinary_error();
            if (PyObject_SetItem(stat.get(), rows.get(), pair[0].get()) < 0 ||
                PyObject_SetItem(p.get(), rows.get(), pair[1].get()) < 0)
                return -1;
            continue;
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (pyapi::check_interrupt() < 0) return -1;
            PyObject* r = PyList_GET_ITEM(rows.get(), i);
            ref result = pyapi::call(test, {pyapi::item(X, r).get(), pyapi::item(Y, r).get()});
            ref pair[2];
            if (!result || pyapi::unpack(result.get(), 2, pair) < 0)
                return pyapi::clear_ordinary_error();
            if (PyObject_SetItem(stat.get(), r, pair[0].get()) < 0 ||
                PyObject_SetItem(p.get(), r, pair[1].get()) < 0)
                return -1;
        }
        if (pyapi::check_interrupt() < 0) return -1;
    }
    out.stat = stat;
    out.p = p;
    return 1;
}

// scipy.stats.ttest_1samp(x - y, 0) over the rows without a missing value
// in one call along axis 1; a row with one gets NaN for both values, as the
// library's per-row call gives it.
int paired_t_rows(module_state* st, PyObject* X, PyObject* Y, fast_result& out) {
    PyObject* numpy = (*st)[object::numpy];
    ref sample = ref::steal(PyNumber_Subtract(X, Y));
    ref fn = pyapi::attr(pyapi::import("scipy.stats"), "ttest_1samp");
    ref zero = ref::steal(PyLong_FromLong(0));
    if (!sample || !fn || !zero) return pyapi::clear_ordinary_error();
    ref isnan = pyapi::call(pyapi::attr(numpy, "isnan"), {sample.get()});
    ref one = ref::steal(PyLong_FromLong(1));
    ref gaps = pyapi::call_method(isnan.get(), "any", {}, {{"axis", one.get()}});
    ref complete = ref::steal(gaps ? PyNumber_Invert(gaps.get()) : nullptr);
    if (!complete) return -1;
    ref result = pyapi::call(fn, {pyapi::item(sample.get(), complete.get()).get(), zero.get()},
                             {{"axis", one.get()}});
    ref pair[2];
    if (!result || pyapi::unpack(result.get(), 2, pair) < 0) return pyapi::clear_ordinary_error();
    ref shape = pyapi::attr(complete, "shape");
    ref nan = pyapi::attr(numpy, "nan");
    if (!shape || !nan) return -1;
    ref* columns[2] = {&out.stat, &out.p};
    for (int j = 0; j < 2; ++j) {
        ref filled = pyapi::call(pyapi::attr(numpy, "full"), {shape.get(), nan.get()});
        if (!filled || PyObject_SetItem(filled.get(), complete.get(), pair[j].get()) < 0)
            return -1;
        *columns[j] = filled;
    }
    return 1;
}

// The two-sample methods of hypothesis_test with a fast route, and the
// library functions both routes call for each (the one-row test in
// scipy.stats, the p-values' special function, permute's two_sample).
enum class two_sample { t, welch, paired_t, wilcoxon, mannwhitneyu, permutation };

struct two_sample_method {
    const char* name;
    two_sample kind;
    bool paired;
    const char* stats_function;
    const char* special_function;  // nullptr: none
};

const two_sample_method two_sample_methods[] = {
    {"t", two_sample::t, false, "ttest_ind", "stdtr"},
    {"Welch", two_sample::welch, false, "ttest_ind", "stdtr"},
    {"paired_t", two_sample::paired_t, true, "ttest_1samp", nullptr},
    {"Wilcoxon", two_sample::wilcoxon, true, "wilcoxon", nullptr},
    {"Mannwhiteneyu", two_sample::mannwhitneyu, false, "mannwhitneyu", nullptr},
    {"permutation", two_sample::permutation, false, "ttest_ind", nullptr},
};

// The method named (an exact str), or nullptr; -1 in `failed` on error.
const two_sample_method* find_two_sample(PyObject* method, int& failed) {
    failed = 0;
    for (const two_sample_method& m : two_sample_methods) {
        const int hit = pyapi::equals(method, m.name);
        if (hit < 0) failed = -1;
        if (hit != 0) return hit < 0 ? nullptr : &m;
    }
    return nullptr;
}

// A tuple of the library objects a route's numbers depend on, each looked up
// now: `module`.`name` for each pair (a nullptr name is skipped).
ref library_objects(std::initializer_list<std::pair<const char*, const char*>> names) {
    ref scipy = pyapi::import("scipy");
    ref objects = ref::steal(PyList_New(0));
    if (!scipy || !objects) return {};
    for (const auto& [module, name] : names) {
        if (!name) continue;
        // scipy.stats as hypothesis_test reaches it (from scipy import stats)
        ref owner = std::strncmp(module, "scipy.", 6) == 0 ? pyapi::attr(scipy, module + 6)
                                                           : pyapi::import(module);
        ref found = pyapi::attr(owner, name);
        if (!found || PyList_Append(objects.get(), owner.get()) < 0 ||
            PyList_Append(objects.get(), found.get()) < 0)
            return {};
    }
    return ref::steal(PyList_AsTuple(objects.get()));
}

// 1 when the check passed before for this key with these very library
// objects, 0 when not, -1 on error.
int agreed_before(module_state* st, PyObject* key, PyObject* objects) {
    PyObject* seen = PyDict_GetItemWithError((*st)[object::agreed_shapes], key);
    if (!seen) return PyErr_Occurred() ? -1 : 0;
    const Py_ssize_t n = PyTuple_GET_SIZE(objects);
    if (PyTuple_GET_SIZE(seen) != n) return 0;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyTuple_GET_ITEM(seen, i) != PyTuple_GET_ITEM(objects, i)) return 0;
    return 1;
}

// Rows checked against the one-row call: `spread` of them spread over the
// table, and the first row of each batched library call.
std::vector<std::size_t> check_rows(std::size_t rows, std::size_t spread,
                                    const std::vector<std::size_t>& first_rows) {
    std::vector<std::size_t> out(first_rows);
    for (std::size_t k = 0; k < spread && k < rows; ++k)
        out.push_back(rows <= spread || spread < 2 ? k : k * (rows - 1) / (spread - 1));
    return out;
}

// 1 when the one-row call `per_row` (hypothesis_test or f_oneway) gives the
// fast route's statistic and p-value on every check row, 0 when not (or it
// failed with an ordinary error), -1 on error. Each group's values of a row
// go to it as a 1-D float64 array, followed by `extra_args`.
int rows_agree(module_state* st, PyObject* per_row, const frames::column_set& cols,
               const std::vector<std::vector<std::size_t>>& groups, PyObject* extra_args,
               PyObject* kwargs, const fast_result& fast, const std::vector<std::size_t>& rows) {
    pyapi::buffer stat, p;
    if (stat.acquire(fast.stat.get(), PyBUF_ND) < 0 || p.acquire(fast.p.get(), PyBUF_ND) < 0)
        return -1;
    const double* fast_values[2] = {static_cast<const double*>(stat.data()),
                                    static_cast<const double*>(p.data())};
    const Py_ssize_t extra = extra_args ? PyTuple_GET_SIZE(extra_args) : 0;
    for (std::size_t r : rows) {
        ref args = ref::steal(PyTuple_New(static_cast<Py_ssize_t>(groups.size()) + extra));
        if (!args) return -1;
        for (std::size_t g = 0; g < groups.size(); ++g) {
            frames::output_column values((*st)[object::numpy], groups[g].size());
            if (!values) return -1;
            for (std::size_t k = 0; k < groups[g].size(); ++k)
                values.data()[k] = cell(cols, groups[g][k], r);
            PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(g), values.take().release());
        }
        for (Py_ssize_t e = 0; e < extra; ++e)
            PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(groups.size()) + e,
                             Py_NewRef(PyTuple_GET_ITEM(extra_args, e)));
        ref result = ref::steal(PyObject_Call(per_row, args.get(), kwargs));
        ref pair[2];
        if (!result || pyapi::unpack(result.get(), 2, pair) < 0)
            return pyapi::clear_ordinary_error();
        for (int j = 0; j < 2; ++j) {
            const double a = PyFloat_AsDouble(pair[j].get());
            if (a == -1.0 && PyErr_Occurred()) return pyapi::clear_ordinary_error();
            const double b = fast_values[j][r];
            if (!(a == b || (std::isnan(a) && std::isnan(b)))) return 0;
        }
    }
    return 1;
}

// The fast route's numbers are the reference route's: 1 when the check
// passes (or passed before for `key` with the same library objects, where
// key is not null), 0 when not, -1 on error.
int checked(module_state* st, PyObject* key, PyObject* objects, PyObject* per_row,
            const frames::column_set& cols, const std::vector<std::vector<std::size_t>>& groups,
            PyObject* extra_args, PyObject* kwargs, const fast_result& fast, std::size_t spread) {
    // the library's arrays must be float64, one value per row
    for (const ref* column : {&fast.stat, &fast.p}) {
        pyapi::buffer view;
        if (view.acquire(column->get(), PyBUF_ND | PyBUF_FORMAT) < 0) return -1;
        if (view.ndim() != 1 || view.itemsize() != 8 || std::strcmp(view.format(), "d") != 0 ||
            static_cast<std::size_t>(view.length()) != cols.rows())
            return 0;
    }
    if (key) {
        const int before = agreed_before(st, key, objects);
        if (before != 0) return before;
    }
    const int ok = rows_agree(st, per_row, cols, groups, extra_args, kwargs, fast,
                              check_rows(cols.rows(), spread, fast.first_rows));
    if (ok <= 0 || !key) return ok;
    return PyDict_SetItem((*st)[object::agreed_shapes], key, objects) < 0 ? -1 : 1;
}

// 1 when the reference route keeps some row of the table int64: on an
// all-int64 table each row is an int64 Series, and pandas keeps it int64
// when the statistic set into it casts to an integer within 1e-8
// (|trunc(v) - v| <= 1e-8, the value truncated), so whole and nearly whole
// statistics change the result's dtypes and values. The fast routes then
// leave the table to the reference route. 0 when not, -1 on error.
int keeps_int_rows(const frames::column_set& cols, PyObject* stat) {
    if (!cols.all_int()) return 0;
    pyapi::buffer view;
    if (view.acquire(stat, PyBUF_FORMAT) < 0) return -1;
    if (view.itemsize() != 8 || std::strcmp(view.format(), "d") != 0) return 1;
    const auto* v = static_cast<const double*>(view.data());
    constexpr double int64_end = 9223372036854775808.0;  // 2**63
    for (Py_ssize_t i = 0; i < view.length(); ++i)
        if (std::isfinite(v[i]) && std::fabs(v[i]) < int64_end &&
            std::fabs(std::trunc(v[i]) - v[i]) <= 1e-8)
            return 1;
    return 0;
}

// scipy's f_oneway for every row of `pooled` (the samples side by side):
// the statistic in C with the operations of a one-row call, the dot product
// of the centred rows from numpy (as the one-row call takes it) and the
// p-value from the special function f_oneway calls, over all rows at once.
// Declines a shape f_oneway does not test.
int oneway_rows(module_state* st, PyObject* pooled, const std::vector<std::size_t>& sizes,
                fast_result& out) {
    PyObject* numpy = (*st)[object::numpy];
    sample_matrix values;
    if (values.acquire(pooled) < 0) return -1;
    const std::size_t rows = values.rows, n = values.n;
    if (rows == 0 || n == 0) return 0;
    frames::output_block centred(numpy, rows, n);  // (rows, n): one block row per table row
    frames::output_column offsets(numpy, rows), fs(numpy, rows);
    if (!centred || !offsets || !fs) return -1;
    if (pyapi::without_gil([&] {
            kernels::oneway_centre(values.row(), n, rows, centred.column(0), offsets.data());
        }) < 0)
        return -1;
    ref centred_rows = centred.take();
    ref minus_one = ref::steal(PyLong_FromLong(-1));
    ref dots = pyapi::call(pyapi::attr(numpy, "vecdot"), {centred_rows.get(), centred_rows.get()},
                           {{"axis", minus_one.get()}});
    if (!dots) return pyapi::clear_ordinary_error();
    pyapi::buffer dot_values, centred_values;
    if (dot_values.acquire(dots.get(), PyBUF_ND | PyBUF_FORMAT) < 0 ||
        centred_values.acquire(centred_rows.get(), PyBUF_ND | PyBUF_FORMAT) < 0)
        return -1;
    if (pyapi::without_gil([&] {
            kernels::oneway_f(values.row(), sizes.data(), sizes.size(), rows, offsets.data(),
                              static_cast<const double*>(centred_values.data()),
                              static_cast<const double*>(dot_values.data()), fs.data());
        }) < 0)
        return -1;
    ref stat = fs.take();
    ref special = pyapi::import("scipy.special");
    ref between = ref::steal(PyLong_FromSize_t(sizes.size() - 1));
    ref within = ref::steal(PyLong_FromSsize_t(static_cast<Py_ssize_t>(n) -
                                               static_cast<Py_ssize_t>(sizes.size())));
    if (!between || !within) return -1;
    ref p = pyapi::call(pyapi::attr(special, "fdtrc"), {between.get(), within.get(), stat.get()});
    if (!p) return pyapi::clear_ordinary_error();
    out.stat = stat;
    out.p = p;
    return 1;
}

// The (stat, p) columns' labels: method + "_stat", method + "_p".
int result_labels(PyObject* method, ref& stat_label, ref& p_label) {
    ref stat_suffix = pyapi::str("_stat"), p_suffix = pyapi::str("_p");
    stat_label = ref::steal(stat_suffix ? PyNumber_Add(method, stat_suffix.get()) : nullptr);
    p_label = ref::steal(p_suffix ? PyNumber_Add(method, p_suffix.get()) : nullptr);
    return stat_label && p_label ? 0 : -1;
}

// The fast-route result table of a checked test: declines an all-int64
// table the reference route keeps int64 rows of, else the table.
outcome checked_frame(module_state* st, PyObject* df, const frames::column_set& cols,
                      PyObject* index, const fast_result& fast, PyObject* stat_label,
                      PyObject* p_label) {
    const int int_rows = keeps_int_rows(cols, fast.stat.get());
    if (int_rows != 0) return outcome::from_check(int_rows);
    pyapi::buffer stat, p;
    if (stat.acquire(fast.stat.get(), PyBUF_ND) < 0 || p.acquire(fast.p.get(), PyBUF_ND) < 0)
        return ref();
    return result_frame(st, df, cols, index, static_cast<const double*>(stat.data()),
                        static_cast<const double*>(p.data()), stat_label, p_label);
}

}  // namespace

outcome two_samples(PyObject* module, PyObject* df, PyObject* groups, PyObject* method,
                    PyObject* kwargs, PyObject* fc_method, ref& paired_fold, ref& p_values) {
    module_state* st = state_of(module);
    int ok = genuine_tests(module);
    if (ok <= 0) return outcome::from_check(ok);
    if (!PyUnicode_CheckExact(method) || !plain_sequence(groups)) return outcome::decline();
    const Py_ssize_t group_count = PySequence_Length(groups);
    if (group_count < 0) return ref();
    if (group_count < 2) return outcome::decline();
    static const char* const taken[] = {"x", "y", "method"};
    for (const char* name : taken) {
        ref key = pyapi::str(name);
        const int present = key ? PyDict_Contains(kwargs, key.get()) : -1;
        if (present != 0) return outcome::from_check(present);
    }
    int failed = 0;
    const two_sample_method* m = find_two_sample(method, failed);
    if (failed < 0) return outcome::after_library_error();
    if (!m) return outcome::decline();
    // equal_var as hypothesis_test passes it to ttest_ind; only a bool (or
    // its absence) lets a passed check stand for later calls
    ref equal_var_key = pyapi::str("equal_var");
    PyObject* equal_var = equal_var_key ? PyDict_GetItemWithError(kwargs, equal_var_key.get()) : nullptr;
    if (!equal_var && PyErr_Occurred()) return ref();
    bool welch = m->kind == two_sample::welch;
    if (m->kind == two_sample::t && equal_var) {
        const int pooled = PyObject_IsTrue(equal_var);
        if (pooled < 0) return ref();
        welch = !pooled;
    }
    const bool plain_options = !equal_var || PyBool_Check(equal_var);
    const int paired_fc = pyapi::equals(fc_method, "paired");
    if (paired_fc < 0) return outcome::after_library_error();

    frames::column_set cols;
    outcome index = loaded_table(st, df, cols);
    if (index.failed() || index.declined()) return index;
    ref labels = index.take();
    // Owned references: reading an entry's labels may run code that changes `groups`.
    ref entry1 = pyapi::item(groups, Py_ssize_t{0});
    ref entry2 = pyapi::item(groups, Py_ssize_t{1});
    if (!entry1 || !entry2) return ref();
    outcome found1 = group_positions(df, entry1.get());
    if (found1.failed() || found1.declined()) return found1;
    outcome found2 = group_positions(df, entry2.get());
    if (found2.failed() || found2.declined()) return found2;
    const std::vector<std::vector<std::size_t>> positions{position_vector(found1.take().get()),
                                                          position_vector(found2.take().get())};
    const std::size_t n1 = positions[0].size(), n2 = positions[1].size();
    if (m->paired && n1 != n2) return outcome::decline();
    if (paired_fc && n2 < n1) return outcome::decline();

    ref X = sample_matrix_of(st, cols, positions[0]);
    ref Y = sample_matrix_of(st, cols, positions[1]);
    if (!X || !Y) return ref();
    fast_result fast;
    switch (m->kind) {
        case two_sample::t:
        case two_sample::welch: ok = t_test_rows(st, X.get(), Y.get(), welch, fast); break;
        case two_sample::paired_t: ok = paired_t_rows(st, X.get(), Y.get(), fast); break;
        case two_sample::wilcoxon:
            ok = rank_test_rows(st, "wilcoxon", X.get(), Y.get(), true, fast);
            break;
        case two_sample::mannwhitneyu:
            ok = rank_test_rows(st, "mannwhitneyu", X.get(), Y.get(), false, fast);
            break;
        case two_sample::permutation: ok = permutation_rows(st, X.get(), Y.get(), fast); break;
    }
    if (ok <= 0) return outcome::from_check(ok);

    // Each permutation one-row call permutes 10,000 times: two spread rows
    // confirm the kernel took the library's computation.
    ref key = ref::steal(Py_BuildValue("(sinnl)", m->name, welch ? 1 : 0, static_cast<Py_ssize_t>(n1),
                                       static_cast<Py_ssize_t>(n2), fast.computations));
    ref objects = library_objects({{"scipy.stats", m->stats_function},
                                   {"scipy.special", m->special_function},
                                   {"permute.core", m->kind == two_sample::permutation
                                                        ? "two_sample" : nullptr}});
    ref extra = ref::steal(PyTuple_Pack(1, method));
    if (!key || !extra) return ref();
    if (!objects) return outcome::after_library_error();
    ok = checked(st, plain_options ? key.get() : nullptr, objects.get(),
                 (*st)[object::hypothesis_test], cols, positions, extra.get(), kwargs, fast,
                 m->kind == two_sample::permutation ? 2 : 48);
    if (ok <= 0) return outcome::from_check(ok);
    if (paired_fc) {
        // np.mean of the row's pairwise differences, for all rows at once:
        // the same per-row sums over contiguous rows
        const std::vector<std::size_t> first(positions[1].begin(), positions[1].begin() + n1);
        ref Y1 = sample_matrix_of(st, cols, first);
        ref diff = ref::steal(Y1 ? PyNumber_Subtract(X.get(), Y1.get()) : nullptr);
        ref one = ref::steal(PyLong_FromLong(1));
        paired_fold = pyapi::call(pyapi::attr((*st)[object::numpy], "mean"), {diff.get()},
                                  {{"axis", one.get()}});
        if (!paired_fold) return ref();
    }
    ref stat_label, p_label;
    if (result_labels(method, stat_label, p_label) < 0) return ref();
    p_values = fast.p;
    return checked_frame(st, df, cols, labels.get(), fast, stat_label.get(), p_label.get());
}

outcome oneway(PyObject* module, PyObject* df, PyObject* groups, ref& p_values) {
    module_state* st = state_of(module);
    int ok = genuine_tests(module);
    if (ok <= 0) return outcome::from_check(ok);
    // fewer than two groups: f_oneway's own error, raised by the reference route
    if (!plain_sequence(groups)) return outcome::decline();
    const Py_ssize_t group_count = PySequence_Length(groups);
    if (group_count < 0) return ref();
    if (group_count < 2) return outcome::decline();
    frames::column_set cols;
    outcome index = loaded_table(st, df, cols);
    if (index.failed() || index.declined()) return index;
    ref labels = index.take();
    std::vector<std::vector<std::size_t>> positions;
    std::vector<std::size_t> sizes, pooled_positions;
    ref key_items = ref::steal(PyList_New(0));
    ref name = pyapi::str("oneway");
    if (!key_items || !name || PyList_Append(key_items.get(), name.get()) < 0) return ref();
    for (Py_ssize_t g = 0; g < PySequence_Length(groups); ++g) {
        // an owned entry: reading its labels may run code that changes `groups`
        ref entry = pyapi::item(groups, g);
        if (!entry) return ref();
        outcome found = group_positions(df, entry.get());
        if (found.failed() || found.declined()) return found;
        positions.push_back(position_vector(found.take().get()));
        sizes.push_back(positions.back().size());
        pooled_positions.insert(pooled_positions.end(), positions.back().begin(),
                                positions.back().end());
        ref size = ref::steal(PyLong_FromSize_t(sizes.back()));
        if (!size || PyList_Append(key_items.get(), size.get()) < 0) return ref();
    }
    if (PyErr_Occurred()) return ref();
    ref pooled = sample_matrix_of(st, cols, pooled_positions);
    if (!pooled) return ref();
    fast_result fast;
    if ((ok = oneway_rows(st, pooled.get(), sizes, fast)) <= 0) return outcome::from_check(ok);
    ref key = ref::steal(PyList_AsTuple(key_items.get()));
    ref objects = library_objects({{"scipy.special", "fdtrc"}, {"numpy", "vecdot"}});
    if (!key) return ref();
    if (!objects) return outcome::after_library_error();
    ok = checked(st, key.get(), objects.get(), (*st)[object::f_oneway], cols, positions, nullptr,
                 nullptr, fast, 48);
    if (ok <= 0) return outcome::from_check(ok);
    ref stat_label = pyapi::str("oneway_stat");
    ref p_label = pyapi::str("oneway_p");
    if (!stat_label || !p_label) return ref();
    p_values = fast.p;
    return checked_frame(st, df, cols, labels.get(), fast, stat_label.get(), p_label.get());
}

}  // namespace tessera::vetting::fast
