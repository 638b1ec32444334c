#include "vetting_routes.hpp"

#include "pyapi/call.hpp"
#include "pyapi/columns.hpp"
#include "pyapi/module.hpp"

#include "kernels/cellwise.hpp"
#include "kernels/columnwise.hpp"
#include "kernels/parallel.hpp"
#include "kernels/oneway.hpp"
#include "kernels/permutation.hpp"
#include "kernels/rowkinds.hpp"

#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

namespace tessera::vetting::routes {

using pyapi::ref;

namespace {

module_state* state_of(PyObject* module) {
    return static_cast<module_state*>(PyModule_GetState(module));
}

ref global(PyObject* module, const char* name) {
    return pyapi::global(PyModule_GetDict(module), name);
}

// 1 when every name in `names` still holds its captured object.
int genuine(PyObject* module, std::initializer_list<std::pair<const char*, PyObject*>> names) {
    for (const auto& [name, captured] : names) {
        int ok = pyapi::namespace_holds(module, name, captured);
        if (ok <= 0) return ok;
    }
    return 1;
}

// 1 when df is a plain DataFrame with rows, unique column labels and only
// float64/int64 columns (loaded into `cols`); 0 for any other table.
int numeric_frame(module_state* st, PyObject* df, pyapi::column_set& cols) {
    if (Py_TYPE(df) != reinterpret_cast<PyTypeObject*>(st->frame_type)) return 0;
    ref unique = pyapi::attr(pyapi::attr(df, "columns"), "is_unique");
    if (!unique) return -1;
    if (unique.get() != Py_True) return 0;
    return cols.load(df, st->numpy, st->float64, st->int64);
}

ref np_float64(module_state* st, double v) {
    ref value = ref::steal(PyFloat_FromDouble(v));
    return pyapi::call(pyapi::attr(st->numpy, "float64"), {value.get()});
}

// Median of one loaded column as np.median of its kept values computes it;
// converts an int64 column to float first, as np.array(..., dtype=float) does.
double column_median(const pyapi::column_view& col, std::size_t n, std::vector<double>& scratch,
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
int all_medians(const pyapi::column_set& cols, std::vector<double>& out) {
    out.assign(cols.size(), 0.0);
    std::atomic<bool> no_memory{false};
    Py_BEGIN_ALLOW_THREADS
    kernels::parallel_for(cols.size(), [&](std::size_t c) {
        try {
            std::vector<double> scratch, converted;
            out[c] = column_median(cols[c], cols.rows(), scratch, converted);
        } catch (const std::bad_alloc&) {
            no_memory = true;
        }
    });
    Py_END_ALLOW_THREADS
    if (no_memory) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

}  // namespace

int capture(PyObject* module) {
    module_state* st = state_of(module);
    ref np = global(module, "np");
    ref pd = global(module, "pd");
    ref math = global(module, "math");
    ref test = global(module, "hypothesis_test");
    ref f_oneway = global(module, "f_oneway");
    ref mt = global(module, "multipletests");
    ref frame = pyapi::attr(pd, "DataFrame");
    ref dtype = pyapi::attr(np, "dtype");
    ref f64 = pyapi::call(dtype, {ref(pyapi::str("float64")).get()});
    ref i64 = pyapi::call(dtype, {ref(pyapi::str("int64")).get()});
    if (!np || !pd || !math || !test || !f_oneway || !mt || !frame || !f64 || !i64) return -1;
    st->numpy = np.release();
    st->pandas = pd.release();
    st->math = math.release();
    st->hypothesis_test = test.release();
    st->f_oneway = f_oneway.release();
    st->multipletests = mt.release();
    st->frame_type = frame.release();
    st->float64 = f64.release();
    st->int64 = i64.release();
    st->median_df = nullptr;
    return 0;
}

#define TESSERA_STATE_FIELDS(op)   \
    op(st->numpy);                 \
    op(st->pandas);                \
    op(st->math);                  \
    op(st->hypothesis_test);       \
    op(st->f_oneway);              \
    op(st->multipletests);         \
    op(st->frame_type);            \
    op(st->float64);               \
    op(st->int64);                 \
    op(st->median_df)

int traverse(PyObject* module, visitproc visit, void* arg) {
    module_state* st = state_of(module);
    if (st) { TESSERA_STATE_FIELDS(Py_VISIT); }
    return 0;
}

int clear(PyObject* module) {
    module_state* st = state_of(module);
    if (st) { TESSERA_STATE_FIELDS(Py_CLEAR); }
    return 0;
}

void free(void* module) { clear(static_cast<PyObject*>(module)); }

ref adjust_pvalues(PyObject* module, PyObject* p, PyObject* method) {
    ref np = global(module, "np");
    ref mt = global(module, "multipletests");
    ref missing = pyapi::call(pyapi::attr(np, "isnan"), {p});
    ref any = pyapi::call_method(missing.get(), "any", {});
    if (!any) return {};
    int some = PyObject_IsTrue(any.get());
    if (some < 0) return {};
    if (!some) return pyapi::item(pyapi::call(mt, {p}, {{"method", method}}).get(), Py_ssize_t{1});

    ref all = pyapi::call_method(missing.get(), "all", {});
    ref shape = pyapi::attr(p, "shape");
    ref nan = pyapi::attr(np, "nan");
    ref adjusted = pyapi::call(pyapi::attr(np, "full"), {shape.get(), nan.get()});
    if (!all || !adjusted) return {};
    int every = PyObject_IsTrue(all.get());
    if (every < 0) return {};
    if (every) {
        // still ask the library, so an unknown method name fails as it does
        if (!pyapi::call(mt, {p}, {{"method", method}})) return {};
        return adjusted;
    }
    ref keep = ref::steal(PyNumber_Invert(missing.get()));
    ref tested = pyapi::item(pyapi::call(mt, {pyapi::item(p, keep.get()).get()},
                                         {{"method", method}}).get(), Py_ssize_t{1});
    if (!tested || PyObject_SetItem(adjusted.get(), keep.get(), tested.get()) < 0) return {};
    return adjusted;
}

int fast_medians(PyObject* module, PyObject* df, PyObject* cols, PyObject* medians) {
    module_state* st = state_of(module);
    int ok = genuine(module, {{"np", st->numpy}, {"math", st->math}});
    if (ok <= 0) return ok;
    // the columns taken must be exactly the table's own, in its order
    ref all_cols = pyapi::attr(pyapi::attr(df, "columns"), "values");
    if (!all_cols) return -1;
    if (cols != all_cols.get()) {
        ref same = pyapi::call(pyapi::attr(st->numpy, "array_equal"), {cols, all_cols.get()});
        if (!same) return pyapi::clear_ordinary_error();
        if (same.get() != Py_True || PyObject_Length(cols) != PyObject_Length(all_cols.get()))
            return pyapi::clear_ordinary_error();
    }
    pyapi::column_set loaded;
    if ((ok = numeric_frame(st, df, loaded)) <= 0) return ok;
    std::vector<double> values;
    if (all_medians(loaded, values) < 0) return -1;
    for (double v : values) {
        ref m = np_float64(st, v);
        if (!m || PyList_Append(medians, m.get()) < 0) return -1;
    }
    return 1;
}

int fast_med_norm(PyObject* module, PyObject* self, PyObject* work, PyObject* cols) {
    module_state* st = state_of(module);
    int ok = genuine(module, {{"np", st->numpy}, {"math", st->math}});
    if (ok <= 0) return ok;
    // a subclass's own median_df must be honoured: only ours is reproduced
    ref method = pyapi::attr(reinterpret_cast<PyObject*>(Py_TYPE(self)), "median_df");
    if (!method) return -1;
    if (!st->median_df) {
        ref vetting = global(module, "Vetting");
        if (!vetting) return -1;
        st->median_df = pyapi::attr(vetting, "median_df").release();
        if (!st->median_df) return -1;
    }
    if (method.get() != st->median_df) return 0;
    pyapi::column_set loaded;
    if ((ok = numeric_frame(st, work, loaded)) <= 0) return ok;
    std::vector<double> medians;
    if (all_medians(loaded, medians) < 0) return -1;

    // float(j) - med for every cell, NaN staying NaN, column by column
    const std::size_t n = loaded.rows();
    std::vector<std::unique_ptr<pyapi::output_column>> out;
    for (std::size_t c = 0; c < loaded.size(); ++c) {
        out.push_back(std::make_unique<pyapi::output_column>(st->numpy, n));
        if (!*out.back()) return -1;
    }
    Py_BEGIN_ALLOW_THREADS
    kernels::parallel_for(loaded.size(), [&](std::size_t c) {
        const pyapi::column_view& col = loaded[c];
        if (col.is_int) kernels::shift_cells(col.ints(), out[c]->data(), n, medians[c]);
        else kernels::shift_cells(col.doubles(), out[c]->data(), n, medians[c]);
    });
    Py_END_ALLOW_THREADS
    for (std::size_t c = 0; c < loaded.size(); ++c) {
        ref col = pyapi::item(cols, static_cast<Py_ssize_t>(c));
        ref array = out[c]->take();
        if (!col || PyObject_SetItem(work, col.get(), array.get()) < 0) return -1;
    }
    return 1;
}

namespace {

// The names a fast route uses must be the genuine ones.
int genuine_tests(PyObject* module, module_state* st) {
    return genuine(module, {{"np", st->numpy},
                            {"pd", st->pandas},
                            {"hypothesis_test", st->hypothesis_test},
                            {"f_oneway", st->f_oneway}});
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

// The positions of a group's labels among df's columns: a new list, or
// Py_None when the group is not a plain list/tuple entry holding a list of
// existing labels. A tuple of labels is not one: a row Series takes a tuple
// as a single key, not as a list of labels.
ref group_positions(PyObject* df, PyObject* group_entry) {
    if (!plain_sequence(group_entry)) return pyapi::none();
    ref labels = pyapi::item(group_entry, Py_ssize_t{1});
    if (!labels) {
        // the per-row route raises the indexing error itself
        return pyapi::clear_ordinary_error() < 0 ? ref() : pyapi::none();
    }
    if (!PyList_Check(labels.get())) return pyapi::none();
    ref positions = pyapi::call_method(pyapi::attr(df, "columns").get(), "get_indexer",
                                       {labels.get()});
    if (!positions) return pyapi::clear_ordinary_error() < 0 ? ref() : pyapi::none();
    ref list = pyapi::call_method(positions.get(), "tolist", {});
    if (!list) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i)
        if (PyLong_AsLong(PyList_GET_ITEM(list.get(), i)) < 0) return pyapi::none();
    if (PyList_GET_SIZE(list.get()) == 0) return pyapi::none();
    return list;
}

// values[:, positions] as a C-contiguous float64 matrix (rows = features).
ref group_matrix(module_state* st, PyObject* values, PyObject* positions) {
    ref all_rows = ref::steal(PySlice_New(nullptr, nullptr, nullptr));
    ref key = ref::steal(PyTuple_Pack(2, all_rows.get(), positions));
    if (!key) return {};
    return pyapi::call(pyapi::attr(st->numpy, "ascontiguousarray"),
                       {pyapi::item(values, key.get()).get()});
}

// Row labels as the per-row route rebuilds them: Index(list(df.index)), the
// labels iterrows names its rows with. Py_None when some label is None (the
// rebuilt index would name it "Unnamed") or labels repeat (fold changes are
// matched by label).
ref rebuilt_index(module_state* st, PyObject* df) {
    ref index = pyapi::attr(df, "index");
    ref unique = pyapi::attr(index, "is_unique");
    if (!unique) return {};
    if (unique.get() != Py_True) return pyapi::none();
    ref labels = ref::steal(PySequence_List(index.get()));
    if (!labels) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(labels.get()); ++i)
        if (PyList_GET_ITEM(labels.get(), i) == Py_None) return pyapi::none();
    return pyapi::call(pyapi::attr(st->pandas, "Index"), {labels.get()});
}

// The result table of the per-row route: df's values with the statistic and
// p-value columns ((n, 1)-shaped) appended, columns extended as a row Series grows, the rebuilt index.
ref result_frame(module_state* st, PyObject* df, PyObject* values, PyObject* index,
                 PyObject* stat, PyObject* p, PyObject* stat_label, PyObject* p_label) {
    ref columns = pyapi::attr(df, "columns");
    for (PyObject* label : {stat_label, p_label}) {
        // a table that already has the column (a previous result) gets it
        // overwritten row by row: the per-row route handles that
        int present = columns ? PySequence_Contains(columns.get(), label) : -1;
        if (present != 0) return present < 0 ? ref() : pyapi::none();
    }
    Py_ssize_t n = PyObject_Length(columns.get());
    if (n < 0) return {};
    ref at_end = ref::steal(PyLong_FromSsize_t(n));
    ref after = ref::steal(PyLong_FromSsize_t(n + 1));
    columns = pyapi::call_method(columns.get(), "insert", {at_end.get(), stat_label});
    columns = pyapi::call_method(columns.get(), "insert", {after.get(), p_label});
    ref parts = ref::steal(PyList_New(0));
    if (!columns || !parts) return {};
    for (PyObject* part : {values, stat, p})
        if (!part || PyList_Append(parts.get(), part) < 0) return {};
    ref one = ref::steal(PyLong_FromLong(1));
    ref block = pyapi::call(pyapi::attr(st->numpy, "concatenate"), {parts.get()},
                            {{"axis", one.get()}});
    return pyapi::call(st->frame_type, {block.get()},
                       {{"index", index}, {"columns", columns.get()}, {"copy", Py_False}});
}

// The two float64 sample matrices of a two-group test (rows = features),
// held as buffers for the kernels.
struct sample_matrices {
    pyapi::buffer bx, by;
    std::size_t rows = 0, nx = 0, ny = 0;

    int acquire(PyObject* X, PyObject* Y) {
        if (bx.acquire(X, PyBUF_ND | PyBUF_FORMAT) < 0 || by.acquire(Y, PyBUF_ND | PyBUF_FORMAT) < 0)
            return -1;
        ref shape_x = pyapi::attr(X, "shape");
        ref shape_y = pyapi::attr(Y, "shape");
        if (!shape_x || !shape_y) return -1;
        rows = static_cast<std::size_t>(PyLong_AsSsize_t(PyTuple_GET_ITEM(shape_x.get(), 0)));
        nx = static_cast<std::size_t>(PyLong_AsSsize_t(PyTuple_GET_ITEM(shape_x.get(), 1)));
        ny = static_cast<std::size_t>(PyLong_AsSsize_t(PyTuple_GET_ITEM(shape_y.get(), 1)));
        return 0;
    }
    const double* x(std::size_t r = 0) const { return static_cast<const double*>(bx.data()) + r * nx; }
    const double* y(std::size_t r = 0) const { return static_cast<const double*>(by.data()) + r * ny; }
};

// Checks for Ctrl-C from the calling thread while workers run without the GIL.
struct interrupt_watch {
    std::atomic<bool> stop{false};
    std::thread::id caller = std::this_thread::get_id();
};

bool should_stop(void* context) {
    auto* watch = static_cast<interrupt_watch*>(context);
    if (watch->stop.load(std::memory_order_relaxed)) return true;
    if (std::this_thread::get_id() != watch->caller) return false;
    PyGILState_STATE gil = PyGILState_Ensure();
    const bool interrupted = PyErr_CheckSignals() < 0;  // the exception stays set
    PyGILState_Release(gil);
    if (interrupted) watch->stop = true;
    return interrupted;
}

// The permutation test of every row (x = row of X, y = row of Y), on every
// core. A NaN observed statistic gives NaN for both values. Fills the
// (n, 1)-shaped stat and p arrays; -1 with an exception.
int permutation_rows(module_state* st, PyObject* X, PyObject* Y, ref& stat, ref& p) {
    sample_matrices m;
    if (m.acquire(X, Y) < 0) return -1;
    const std::size_t rows = m.rows, nx = m.nx, ny = m.ny;
    pyapi::output_column ts(st->numpy, rows), ps(st->numpy, rows);
    if (!ts || !ps) return -1;
    interrupt_watch watch;
    kernels::cancel_hook hook;
    hook.should_stop = should_stop;
    hook.context = &watch;
    hook.interval = kernels::cancel_interval(nx + ny);
    std::atomic<bool> failed{false};
    Py_BEGIN_ALLOW_THREADS
    kernels::parallel_for(rows, [&](std::size_t r) {
        if (watch.stop || failed) return;
        const double* x = m.x(r);
        const double* y = m.y(r);
        double t = kernels::pooled_t_statistic(x, nx, y, ny);
        double pv = t;
        if (!std::isnan(t)) {
            kernels::two_sample_result res = kernels::permutation_t_test(
                x, nx, y, ny, 10000, std::int64_t{20}, kernels::alternative::two_sided, hook);
            if (res.status != kernels::run_status::ok) {
                if (res.status != kernels::run_status::cancelled) failed = true;
                return;
            }
            t = res.t_observed;
            pv = res.p_value;
        }
        ts.data()[r] = t;
        ps.data()[r] = pv;
    });
    Py_END_ALLOW_THREADS
    if (watch.stop) {
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        return -1;
    }
    if (failed) return 0;
    stat = ts.take();
    p = ps.take();
    return 1;
}

// Compares the vectorised statistics with per-row calls of the genuine
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
        ref result = ref::steal(PyObject_Call(per_row, tuple.get(), kwargs));
        ref pair[2];
        if (!result || pyapi::unpack(result.get(), 2, pair) < 0)
            return pyapi::clear_ordinary_error();
        PyObject* vectorised[2] = {stat, p};
        for (int j = 0; j < 2; ++j) {
            ref v = pyapi::item(vectorised[j], r);
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
ref t_test_rows(module_state* st, PyObject* X, PyObject* Y, bool welch) {
    sample_matrices m;
    if (m.acquire(X, Y) < 0) return {};
    const std::size_t rows = m.rows, nx = m.nx, ny = m.ny;
    if (nx < 2 || ny < 2) return pyapi::none();
    pyapi::output_column ts(st->numpy, rows), dfs(st->numpy, rows);
    if (!ts || !dfs) return {};
    Py_BEGIN_ALLOW_THREADS
    kernels::parallel_for(rows, [&](std::size_t r) {
        const double* x = m.x(r);
        const double* y = m.y(r);
        if (welch) {
            ts.data()[r] = kernels::welch_t_statistic(x, nx, y, ny, dfs.data()[r]);
        } else {
            ts.data()[r] = kernels::pooled_t_statistic(x, nx, y, ny);
            dfs.data()[r] = static_cast<double>(nx + ny) - 2.0;
        }
    });
    Py_END_ALLOW_THREADS
    ref t = ts.take();
    ref df = dfs.take();
    ref special = pyapi::import("scipy.special");
    ref minus_abs = ref::steal(PyNumber_Negative(pyapi::call(pyapi::attr(st->numpy, "abs"), {t.get()}).get()));
    ref sf = pyapi::call(pyapi::attr(special, "stdtr"), {df.get(), minus_abs.get()});
    ref two = ref::steal(PyLong_FromLong(2));
    ref p = ref::steal(sf ? PyNumber_Multiply(two.get(), sf.get()) : nullptr);
    if (!p) return {};
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
ref rank_test_rows(module_state* st, const char* name, PyObject* X, PyObject* Y, bool paired) {
    std::vector<kernels::row_kind> kinds;
    std::size_t nx = 0, ny = 0;
    {
        sample_matrices m;
        if (m.acquire(X, Y) < 0) return {};
        kinds.resize(m.rows);
        nx = m.nx;
        ny = m.ny;
        Py_BEGIN_ALLOW_THREADS
        if (paired) kernels::paired_kinds(m.x(), m.y(), nx, m.rows, kinds.data());
        else kernels::two_sample_kinds(m.x(), nx, m.y(), ny, m.rows, kinds.data());
        Py_END_ALLOW_THREADS
    }

    using kernels::row_kind;
    // the method scipy's "auto" resolves to for each kind; nullptr: per row
    const char* exact_or_normal = nullptr;
    const char* tied_method = nullptr;
    if (paired) {
        exact_or_normal = nx > 50 ? "asymptotic" : "exact";
        tied_method = nx > 13 ? "asymptotic" : nullptr;
    } else {
        exact_or_normal = nx > 8 && ny > 8 ? "asymptotic" : "exact";
        tied_method = "asymptotic";
    }
    const std::pair<row_kind, const char*> plan[] = {{row_kind::distinct, exact_or_normal},
                                                     {row_kind::tied, tied_method},
                                                     {row_kind::nonfinite, nullptr}};
    ref stats = pyapi::import("scipy.stats");
    ref test = pyapi::attr(stats, name);
    ref shape = ref::steal(PyLong_FromSize_t(kinds.size()));
    ref nan = pyapi::attr(st->numpy, "nan");
    if (!test || !shape || !nan) return {};
    ref stat = pyapi::call(pyapi::attr(st->numpy, "full"), {shape.get(), nan.get()});
    ref p = pyapi::call(pyapi::attr(st->numpy, "full"), {shape.get(), nan.get()});
    ref one = ref::steal(PyLong_FromLong(1));
    if (!stat || !p || !one) return {};
    for (const auto& [kind, method] : plan) {
        ref rows = ref::steal(PyList_New(0));
        if (!rows) return {};
        for (std::size_t r = 0; r < kinds.size(); ++r) {
            if (kinds[r] != kind) continue;
            ref index = ref::steal(PyLong_FromSize_t(r));
            if (!index || PyList_Append(rows.get(), index.get()) < 0) return {};
        }
        const Py_ssize_t count = PyList_GET_SIZE(rows.get());
        if (count == 0) continue;
        if (method) {
            ref how = pyapi::str(method);
            ref result = pyapi::call(test, {pyapi::item(X, rows.get()).get(),
                                            pyapi::item(Y, rows.get()).get()},
                                     {{"axis", one.get()}, {"method", how.get()}});
            ref pair[2];
            if (!result || pyapi::unpack(result.get(), 2, pair) < 0 ||
                PyObject_SetItem(stat.get(), rows.get(), pair[0].get()) < 0 ||
                PyObject_SetItem(p.get(), rows.get(), pair[1].get()) < 0)
                return {};
            continue;
        }
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (PyErr_CheckSignals() < 0) return {};
            PyObject* r = PyList_GET_ITEM(rows.get(), i);
            ref result = pyapi::call(test, {pyapi::item(X, r).get(), pyapi::item(Y, r).get()});
            ref pair[2];
            if (!result || pyapi::unpack(result.get(), 2, pair) < 0 ||
                PyObject_SetItem(stat.get(), r, pair[0].get()) < 0 ||
                PyObject_SetItem(p.get(), r, pair[1].get()) < 0)
                return {};
        }
    }
    return ref::steal(PyTuple_Pack(2, stat.get(), p.get()));
}

// The library test over the rows without a missing value in one call; a row
// with one gets NaN for both values, as the library's per-row call gives it.
ref complete_rows_test(module_state* st, PyObject* fn, PyObject* sample, PyObject* extra) {
    ref isnan = pyapi::call(pyapi::attr(st->numpy, "isnan"), {sample});
    ref one = ref::steal(PyLong_FromLong(1));
    ref gaps = pyapi::call_method(isnan.get(), "any", {}, {{"axis", one.get()}});
    ref complete = ref::steal(gaps ? PyNumber_Invert(gaps.get()) : nullptr);
    if (!complete) return {};
    ref result = pyapi::call(fn, {pyapi::item(sample, complete.get()).get(), extra},
                             {{"axis", one.get()}});
    if (!result) return {};
    ref pair[2];
    if (pyapi::unpack(result.get(), 2, pair) < 0) return {};
    ref shape = pyapi::attr(complete, "shape");
    ref nan = pyapi::attr(st->numpy, "nan");
    ref out = ref::steal(PyTuple_New(2));
    if (!shape || !nan || !out) return {};
    for (int j = 0; j < 2; ++j) {
        ref filled = pyapi::call(pyapi::attr(st->numpy, "full"), {shape.get(), nan.get()});
        if (!filled || PyObject_SetItem(filled.get(), complete.get(), pair[j].get()) < 0) return {};
        PyTuple_SET_ITEM(out.get(), j, filled.release());
    }
    return out;
}

// (stat, p) arrays of a method the native route computes, or Py_None.
ref vectorised_test(module_state* st, PyObject* method, PyObject* X, PyObject* Y,
                    PyObject* equal_var) {
    if (pyapi::equals(method, "Welch") > 0) return t_test_rows(st, X, Y, true);
    if (pyapi::equals(method, "t") > 0) {
        int pooled = PyObject_IsTrue(equal_var);
        if (pooled < 0) return {};
        return t_test_rows(st, X, Y, !pooled);
    }
    if (pyapi::equals(method, "paired_t") > 0) {
        ref stats = pyapi::import("scipy.stats");
        ref diff = ref::steal(PyNumber_Subtract(X, Y));
        ref zero = ref::steal(PyLong_FromLong(0));
        if (!stats || !diff || !zero) return {};
        return complete_rows_test(st, pyapi::attr(stats, "ttest_1samp").get(), diff.get(),
                                  zero.get());
    }
    if (pyapi::equals(method, "Wilcoxon") > 0) return rank_test_rows(st, "wilcoxon", X, Y, true);
    if (pyapi::equals(method, "Mannwhiteneyu") > 0)
        return rank_test_rows(st, "mannwhitneyu", X, Y, false);
    return pyapi::none();
}

// A library call of a fast route failed: the per-row route runs instead and
// raises the library's error in its place (Py_None), unless the exception is
// an interrupt (KeyboardInterrupt, SystemExit), which propagates (empty).
ref library_failed() {
    return pyapi::clear_ordinary_error() < 0 ? ref() : pyapi::none();
}

// (stat, p) of a library result as (n, 1)-shaped float64 columns.
int result_columns(module_state* st, PyObject* result, ref& stat, ref& p) {
    ref pair[2];
    if (pyapi::unpack(result, 2, pair) < 0) return -1;
    ref f64 = pyapi::str("float64");
    stat = pyapi::call(pyapi::attr(st->numpy, "asarray"), {pair[0].get()}, {{"dtype", f64.get()}});
    p = pyapi::call(pyapi::attr(st->numpy, "asarray"), {pair[1].get()}, {{"dtype", f64.get()}});
    return stat && p ? 0 : -1;
}

// 1 when the per-row route keeps some row of the table int64: on an
// all-int64 table each row is an int64 Series, and pandas keeps it int64
// when the statistic set into it casts to an integer within 1e-8
// (|trunc(v) - v| <= 1e-8, the value truncated), so whole and nearly whole
// statistics change the result's dtypes and values. The fast routes then
// leave the table to the per-row route. 0 when not, -1 on error.
int keeps_int_rows(const pyapi::column_set& cols, PyObject* stat) {
    for (std::size_t c = 0; c < cols.size(); ++c)
        if (!cols[c].is_int) return 0;
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
    return pyapi::call_method(array, "reshape", {shape.get()});
}

// scipy's f_oneway for every row of `pooled` (the samples side by side):
// the statistic in C with the operations of a one-row call, the dot product
// of the centred rows from numpy (as the one-row call takes it) and the
// p-value from the special function f_oneway calls, over all rows at once.
// 1 with stat and p filled, 0 when the shape is not one f_oneway tests.
int oneway_rows(module_state* st, PyObject* pooled, PyObject* samples, ref& stat, ref& p) {
    std::vector<std::size_t> sizes;
    for (Py_ssize_t g = 0; g < PyList_GET_SIZE(samples); ++g) {
        ref shape = pyapi::attr(PyList_GET_ITEM(samples, g), "shape");
        if (!shape) return -1;
        sizes.push_back(static_cast<std::size_t>(PyLong_AsSsize_t(PyTuple_GET_ITEM(shape.get(), 1))));
    }
    pyapi::buffer values;
    if (values.acquire(pooled, PyBUF_ND | PyBUF_FORMAT) < 0) return -1;
    ref shape = pyapi::attr(pooled, "shape");
    if (!shape) return -1;
    const auto rows = static_cast<std::size_t>(PyLong_AsSsize_t(PyTuple_GET_ITEM(shape.get(), 0)));
    const auto n = static_cast<std::size_t>(PyLong_AsSsize_t(PyTuple_GET_ITEM(shape.get(), 1)));
    if (rows == 0 || n == 0) return 0;
    const auto* data = static_cast<const double*>(values.data());
    pyapi::output_block centred(st->numpy, rows, n);  // (rows, n): one block row per table row
    pyapi::output_column offsets(st->numpy, rows), fs(st->numpy, rows);
    if (!centred || !offsets || !fs) return -1;
    Py_BEGIN_ALLOW_THREADS
    kernels::oneway_centre(data, n, rows, centred.column(0), offsets.data());
    Py_END_ALLOW_THREADS
    ref centred_rows = centred.take();
    ref minus_one = ref::steal(PyLong_FromLong(-1));
    ref dots = pyapi::call(pyapi::attr(st->numpy, "vecdot"), {centred_rows.get(), centred_rows.get()},
                           {{"axis", minus_one.get()}});
    pyapi::buffer dot_values;
    if (!dots || dot_values.acquire(dots.get(), PyBUF_ND | PyBUF_FORMAT) < 0) return -1;
    pyapi::buffer centred_values;
    if (centred_values.acquire(centred_rows.get(), PyBUF_ND | PyBUF_FORMAT) < 0) return -1;
    Py_BEGIN_ALLOW_THREADS
    kernels::oneway_f(data, sizes.data(), sizes.size(), rows, offsets.data(),
                      static_cast<const double*>(centred_values.data()),
                      static_cast<const double*>(dot_values.data()), fs.data());
    Py_END_ALLOW_THREADS
    stat = fs.take();
    ref special = pyapi::import("scipy.special");
    ref between = ref::steal(PyLong_FromSize_t(sizes.size() - 1));
    ref within = ref::steal(PyLong_FromSsize_t(static_cast<Py_ssize_t>(n) -
                                               static_cast<Py_ssize_t>(sizes.size())));
    if (!special || !between || !within) return -1;
    p = pyapi::call(pyapi::attr(special, "fdtrc"), {between.get(), within.get(), stat.get()});
    return p ? 1 : -1;
}

}  // namespace

ref fast_two_samples(PyObject* module, PyObject* df, PyObject* groups, PyObject* method,
                     PyObject* kwargs, PyObject* fc_method, ref& paired_fold) {
    module_state* st = state_of(module);
    int ok = genuine_tests(module, st);
    if (ok <= 0) return ok < 0 ? ref() : pyapi::none();
    if (!PyUnicode_CheckExact(method) || !plain_sequence(groups) || PySequence_Length(groups) < 2)
        return pyapi::none();
    static const char* const taken[] = {"x", "y", "method"};
    for (const char* name : taken) {
        ref key = pyapi::str(name);
        if (PyDict_Contains(kwargs, key.get())) return pyapi::none();
    }
    const bool permutation = pyapi::equals(method, "permutation") > 0;
    pyapi::column_set cols;
    if ((ok = numeric_frame(st, df, cols)) <= 0) return ok < 0 ? ref() : pyapi::none();
    ref index = rebuilt_index(st, df);
    if (!index || index.get() == Py_None) return index;
    // Owned references: reading an entry's labels may run code that changes `groups`.
    ref entry1 = pyapi::item(groups, Py_ssize_t{0});
    ref entry2 = pyapi::item(groups, Py_ssize_t{1});
    if (!entry1 || !entry2) return {};
    ref pos1 = group_positions(df, entry1.get());
    if (!pos1 || pos1.get() == Py_None) return pos1;
    ref pos2 = group_positions(df, entry2.get());
    if (!pos2 || pos2.get() == Py_None) return pos2;
    const Py_ssize_t n1 = PyList_GET_SIZE(pos1.get()), n2 = PyList_GET_SIZE(pos2.get());
    const bool paired_method = pyapi::equals(method, "paired_t") > 0 ||
                               pyapi::equals(method, "Wilcoxon") > 0;
    if (paired_method && n1 != n2) return pyapi::none();
    if (pyapi::equals(fc_method, "paired") > 0 && n2 < n1) return pyapi::none();

    ref f64 = pyapi::str("float64");
    ref values = pyapi::call_method(df, "to_numpy", {}, {{"dtype", f64.get()}});
    ref X = group_matrix(st, values.get(), pos1.get());
    ref Y = group_matrix(st, values.get(), pos2.get());
    if (!X || !Y) return {};

    ref stat, p;
    ref X_list = ref::steal(PyList_New(0));
    ref extra = ref::steal(PyTuple_Pack(1, method));
    if (!X_list || !extra || PyList_Append(X_list.get(), X.get()) < 0 ||
        PyList_Append(X_list.get(), Y.get()) < 0)
        return {};
    if (permutation) {
        int ran = permutation_rows(st, X.get(), Y.get(), stat, p);
        if (ran <= 0) return ran < 0 ? ref() : pyapi::none();
        // The stat module checks its kernel against the installed library;
        // two rows through it confirm the batch used the same computation.
        ok = rows_agree(st->hypothesis_test, X_list.get(), extra.get(), kwargs, stat.get(),
                        p.get(), static_cast<Py_ssize_t>(cols.rows()), 2);
        if (ok <= 0) return ok < 0 ? ref() : pyapi::none();
    } else {
        ref key = pyapi::str("equal_var");
        PyObject* equal_var = PyDict_GetItemWithError(kwargs, key.get());
        if (!equal_var && PyErr_Occurred()) return {};
        ref result = vectorised_test(st, method, X.get(), Y.get(), equal_var ? equal_var : Py_True);
        if (!result) return library_failed();
        if (result.get() != Py_None && result_columns(st, result.get(), stat, p) < 0)
            return library_failed();
        if (result.get() == Py_None) return result;
        ok = rows_agree(st->hypothesis_test, X_list.get(), extra.get(), kwargs, stat.get(), p.get(),
                        static_cast<Py_ssize_t>(cols.rows()));
        if (ok <= 0) return ok < 0 ? ref() : pyapi::none();
    }
    if ((ok = keeps_int_rows(cols, stat.get())) != 0) return ok < 0 ? ref() : pyapi::none();
    if (pyapi::equals(fc_method, "paired") > 0) {
        // np.mean of the row's pairwise differences, for all rows at once:
        // the same per-row sums over contiguous rows
        ref first = ref::steal(PySequence_GetSlice(pos2.get(), 0, n1));
        ref Y1 = group_matrix(st, values.get(), first.get());
        ref diff = ref::steal(PyNumber_Subtract(X.get(), Y1.get()));
        ref one = ref::steal(PyLong_FromLong(1));
        paired_fold = pyapi::call(pyapi::attr(st->numpy, "mean"), {diff.get()},
                                  {{"axis", one.get()}});
        if (!paired_fold) return {};
    }
    ref stat_label = ref::steal(PyNumber_Add(method, ref(pyapi::str("_stat")).get()));
    ref p_label = ref::steal(PyNumber_Add(method, ref(pyapi::str("_p")).get()));
    if (!stat_label || !p_label) return {};
    return result_frame(st, df, values.get(), index.get(), reshape_column(stat.get()).get(),
                        reshape_column(p.get()).get(), stat_label.get(), p_label.get());
}

ref fast_oneway(PyObject* module, PyObject* df, PyObject* groups, PyObject*) {
    module_state* st = state_of(module);
    int ok = genuine_tests(module, st);
    if (ok <= 0) return ok < 0 ? ref() : pyapi::none();
    // fewer than two groups: f_oneway's own error, raised by the per-row route
    if (!plain_sequence(groups) || PySequence_Length(groups) < 2) return pyapi::none();
    pyapi::column_set cols;
    if ((ok = numeric_frame(st, df, cols)) <= 0) return ok < 0 ? ref() : pyapi::none();
    ref index = rebuilt_index(st, df);
    if (!index || index.get() == Py_None) return index;
    ref f64 = pyapi::str("float64");
    ref values = pyapi::call_method(df, "to_numpy", {}, {{"dtype", f64.get()}});
    ref samples = ref::steal(PyList_New(0));
    if (!values || !samples) return {};
    for (Py_ssize_t g = 0; g < PySequence_Length(groups); ++g) {
        // an owned entry: reading its labels may run code that changes `groups`
        ref entry = pyapi::item(groups, g);
        if (!entry) return {};
        ref positions = group_positions(df, entry.get());
        if (!positions || positions.get() == Py_None) return positions;
        ref sample = group_matrix(st, values.get(), positions.get());
        if (!sample || PyList_Append(samples.get(), sample.get()) < 0) return {};
    }
    ref one = ref::steal(PyLong_FromLong(1));
    ref pooled = pyapi::call(pyapi::attr(st->numpy, "concatenate"), {samples.get()},
                             {{"axis", one.get()}});
    ref stat, p;
    ok = pooled ? oneway_rows(st, pooled.get(), samples.get(), stat, p) : -1;
    if (ok <= 0) return ok < 0 ? ref() : pyapi::none();
    ok = rows_agree(st->f_oneway, samples.get(), nullptr, nullptr, stat.get(), p.get(),
                    static_cast<Py_ssize_t>(cols.rows()));
    if (ok <= 0) return ok < 0 ? ref() : pyapi::none();
    if ((ok = keeps_int_rows(cols, stat.get())) != 0) return ok < 0 ? ref() : pyapi::none();
    ref stat_label = pyapi::str("oneway_stat");
    ref p_label = pyapi::str("oneway_p");
    if (!stat_label || !p_label) return {};
    return result_frame(st, df, values.get(), index.get(), reshape_column(stat.get()).get(),
                        reshape_column(p.get()).get(), stat_label.get(), p_label.get());
}

}  // namespace tessera::vetting::routes
