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
#include "kernels/rowtests.hpp"

#include <algorithm>
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

// {label: position} of df's columns when every label is an exact str (they
// are unique: numeric_frame checked), else None. Text labels compare in a
// dict as the columns' index compares them, by their characters.
ref text_label_positions(PyObject* df) {
    ref labels = pyapi::call_method(pyapi::attr(df, "columns").get(), "tolist", {});
    ref positions = ref::steal(PyDict_New());
    if (!labels || !positions) return {};
    if (!PyList_Check(labels.get())) return ref::borrow(Py_None);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(labels.get()); ++i) {
        PyObject* label = PyList_GET_ITEM(labels.get(), i);
        if (!PyUnicode_CheckExact(label)) return ref::borrow(Py_None);
        ref position = ref::steal(PyLong_FromSsize_t(i));
        if (!position || PyDict_SetItem(positions.get(), label, position.get()) < 0) return {};
    }
    return positions;
}

// The positions of a group's labels among df's columns, looked up in
// `text_positions` (from text_label_positions) when they are all exact str.
// Declines unless the group is a plain list/tuple entry holding a list of
// existing labels. A tuple of labels is not one: a row Series takes a tuple
// as a single key, not as a list of labels.
int group_positions(PyObject* df, PyObject* group_entry, PyObject* text_positions,
                    std::vector<std::size_t>& out) {
    if (!plain_sequence(group_entry)) return 0;
    ref labels = pyapi::item(group_entry, Py_ssize_t{1});
    // the reference route raises the indexing error itself
    if (!labels) return pyapi::clear_ordinary_error();
    if (!PyList_Check(labels.get()) || PyList_GET_SIZE(labels.get()) == 0) return 0;
    out.clear();
    if (PyDict_CheckExact(text_positions)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(labels.get()); ++i) {
            PyObject* label = PyList_GET_ITEM(labels.get(), i);
            if (!PyUnicode_CheckExact(label)) break;
            PyObject* position = PyDict_GetItemWithError(text_positions, label);
            if (!position) return PyErr_Occurred() ? -1 : 0;
            out.push_back(PyLong_AsSize_t(position));
        }
        if (out.size() == static_cast<std::size_t>(PyList_GET_SIZE(labels.get()))) return 1;
        out.clear();
    }
    ref positions = pyapi::call_method(pyapi::attr(df, "columns").get(), "get_indexer",
                                       {labels.get()});
    if (!positions) return pyapi::clear_ordinary_error();
    ref list = pyapi::call_method(positions.get(), "tolist", {});
    if (!list) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        const long position = PyLong_AsLong(PyList_GET_ITEM(list.get(), i));
        if (position == -1 && PyErr_Occurred()) return -1;
        if (position < 0) return 0;
        out.push_back(static_cast<std::size_t>(position));
    }
    return 1;
}

// The columns of each group as float64 memory for the kernels: float64
// columns as loaded, int64 columns converted (as numpy converts them).
class group_columns {
public:
    // 0, or -1 with MemoryError set.
    int load(const frames::column_set& cols, const std::vector<std::vector<std::size_t>>& groups) {
        return pyapi::without_gil([&] {
            converted_.assign(cols.size(), {});
            pointers_.assign(groups.size(), {});
            for (std::size_t g = 0; g < groups.size(); ++g) {
                for (std::size_t c : groups[g]) {
                    if (cols[c].is_int && converted_[c].empty()) {
                        converted_[c].resize(cols.rows());
                        kernels::int_to_double(cols[c].ints(), cols.rows(), converted_[c].data());
                    }
                    pointers_[g].push_back(cols[c].is_int ? converted_[c].data() : cols[c].doubles());
                }
            }
            lists_.clear();
            for (const auto& p : pointers_) lists_.push_back({p.data(), p.size()});
        });
    }
    const kernels::column_list& operator[](std::size_t g) const { return lists_[g]; }
    const kernels::column_list* data() const { return lists_.data(); }
    std::size_t size() const { return lists_.size(); }

private:
    std::vector<std::vector<double>> converted_;  // per table column; empty unless int64
    std::vector<std::vector<const double*>> pointers_;
    std::vector<kernels::column_list> lists_;
};

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

// Index(list(index)) made without listing the labels, where pandas gives
// the same index that way: `index` itself without its name for a plain
// Index of int64 labels, or of str labels (none missing) of the dtype pandas
// now gives a list of str (the "future.infer_string" option decides it);
// Index(values) for a RangeIndex. Declines any other index.
outcome rebuilt_quickly(module_state* st, PyObject* index) {
    PyObject* pandas = (*st)[object::pandas];
    ref index_type = pyapi::attr(pandas, "Index");
    ref range_type = pyapi::attr(pandas, "RangeIndex");
    if (!index_type || !range_type) return ref();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(index));
    if (type == range_type.get())
        return pyapi::call(index_type, {pyapi::call_method(index, "to_numpy", {}).get()});
    if (type != index_type.get()) return outcome::decline();
    ref dtype = pyapi::attr(index, "dtype");
    if (!dtype) return ref();
    if (dtype.get() == (*st)[object::int64]) return pyapi::call_method(index, "rename", {Py_None});
    // a numpy dtype (object) may hold labels of any type, which a list re-infers
    const int numpy_dtype = PyObject_IsInstance(
        dtype.get(), ref(pyapi::attr((*st)[object::numpy], "dtype")).get());
    if (numpy_dtype != 0) return outcome::from_check(numpy_dtype < 0 ? -1 : 0);
    ref missing = pyapi::attr(index, "hasnans");
    if (!missing) return ref();
    if (missing.get() != Py_False) return outcome::decline();
    ref first = pyapi::item(index, Py_ssize_t{0});
    if (!first) return ref();
    if (!PyUnicode_CheckExact(first.get())) return outcome::decline();
    ref one = ref::steal(PyList_New(1));
    if (!one) return ref();
    PyList_SET_ITEM(one.get(), 0, first.release());
    ref inferred = pyapi::attr(pyapi::call(index_type, {one.get()}), "dtype");
    const int same = inferred ? PyObject_RichCompareBool(dtype.get(), inferred.get(), Py_EQ) : -1;
    if (same <= 0) return outcome::from_check(same);
    return pyapi::call_method(index, "rename", {Py_None});
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
    outcome quick = rebuilt_quickly(st, index.get());
    if (!quick.declined()) return quick;
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

// True when a library's result is a float64 vector of one value per row.
bool one_per_row(const pyapi::buffer& values, std::size_t rows) {
    return values.ndim() == 1 && values.itemsize() == 8 && std::strcmp(values.format(), "d") == 0 &&
           static_cast<std::size_t>(values.length()) == rows;
}

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

// The t tests of hypothesis_test with a kernel of their own.
enum class t_kind { pooled, welch, paired };

// Student's, Welch's or the paired t test of every row (x from the first
// group's columns, y from the second) in C, the statistic and degrees of
// freedom exactly as scipy computes them for one row; the p-values then come
// from the same special function scipy calls, 2 * stdtr(df, -|t|),
// evaluated over all rows at once. Declines groups too small for the kernel.
int t_test_rows(module_state* st, const group_columns& groups, std::size_t rows, t_kind kind,
                fast_result& out) {
    const kernels::column_list &a = groups[0], &b = groups[1];
    if (a.size < 2 || b.size < 2 || (kind == t_kind::paired && a.size != b.size)) return 0;
    PyObject* numpy = (*st)[object::numpy];
    frames::output_column ts(numpy, rows), dfs(numpy, rows), minus_abs(numpy, rows);
    if (!ts || !dfs || !minus_abs) return -1;
    if (pyapi::without_gil([&] {
            if (kind == t_kind::paired)
                kernels::paired_t_rows(a, b, rows, ts.data(), dfs.data(), minus_abs.data());
            else
                kernels::t_test_rows(a, b, rows, kind == t_kind::welch, ts.data(), dfs.data(),
                                     minus_abs.data());
        }) < 0)
        return -1;
    ref t = ts.take();
    ref sf = pyapi::call(pyapi::attr(pyapi::import("scipy.special"), "stdtr"),
                         {dfs.take().get(), minus_abs.take().get()});
    pyapi::buffer sf_values;
    if (!sf) return pyapi::clear_ordinary_error();
    if (sf_values.acquire(sf.get(), PyBUF_WRITABLE | PyBUF_ND | PyBUF_FORMAT) < 0)
        return pyapi::clear_ordinary_error();
    if (!one_per_row(sf_values, rows)) return 0;
    // 2 * sf: doubling a probability is exact, as numpy's product is
    auto* p = static_cast<double*>(sf_values.data());
    for (std::size_t r = 0; r < rows; ++r) p[r] = 2.0 * p[r];
    sf_values.release();
    out.stat = t;
    out.p = sf;
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
        if (!one_per_row(view, cols.rows())) return 0;
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

// scipy's f_oneway for every row of the groups' columns: the statistic in
// C with the operations of a one-row call, the dot product of the centred
// rows from numpy (as the one-row call takes it) and the p-value from the
// special function f_oneway calls, over all rows at once. Declines a shape
// f_oneway does not test.
int oneway_rows(module_state* st, const group_columns& groups, std::size_t rows,
                fast_result& out) {
    PyObject* numpy = (*st)[object::numpy];
    std::size_t n = 0;
    for (std::size_t g = 0; g < groups.size(); ++g) n += groups[g].size;
    if (rows == 0 || n == 0) return 0;
    // The centred rows go to numpy a chunk of about 2 MB at a time: one
    // buffer reused, instead of fresh memory the size of the table each call.
    const std::size_t chunk = std::min(rows, std::max<std::size_t>(1024, (std::size_t{1} << 21) / (8 * n)));
    frames::output_column offsets(numpy, rows), fs(numpy, rows);
    ref centred = frames::output_block(numpy, chunk, n).take();  // (chunk, n): one row per table row
    pyapi::buffer centred_values;
    if (!offsets || !fs || !centred ||
        centred_values.acquire(centred.get(), PyBUF_WRITABLE | PyBUF_ND) < 0)
        return -1;
    ref minus_one = ref::steal(PyLong_FromLong(-1));
    ref vecdot = pyapi::attr(numpy, "vecdot");
    if (!minus_one || !vecdot) return pyapi::clear_ordinary_error();
    std::vector<std::vector<const double*>> columns(groups.size());
    std::vector<kernels::column_list> part(groups.size());  // the chunk's rows of each group
    for (std::size_t first = 0; first < rows; first += chunk) {
        const std::size_t count = std::min(chunk, rows - first);
        for (std::size_t g = 0; g < groups.size(); ++g) {
            columns[g].assign(groups[g].columns, groups[g].columns + groups[g].size);
            for (const double*& column : columns[g]) column += first;
            part[g] = {columns[g].data(), columns[g].size()};
        }
        auto* centred_rows = static_cast<double*>(centred_values.data());
        if (pyapi::without_gil([&] {
                kernels::oneway_centre_rows(part.data(), part.size(), count, centred_rows,
                                            offsets.data() + first);
            }) < 0)
            return -1;
        ref leading = ref::steal(PySlice_New(nullptr, ref::steal(PyLong_FromSize_t(count)).get(), nullptr));
        ref rows_now = leading ? pyapi::item(centred.get(), leading.get()) : ref();
        if (!rows_now) return -1;
        ref dots = pyapi::call(vecdot, {rows_now.get(), rows_now.get()}, {{"axis", minus_one.get()}});
        pyapi::buffer dot_values;
        if (!dots || dot_values.acquire(dots.get(), PyBUF_ND | PyBUF_FORMAT) < 0)
            return pyapi::clear_ordinary_error();
        if (!one_per_row(dot_values, count)) return 0;
        if (pyapi::without_gil([&] {
                kernels::oneway_f_rows(part.data(), part.size(), count, offsets.data() + first,
                                       static_cast<const double*>(dot_values.data()),
                                       fs.data() + first);
            }) < 0)
            return -1;
    }
    ref stat = fs.take();
    ref special = pyapi::import("scipy.special");
    ref between = ref::steal(PyLong_FromSize_t(groups.size() - 1));
    ref within = ref::steal(PyLong_FromSsize_t(static_cast<Py_ssize_t>(n) -
                                               static_cast<Py_ssize_t>(groups.size())));
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

// The layout pandas keeps a table in, as far as DataFrame.mean(axis=1) of
// some of its columns depends on it.
enum class block_layout {
    other,       // several blocks, or one neither way contiguous
    by_columns,  // one block, each column's values side by side (C-ordered blocks)
    by_rows,     // one block, each row's values side by side (a frame over a C-ordered array)
};

// df's layout (internals of pandas: `other` when they are not as expected).
int layout_of(PyObject* df, block_layout& layout) {
    layout = block_layout::other;
    ref blocks = pyapi::attr(pyapi::attr(df, "_mgr"), "nblocks");
    if (!blocks) return pyapi::clear_ordinary_error();
    if (!PyLong_CheckExact(blocks.get()) || PyLong_AsLong(blocks.get()) != 1) return 0;
    // to_numpy() of one block is a view of it, rows by columns
    ref flags = pyapi::attr(pyapi::call_method(df, "to_numpy", {}).get(), "flags");
    ref by_columns = pyapi::attr(flags, "f_contiguous");
    ref by_rows = pyapi::attr(flags, "c_contiguous");
    if (!by_columns || !by_rows) return -1;
    if (by_columns.get() == Py_True) layout = block_layout::by_columns;
    else if (by_rows.get() == Py_True) layout = block_layout::by_rows;
    return 0;
}

// pandas' row means of one group (df.loc[:, labels].mean(axis=1)) at `rows`,
// compared with `means`: 1 when every one is the same, 0 when not (or pandas
// failed with an ordinary error), -1 on error. The rows are taken from df
// with df.take, which keeps the table's layout.
int means_agree(PyObject* df, PyObject* labels, const std::vector<std::size_t>& rows,
                const double* means) {
    ref positions = ref::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    if (!positions) return -1;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        PyObject* r = PyLong_FromSize_t(rows[i]);
        if (!r) return -1;
        PyList_SET_ITEM(positions.get(), static_cast<Py_ssize_t>(i), r);
    }
    ref all_rows = ref::steal(PySlice_New(nullptr, nullptr, nullptr));
    ref key = ref::steal(all_rows ? PyTuple_Pack(2, all_rows.get(), labels) : nullptr);
    ref one = ref::steal(PyLong_FromLong(1));
    if (!key || !one) return -1;
    ref taken = pyapi::call_method(df, "take", {positions.get()});
    ref block = pyapi::item(pyapi::attr(taken, "loc").get(), key.get());
    ref mean = pyapi::call_method(pyapi::call_method(block.get(), "mean", {}, {{"axis", one.get()}}).get(),
                                  "to_numpy", {});
    pyapi::buffer values;
    if (!mean || values.acquire(mean.get(), PyBUF_ND | PyBUF_FORMAT) < 0)
        return pyapi::clear_ordinary_error();
    if (!one_per_row(values, rows.size())) return 0;
    const auto* expected = static_cast<const double*>(values.data());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const double a = expected[i], b = means[rows[i]];
        if (!(a == b || (std::isnan(a) && std::isnan(b)))) return 0;
    }
    return 1;
}

// Fold changes "group", df.loc[:, g1].mean(axis=1) - df.loc[:, g2].mean(axis=1),
// computed in C for a table pandas keeps in one float64 block (with int64
// columns in a group, several blocks or fewer than 64 rows pandas is left to
// it): each group's means are checked against pandas' own on a spread of
// rows, and a check that passed is remembered for the group's size and
// order of summation together with pandas' mean functions. `entries` are
// the two groups' entries. 1 with `fold` set, 0 when pandas is left to
// compute it, -1 on error.
int group_fold(module_state* st, PyObject* df, const frames::column_set& cols,
               const std::vector<std::vector<std::size_t>>& positions,
               const group_columns& columns, PyObject* const* entries, ref& fold) {
    const std::size_t rows = cols.rows();
    if (rows < 64) return 0;
    for (const auto& group : positions)
        for (std::size_t c : group)
            if (cols[c].is_int) return 0;
    block_layout layout;
    if (layout_of(df, layout) < 0) return -1;
    if (layout == block_layout::other) return 0;
    ref frame_mean = pyapi::attr((*st)[object::frame_type], "mean");
    ref nanmean = pyapi::attr(pyapi::import("pandas.core.nanops"), "nanmean");
    ref objects = ref::steal(frame_mean && nanmean ? PyTuple_Pack(2, frame_mean.get(), nanmean.get())
                                                   : nullptr);
    if (!objects) return pyapi::clear_ordinary_error();
    std::vector<double> means[2];
    for (int g = 0; g < 2; ++g) {
        const kernels::column_list& group = columns[g];
        bool missing = false;
        std::size_t first_missing = 0;
        if (pyapi::without_gil([&] {
                means[g].resize(rows);
                // a NaN in the group makes pandas fill a C-ordered copy of it,
                // which it adds up column after column
                missing = kernels::any_nan(group, rows);
                const kernels::row_sum order = layout == block_layout::by_rows && !missing
                                                   ? kernels::row_sum::pairwise
                                                   : kernels::row_sum::sequential;
                kernels::row_means(group, rows, order, means[g].data());
                std::vector<double> row(group.size);
                while (missing) {
                    kernels::gather_row(group, first_missing, row.data());
                    if (std::any_of(row.begin(), row.end(), [](double v) { return std::isnan(v); }))
                        break;
                    ++first_missing;
                }
            }) < 0)
            return -1;
        const bool pairwise = layout == block_layout::by_rows && !missing;
        ref key = ref::steal(Py_BuildValue("(sin)", "group mean", pairwise ? 1 : 0,
                                           static_cast<Py_ssize_t>(group.size)));
        if (!key) return -1;
        int ok = agreed_before(st, key.get(), objects.get());
        if (ok == 0) {
            // a probe with a NaN in the group too, so that pandas adds it up
            // as it adds up the whole table
            std::vector<std::size_t> probe = check_rows(rows, 16, {});
            if (missing) probe.push_back(first_missing);
            std::sort(probe.begin(), probe.end());
            probe.erase(std::unique(probe.begin(), probe.end()), probe.end());
            ref labels = pyapi::item(entries[g], Py_ssize_t{1});
            ok = labels ? means_agree(df, labels.get(), probe, means[g].data())
                        : pyapi::clear_ordinary_error();
            if (ok > 0 && PyDict_SetItem((*st)[object::agreed_shapes], key.get(), objects.get()) < 0)
                return -1;
        }
        if (ok <= 0) return ok;
    }
    frames::output_column out((*st)[object::numpy], rows);
    if (!out) return -1;
    for (std::size_t r = 0; r < rows; ++r) out.data()[r] = means[0][r] - means[1][r];
    fold = out.take();
    return 1;
}

// Fold changes "paired": numpy.mean of each row's differences between the
// first group's columns and as many of the second's, in int64 on an all-int64
// table (whose rows are int64 Series), else in float64.
ref paired_fold(module_state* st, const frames::column_set& cols,
                const std::vector<std::vector<std::size_t>>& positions,
                const group_columns& columns) {
    const std::size_t rows = cols.rows(), pairs = positions[0].size();
    frames::output_column out((*st)[object::numpy], rows);
    if (!out) return {};
    std::vector<const std::int64_t*> ints[2];
    if (cols.all_int())
        for (int g = 0; g < 2; ++g)
            for (std::size_t i = 0; i < pairs; ++i) ints[g].push_back(cols[positions[g][i]].ints());
    if (pyapi::without_gil([&] {
            if (cols.all_int())
                kernels::paired_means(ints[0].data(), ints[1].data(), pairs, rows, out.data());
            else
                kernels::paired_means(columns[0], columns[1], pairs, rows, out.data());
        }) < 0)
        return {};
    return out.take();
}

}  // namespace

outcome two_samples(PyObject* module, PyObject* df, PyObject* groups, PyObject* method,
                    PyObject* kwargs, PyObject* fc_method, ref& fold, ref& p_values) {
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
    const int group_fc = paired_fc ? 0 : pyapi::equals(fc_method, "group");
    if (group_fc < 0) return outcome::after_library_error();

    frames::column_set cols;
    outcome index = loaded_table(st, df, cols);
    if (index.failed() || index.declined()) return index;
    ref labels = index.take();
    // Owned references: reading an entry's labels may run code that changes `groups`.
    ref entries[2] = {pyapi::item(groups, Py_ssize_t{0}), pyapi::item(groups, Py_ssize_t{1})};
    ref text_positions = text_label_positions(df);
    if (!entries[0] || !entries[1] || !text_positions) return ref();
    std::vector<std::vector<std::size_t>> positions(2);
    for (int g = 0; g < 2; ++g) {
        ok = group_positions(df, entries[g].get(), text_positions.get(), positions[g]);
        if (ok <= 0) return outcome::from_check(ok);
    }
    const std::size_t n1 = positions[0].size(), n2 = positions[1].size();
    if (m->paired && n1 != n2) return outcome::decline();
    if (paired_fc && n2 < n1) return outcome::decline();

    group_columns columns;
    if (columns.load(cols, positions) < 0) return ref();
    fast_result fast;
    if (m->kind == two_sample::t || m->kind == two_sample::welch || m->kind == two_sample::paired_t) {
        const t_kind kind = m->kind == two_sample::paired_t ? t_kind::paired
                            : welch                         ? t_kind::welch
                                                            : t_kind::pooled;
        ok = t_test_rows(st, columns, cols.rows(), kind, fast);
    } else {
        // the library's rank tests and the permutation kernel take rows of samples
        ref X = sample_matrix_of(st, cols, positions[0]);
        ref Y = sample_matrix_of(st, cols, positions[1]);
        if (!X || !Y) return ref();
        if (m->kind == two_sample::permutation)
            ok = permutation_rows(st, X.get(), Y.get(), fast);
        else
            ok = rank_test_rows(st, m->kind == two_sample::wilcoxon ? "wilcoxon" : "mannwhitneyu",
                                X.get(), Y.get(), m->kind == two_sample::wilcoxon, fast);
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
    ref stat_label, p_label;
    if (result_labels(method, stat_label, p_label) < 0) return ref();
    outcome result = checked_frame(st, df, cols, labels.get(), fast, stat_label.get(),
                                   p_label.get());
    if (result.failed() || result.declined()) return result;
    p_values = fast.p;
    if (paired_fc) {
        fold = paired_fold(st, cols, positions, columns);
        if (!fold) return ref();
    } else if (group_fc) {
        PyObject* group_entries[2] = {entries[0].get(), entries[1].get()};
        if (group_fold(st, df, cols, positions, columns, group_entries, fold) < 0) return ref();
    }
    return result;
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
    ref key_items = ref::steal(PyList_New(0));
    ref name = pyapi::str("oneway");
    ref text_positions = text_label_positions(df);
    if (!key_items || !name || !text_positions || PyList_Append(key_items.get(), name.get()) < 0)
        return ref();
    for (Py_ssize_t g = 0; g < PySequence_Length(groups); ++g) {
        // an owned entry: reading its labels may run code that changes `groups`
        ref entry = pyapi::item(groups, g);
        if (!entry) return ref();
        positions.emplace_back();
        ok = group_positions(df, entry.get(), text_positions.get(), positions.back());
        if (ok <= 0) return outcome::from_check(ok);
        ref size = ref::steal(PyLong_FromSize_t(positions.back().size()));
        if (!size || PyList_Append(key_items.get(), size.get()) < 0) return ref();
    }
    if (PyErr_Occurred()) return ref();
    group_columns columns;
    if (columns.load(cols, positions) < 0) return ref();
    fast_result fast;
    if ((ok = oneway_rows(st, columns, cols.rows(), fast)) <= 0) return outcome::from_check(ok);
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
