// Batch routes of Vetting.stat_test_two_samples and Vetting.stat_test_oneway:
// every feature tested at once, with the numbers the reference route's
// one-row library calls give.
#include "vetting_fast.hpp"

#include "pyapi/call.hpp"
#include "pyapi/gil.hpp"
#include "pyapi/interrupts.hpp"

#include "kernels/oneway.hpp"
#include "kernels/parallel.hpp"
#include "kernels/permutation.hpp"
#include "kernels/rowkinds.hpp"

#include <cmath>
#include <cstring>
#include <vector>

namespace tessera::vetting::batch {

using pyapi::outcome;
using pyapi::ref;

namespace {

// The names a batch route uses must be the genuine ones.
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

// values[:, positions] as a C-contiguous float64 matrix (rows = features).
ref group_matrix(module_state* st, PyObject* values, PyObject* positions) {
    ref all_rows = ref::steal(PySlice_New(nullptr, nullptr, nullptr));
    ref key = ref::steal(all_rows ? PyTuple_Pack(2, all_rows.get(), positions) : nullptr);
    if (!key) return {};
    return pyapi::call(pyapi::attr((*st)[object::numpy], "ascontiguousarray"),
                       {pyapi::item(values, key.get()).get()});
}

// Row labels as the reference route rebuilds them: Index(list(df.index)),
// the labels iterrows names its rows with. Declines when some label is None
// (the rebuilt index would name it "Unnamed") or labels repeat (fold changes
// are matched by label).
outcome rebuilt_index(module_state* st, PyObject* df) {
    ref index = pyapi::attr(df, "index");
    ref unique = pyapi::attr(index, "is_unique");
    if (!unique) return ref();
    if (unique.get() != Py_True) return outcome::decline();
    ref labels = ref::steal(PySequence_List(index.get()));
    if (!labels) return ref();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(labels.get()); ++i)
        if (PyList_GET_ITEM(labels.get(), i) == Py_None) return outcome::decline();
    return pyapi::call(pyapi::attr((*st)[object::pandas], "Index"), {labels.get()});
}

// The result table of the reference route: df's values with the statistic
// and p-value columns ((n, 1)-shaped) appended, columns extended as a row
// Series grows, the rebuilt index. Declines when df already has one of the
// columns (a previous result): the reference route overwrites it row by row.
outcome result_frame(module_state* st, PyObject* df, PyObject* values, PyObject* index,
                     PyObject* stat, PyObject* p, PyObject* stat_label, PyObject* p_label) {
    ref columns = pyapi::attr(df, "columns");
    for (PyObject* label : {stat_label, p_label}) {
        int present = columns ? PySequence_Contains(columns.get(), label) : -1;
        if (present != 0) return outcome::from_check(present);
    }
    Py_ssize_t n = PyObject_Length(columns.get());
    if (n < 0) return ref();
    ref at_end = ref::steal(PyLong_FromSsize_t(n));
    ref after = ref::steal(PyLong_FromSsize_t(n + 1));
    columns = pyapi::call_method(columns.get(), "insert", {at_end.get(), stat_label});
    columns = pyapi::call_method(columns.get(), "insert", {after.get(), p_label});
    ref parts = ref::steal(PyList_New(0));
    if (!columns || !parts) return ref();
    for (PyObject* part : {values, stat, p})
        if (!part || PyList_Append(parts.get(), part) < 0) return ref();
    ref one = ref::steal(PyLong_FromLong(1));
    ref block = pyapi::call(pyapi::attr((*st)[object::numpy], "concatenate"), {parts.get()},
                            {{"axis", one.get()}});
    return pyapi::call((*st)[object::frame_type], {block.get()},
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

// The permutation test of every row (x = row of X, y = row of Y), on every
// core. A NaN observed statistic gives NaN for both values. Declines when
// the kernel does not take a row.
outcome permutation_rows(module_state* st, PyObject* X, PyObject* Y) {
    sample_matrix mx, my;
    if (mx.acquire(X) < 0 || my.acquire(Y) < 0) return ref();
    const std::size_t rows = mx.rows, nx = mx.n, ny = my.n;
    frames::output_column ts((*st)[object::numpy], rows), ps((*st)[object::numpy], rows);
    if (!ts || !ps) return ref();
    pyapi::cancel_watch watch;
    kernels::cancel_hook hook;
    hook.should_stop = pyapi::should_cancel;
    hook.context = &watch;
    hook.interval = kernels::cancel_interval(nx + ny);
    kernels::run_status status = kernels::run_status::ok;
    if (pyapi::without_gil([&] {
            status = kernels::permutation_rows(mx.row(), nx, my.row(), ny, rows, hook, ts.data(),
                                               ps.data());
        }) < 0 ||
        watch.result() < 0)
        return ref();
    if (status == kernels::run_status::out_of_memory) return ref::steal(PyErr_NoMemory());
    if (status != kernels::run_status::ok) return outcome::decline();
    return ref::steal(PyTuple_Pack(2, ts.take().get(), ps.take().get()));
}

// Compares the batch statistics with per-row calls of the genuine
// hypothesis_test (or f_oneway) on a spread of rows: 1 when all agree.
int rows_agree(PyObject* per_row, PyObject* X_list, PyObject* extra_args, PyObject* kwargs,
               PyObject* stat, PyObject* p, Py_ssize_t rows, Py_ssize_t probes = 48) {
    for (Py_ssize_t k = 0; k < probes && k < rows; ++k) {
        Py_ssize_t r = rows <= probes || probes < 2 ? k : k * (rows - 1) / (probes - 1);
        ref args = ref::steal(PyList_New(0));
        if (!args) return -1;
        for (Py_ssize_t g = 0; g < PyList_GET_SIZE(X_list); ++g) {
            ref row = pyapi::item(PyList_GET_ITEM(X_list, g), r);
            if (!row || PyList_Append(args.get(), row.get()) < 0) return -1;
        }
        for (Py_ssize_t e = 0; extra_args && e < PyTuple_GET_SIZE(extra_args); ++e)
            if (PyList_Append(args.get(), PyTuple_GET_ITEM(extra_args, e)) < 0) return -1;
        ref tuple = ref::steal(PyList_AsTuple(args.get()));
        if (!tuple) return -1;
        ref result = ref::steal(PyObject_Call(per_row, tuple.get(), kwargs));
        ref pair[2];
        if (!result || pyapi::unpack(result.get(), 2, pair) < 0)
            return pyapi::clear_ordinary_error();
        PyObject* batch_values[2] = {stat, p};
        for (int j = 0; j < 2; ++j) {
            ref v = pyapi::item(batch_values[j], r);
            if (!v) return -1;
            const double a = PyFloat_AsDouble(pair[j].get());
            const double b = PyFloat_AsDouble(v.get());
            if (PyErr_Occurred()) return pyapi::clear_ordinary_error();
            if (!(a == b || (std::isnan(a) && std::isnan(b)))) return 0;
        }
    }
    return 1;
}

// Student's or Welch's t of every row (x = row of X, y = row of Y) in C, the
// statistic and degrees of freedom exactly as scipy computes them for one
// row; the p-values then come from the same special function scipy calls,
// 2 * stdtr(df, -|t|), evaluated over all rows at once.
outcome t_test_rows(module_state* st, PyObject* X, PyObject* Y, bool welch) {
    sample_matrix mx, my;
    if (mx.acquire(X) < 0 || my.acquire(Y) < 0) return ref();
    const std::size_t rows = mx.rows, nx = mx.n, ny = my.n;
    if (nx < 2 || ny < 2) return outcome::decline();
    PyObject* numpy = (*st)[object::numpy];
    frames::output_column ts(numpy, rows), dfs(numpy, rows);
    if (!ts || !dfs) return ref();
    if (pyapi::without_gil([&] {
            kernels::parallel_for(rows, [&](std::size_t r) {
                if (welch) {
                    ts.data()[r] = kernels::welch_t_statistic(mx.row(r), nx, my.row(r), ny,
                                                              dfs.data()[r]);
                } else {
                    ts.data()[r] = kernels::pooled_t_statistic(mx.row(r), nx, my.row(r), ny);
                    dfs.data()[r] = static_cast<double>(nx + ny) - 2.0;
                }
            });
        }) < 0)
        return ref();
    ref t = ts.take();
    ref df = dfs.take();
    ref special = pyapi::import("scipy.special");
    ref minus_abs = ref::steal(PyNumber_Negative(pyapi::call(pyapi::attr(numpy, "abs"), {t.get()}).get()));
    ref sf = pyapi::call(pyapi::attr(special, "stdtr"), {df.get(), minus_abs.get()});
    ref two = ref::steal(PyLong_FromLong(2));
    ref p = ref::steal(sf && two ? PyNumber_Multiply(two.get(), sf.get()) : nullptr);
    if (!p) return outcome::after_library_error();
    return ref::steal(PyTuple_Pack(2, t.get(), p.get()));
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
outcome rank_test_rows(module_state* st, const char* name, PyObject* X, PyObject* Y, bool paired) {
    std::vector<kernels::row_kind> kinds;
    std::size_t nx = 0, ny = 0;
    {
        sample_matrix mx, my;
        if (mx.acquire(X) < 0 || my.acquire(Y) < 0) return ref();
        nx = mx.n;
        ny = my.n;
        if (pyapi::without_gil([&] {
                kinds.resize(mx.rows);
                if (paired) kernels::paired_kinds(mx.row(), my.row(), nx, mx.rows, kinds.data());
                else kernels::two_sample_kinds(mx.row(), nx, my.row(), ny, mx.rows, kinds.data());
            }) < 0)
            return ref();
    }

    using kernels::row_kind;
    const row_kind plan[] = {row_kind::distinct, row_kind::tied, row_kind::nonfinite};
    PyObject* numpy = (*st)[object::numpy];
    ref test = pyapi::attr(pyapi::import("scipy.stats"), name);
    ref shape = ref::steal(PyLong_FromSize_t(kinds.size()));
    ref nan = pyapi::attr(numpy, "nan");
    if (!test || !shape || !nan) return outcome::after_library_error();
    ref stat = pyapi::call(pyapi::attr(numpy, "full"), {shape.get(), nan.get()});
    ref p = pyapi::call(pyapi::attr(numpy, "full"), {shape.get(), nan.get()});
    ref one = ref::steal(PyLong_FromLong(1));
    if (!stat || !p || !one) return ref();
    for (const row_kind kind : plan) {
        const char* method = kernels::rank_method(kind, paired, nx, ny);
        ref rows = ref::steal(PyList_New(0));
        if (!rows) return ref();
        for (std::size_t r = 0; r < kinds.size(); ++r) {
            if (kinds[r] != kind) continue;
            ref index = ref::steal(PyLong_FromSize_t(r));
            if (!index || PyList_Append(rows.get(), index.get()) < 0) return ref();
        }
        const Py_ssize_t count = PyList_GET_SIZE(rows.get());
        if (count == 0) continue;
        if (method) {
            ref how = pyapi::str(method);
            ref result = pyapi::call(test, {pyapi::item(X, rows.get()).get(),
                                            pyapi::item(Y, rows.get()).get()},
                                     {{"axis", one.get()}, {"method", how.get()}});
            ref pair[2];
            if (!result || pyapi::unpack(result.get(), 2, pair) < 0)
                return outcome::after_library_error();
            if (PyObject_SetItem(stat.get(), rows.get(), pair[0].get()) < 0 ||
                PyObject_SetItem(p.get(), rows.get(), pair[1].get()) < 0)
                return ref();
            continue;
        }
        pyapi::interrupt_scope ctrl_c;
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (pyapi::check_interrupt() < 0) return ref();
            PyObject* r = PyList_GET_ITEM(rows.get(), i);
            ref result = pyapi::call(test, {pyapi::item(X, r).get(), pyapi::item(Y, r).get()});
            ref pair[2];
            if (!result || pyapi::unpack(result.get(), 2, pair) < 0)
                return outcome::after_library_error();
            if (PyObject_SetItem(stat.get(), r, pair[0].get()) < 0 ||
                PyObject_SetItem(p.get(), r, pair[1].get()) < 0)
                return ref();
        }
        if (pyapi::check_interrupt() < 0) return ref();
    }
    return ref::steal(PyTuple_Pack(2, stat.get(), p.get()));
}

// The library test over the rows without a missing value in one call; a row
// with one gets NaN for both values, as the library's per-row call gives it.
outcome complete_rows_test(module_state* st, PyObject* fn, PyObject* sample, PyObject* extra) {
    PyObject* numpy = (*st)[object::numpy];
    ref isnan = pyapi::call(pyapi::attr(numpy, "isnan"), {sample});
    ref one = ref::steal(PyLong_FromLong(1));
    ref gaps = pyapi::call_method(isnan.get(), "any", {}, {{"axis", one.get()}});
    ref complete = ref::steal(gaps ? PyNumber_Invert(gaps.get()) : nullptr);
    if (!complete) return ref();
    ref result = pyapi::call(fn, {pyapi::item(sample, complete.get()).get(), extra},
                             {{"axis", one.get()}});
    ref pair[2];
    if (!result || pyapi::unpack(result.get(), 2, pair) < 0) return outcome::after_library_error();
    ref shape = pyapi::attr(complete, "shape");
    ref nan = pyapi::attr(numpy, "nan");
    ref out = ref::steal(PyTuple_New(2));
    if (!shape || !nan || !out) return ref();
    for (int j = 0; j < 2; ++j) {
        ref filled = pyapi::call(pyapi::attr(numpy, "full"), {shape.get(), nan.get()});
        if (!filled || PyObject_SetItem(filled.get(), complete.get(), pair[j].get()) < 0)
            return ref();
        PyTuple_SET_ITEM(out.get(), j, filled.release());
    }
    return out;
}

// 1 when method == name, 0 when not, -1 with an exception set.
int is_method(PyObject* method, const char* name) { return pyapi::equals(method, name); }

// (stat, p) arrays of a method the batch route computes; declines others.
outcome batch_test(module_state* st, PyObject* method, PyObject* X, PyObject* Y,
                   PyObject* equal_var) {
    int hit;
    if ((hit = is_method(method, "Welch")) != 0)
        return hit < 0 ? outcome(ref()) : t_test_rows(st, X, Y, true);
    if ((hit = is_method(method, "t")) != 0) {
        int pooled = hit < 0 ? -1 : PyObject_IsTrue(equal_var);
        if (pooled < 0) return ref();
        return t_test_rows(st, X, Y, !pooled);
    }
    if ((hit = is_method(method, "paired_t")) != 0) {
        if (hit < 0) return ref();
        ref stats = pyapi::import("scipy.stats");
        ref diff = ref::steal(PyNumber_Subtract(X, Y));
        ref zero = ref::steal(PyLong_FromLong(0));
        ref fn = pyapi::attr(stats, "ttest_1samp");
        if (!fn || !diff || !zero) return outcome::after_library_error();
        return complete_rows_test(st, fn.get(), diff.get(), zero.get());
    }
    if ((hit = is_method(method, "Wilcoxon")) != 0)
        return hit < 0 ? outcome(ref()) : rank_test_rows(st, "wilcoxon", X, Y, true);
    if ((hit = is_method(method, "Mannwhiteneyu")) != 0)
        return hit < 0 ? outcome(ref()) : rank_test_rows(st, "mannwhitneyu", X, Y, false);
    return outcome::decline();
}

// (stat, p) of a library result as float64 arrays.
int result_columns(module_state* st, PyObject* result, ref& stat, ref& p) {
    ref pair[2];
    if (pyapi::unpack(result, 2, pair) < 0) return -1;
    ref f64 = pyapi::str("float64");
    ref asarray = pyapi::attr((*st)[object::numpy], "asarray");
    stat = pyapi::call(asarray, {pair[0].get()}, {{"dtype", f64.get()}});
    p = pyapi::call(asarray, {pair[1].get()}, {{"dtype", f64.get()}});
    return stat && p ? 0 : -1;
}

// 1 when the reference route keeps some row of the table int64: on an
// all-int64 table each row is an int64 Series, and pandas keeps it int64
// when the statistic set into it casts to an integer within 1e-8
// (|trunc(v) - v| <= 1e-8, the value truncated), so whole and nearly whole
// statistics change the result's dtypes and values. The batch routes then
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

// array.reshape(-1, 1)
ref reshape_column(PyObject* array) {
    ref shape = ref::steal(Py_BuildValue("(ii)", -1, 1));
    if (!shape) return {};
    return pyapi::call_method(array, "reshape", {shape.get()});
}

// scipy's f_oneway for every row of `pooled` (the samples side by side):
// the statistic in C with the operations of a one-row call, the dot product
// of the centred rows from numpy (as the one-row call takes it) and the
// p-value from the special function f_oneway calls, over all rows at once.
// Declines a shape f_oneway does not test.
outcome oneway_rows(module_state* st, PyObject* pooled, const std::vector<std::size_t>& sizes) {
    PyObject* numpy = (*st)[object::numpy];
    sample_matrix values;
    if (values.acquire(pooled) < 0) return ref();
    const std::size_t rows = values.rows, n = values.n;
    if (rows == 0 || n == 0) return outcome::decline();
    frames::output_block centred(numpy, rows, n);  // (rows, n): one block row per table row
    frames::output_column offsets(numpy, rows), fs(numpy, rows);
    if (!centred || !offsets || !fs) return ref();
    if (pyapi::without_gil([&] {
            kernels::oneway_centre(values.row(), n, rows, centred.column(0), offsets.data());
        }) < 0)
        return ref();
    ref centred_rows = centred.take();
    ref minus_one = ref::steal(PyLong_FromLong(-1));
    ref dots = pyapi::call(pyapi::attr(numpy, "vecdot"), {centred_rows.get(), centred_rows.get()},
                           {{"axis", minus_one.get()}});
    if (!dots) return outcome::after_library_error();
    pyapi::buffer dot_values, centred_values;
    if (dot_values.acquire(dots.get(), PyBUF_ND | PyBUF_FORMAT) < 0 ||
        centred_values.acquire(centred_rows.get(), PyBUF_ND | PyBUF_FORMAT) < 0)
        return ref();
    if (pyapi::without_gil([&] {
            kernels::oneway_f(values.row(), sizes.data(), sizes.size(), rows, offsets.data(),
                              static_cast<const double*>(centred_values.data()),
                              static_cast<const double*>(dot_values.data()), fs.data());
        }) < 0)
        return ref();
    ref stat = fs.take();
    ref special = pyapi::import("scipy.special");
    ref between = ref::steal(PyLong_FromSize_t(sizes.size() - 1));
    ref within = ref::steal(PyLong_FromSsize_t(static_cast<Py_ssize_t>(n) -
                                               static_cast<Py_ssize_t>(sizes.size())));
    if (!between || !within) return ref();
    ref p = pyapi::call(pyapi::attr(special, "fdtrc"), {between.get(), within.get(), stat.get()});
    if (!p) return outcome::after_library_error();
    return ref::steal(PyTuple_Pack(2, stat.get(), p.get()));
}

}  // namespace

outcome two_samples(PyObject* module, PyObject* df, PyObject* groups, PyObject* method,
                    PyObject* kwargs, PyObject* fc_method, ref& paired_fold) {
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
    int permutation = is_method(method, "permutation");
    int paired_method = permutation < 0 ? -1 : is_method(method, "paired_t");
    if (paired_method == 0) paired_method = is_method(method, "Wilcoxon");
    int paired_fc = paired_method < 0 ? -1 : pyapi::equals(fc_method, "paired");
    if (paired_fc < 0) return outcome::after_library_error();
    frames::column_set cols;
    if ((ok = numeric_frame(st, df, cols)) <= 0) return outcome::from_check(ok);
    outcome index = rebuilt_index(st, df);
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
    ref pos1 = found1.take(), pos2 = found2.take();
    const Py_ssize_t n1 = PyList_GET_SIZE(pos1.get()), n2 = PyList_GET_SIZE(pos2.get());
    if (paired_method && n1 != n2) return outcome::decline();
    if (paired_fc && n2 < n1) return outcome::decline();

    ref f64 = pyapi::str("float64");
    ref values = pyapi::call_method(df, "to_numpy", {}, {{"dtype", f64.get()}});
    ref X = group_matrix(st, values.get(), pos1.get());
    ref Y = group_matrix(st, values.get(), pos2.get());
    if (!X || !Y) return ref();

    ref X_list = ref::steal(PyList_New(0));
    ref extra = ref::steal(PyTuple_Pack(1, method));
    if (!X_list || !extra || PyList_Append(X_list.get(), X.get()) < 0 ||
        PyList_Append(X_list.get(), Y.get()) < 0)
        return ref();
    outcome tested = outcome::decline();
    if (permutation) {
        tested = permutation_rows(st, X.get(), Y.get());
    } else {
        ref key = pyapi::str("equal_var");
        PyObject* equal_var = key ? PyDict_GetItemWithError(kwargs, key.get()) : nullptr;
        if (equal_var || !PyErr_Occurred())
            tested = batch_test(st, method, X.get(), Y.get(), equal_var ? equal_var : Py_True);
        else
            tested = ref();
        // any error of the library calls is the reference route's to raise
        if (tested.failed()) tested = outcome::after_library_error();
    }
    if (tested.failed() || tested.declined()) return tested;
    ref stat, p;
    if (result_columns(st, tested.take().get(), stat, p) < 0) return outcome::after_library_error();
    // The permutation kernel was checked against the installed library by
    // the stat module; two rows through it confirm the batch took the same
    // computation. Every other method is checked on 48 rows.
    ok = rows_agree((*st)[object::hypothesis_test], X_list.get(), extra.get(), kwargs, stat.get(),
                    p.get(), static_cast<Py_ssize_t>(cols.rows()), permutation ? 2 : 48);
    if (ok <= 0) return outcome::from_check(ok);
    if ((ok = keeps_int_rows(cols, stat.get())) != 0) return outcome::from_check(ok);
    if (paired_fc) {
        // np.mean of the row's pairwise differences, for all rows at once:
        // the same per-row sums over contiguous rows
        ref first = ref::steal(PySequence_GetSlice(pos2.get(), 0, n1));
        ref Y1 = group_matrix(st, values.get(), first.get());
        ref diff = ref::steal(Y1 ? PyNumber_Subtract(X.get(), Y1.get()) : nullptr);
        ref one = ref::steal(PyLong_FromLong(1));
        paired_fold = pyapi::call(pyapi::attr((*st)[object::numpy], "mean"), {diff.get()},
                                  {{"axis", one.get()}});
        if (!paired_fold) return ref();
    }
    ref stat_label = ref::steal(PyNumber_Add(method, ref(pyapi::str("_stat")).get()));
    ref p_label = ref::steal(PyNumber_Add(method, ref(pyapi::str("_p")).get()));
    if (!stat_label || !p_label) return ref();
    return result_frame(st, df, values.get(), labels.get(), reshape_column(stat.get()).get(),
                        reshape_column(p.get()).get(), stat_label.get(), p_label.get());
}

outcome oneway(PyObject* module, PyObject* df, PyObject* groups) {
    module_state* st = state_of(module);
    int ok = genuine_tests(module);
    if (ok <= 0) return outcome::from_check(ok);
    // fewer than two groups: f_oneway's own error, raised by the reference route
    if (!plain_sequence(groups)) return outcome::decline();
    const Py_ssize_t group_count = PySequence_Length(groups);
    if (group_count < 0) return ref();
    if (group_count < 2) return outcome::decline();
    frames::column_set cols;
    if ((ok = numeric_frame(st, df, cols)) <= 0) return outcome::from_check(ok);
    outcome index = rebuilt_index(st, df);
    if (index.failed() || index.declined()) return index;
    ref labels = index.take();
    ref f64 = pyapi::str("float64");
    ref values = pyapi::call_method(df, "to_numpy", {}, {{"dtype", f64.get()}});
    ref samples = ref::steal(PyList_New(0));
    if (!values || !samples) return ref();
    std::vector<std::size_t> sizes;
    for (Py_ssize_t g = 0; g < PySequence_Length(groups); ++g) {
        // an owned entry: reading its labels may run code that changes `groups`
        ref entry = pyapi::item(groups, g);
        if (!entry) return ref();
        outcome found = group_positions(df, entry.get());
        if (found.failed() || found.declined()) return found;
        ref positions = found.take();
        sizes.push_back(static_cast<std::size_t>(PyList_GET_SIZE(positions.get())));
        ref sample = group_matrix(st, values.get(), positions.get());
        if (!sample || PyList_Append(samples.get(), sample.get()) < 0) return ref();
    }
    if (PyErr_Occurred()) return ref();
    ref one = ref::steal(PyLong_FromLong(1));
    ref pooled = pyapi::call(pyapi::attr((*st)[object::numpy], "concatenate"), {samples.get()},
                             {{"axis", one.get()}});
    if (!pooled) return ref();
    outcome tested = oneway_rows(st, pooled.get(), sizes);
    if (tested.failed() || tested.declined()) return tested;
    ref stat, p;
    if (result_columns(st, tested.take().get(), stat, p) < 0) return ref();
    ok = rows_agree((*st)[object::f_oneway], samples.get(), nullptr, nullptr, stat.get(), p.get(),
                    static_cast<Py_ssize_t>(cols.rows()));
    if (ok <= 0) return outcome::from_check(ok);
    if ((ok = keeps_int_rows(cols, stat.get())) != 0) return outcome::from_check(ok);
    ref stat_label = pyapi::str("oneway_stat");
    ref p_label = pyapi::str("oneway_p");
    if (!stat_label || !p_label) return ref();
    return result_frame(st, df, values.get(), labels.get(), reshape_column(stat.get()).get(),
                        reshape_column(p.get()).get(), stat_label.get(), p_label.get());
}

}  // namespace tessera::vetting::batch
