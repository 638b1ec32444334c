// tessera.tools.vetting: the Vetting class (output paths, median
// normalisation, per-feature tests, figure and table entry points).
//
// Vetting is a plain Python class whose methods are table-driven functions of
// this module; every method looks its names (pd, np, math, hypothesis_test,
// Result, f_oneway, multipletests) up in the module namespace when it runs.
#include "vetting_fast.hpp"

#include "pyapi/call.hpp"
#include "pyapi/interrupts.hpp"
#include "pyapi/module.hpp"

namespace tessera::vetting {

using pyapi::outcome;
using pyapi::ref;

int genuine(PyObject* module, std::initializer_list<std::pair<const char*, object>> names) {
    module_state* st = state_of(module);
    for (const auto& [name, captured] : names) {
        int ok = pyapi::namespace_holds(module, name, (*st)[captured]);
        if (ok <= 0) return ok;
    }
    return 1;
}

int numeric_frame(module_state* st, PyObject* df, frames::column_set& cols) {
    if (Py_TYPE(df) != reinterpret_cast<PyTypeObject*>((*st)[object::frame_type])) return 0;
    ref unique = pyapi::attr(pyapi::attr(df, "columns"), "is_unique");
    if (!unique) return -1;
    if (unique.get() != Py_True) return 0;
    return cols.load(df, (*st)[object::numpy], (*st)[object::float64], (*st)[object::int64]);
}

namespace {

PyObject* namespace_of(PyObject* module) { return PyModule_GetDict(module); }

ref global(PyObject* module, const char* name) { return pyapi::global(namespace_of(module), name); }

// kwargs.get(key, default_text)
ref option(PyObject* kwargs, const char* key, const char* default_text) {
    ref k = pyapi::str(key);
    if (!k) return {};
    PyObject* found = PyDict_GetItemWithError(kwargs, k.get());
    if (found) return ref::borrow(found);
    if (PyErr_Occurred()) return {};
    return pyapi::str(default_text);
}

// text + suffix, as the + operator joins them
ref joined(PyObject* text, const char* suffix) {
    ref s = pyapi::str(suffix);
    if (!text || !s) return {};
    return ref::steal(PyNumber_Add(text, s.get()));
}

// obj[0] / obj[1] style access with an int position
ref at(PyObject* obj, Py_ssize_t i) { return pyapi::item(obj, i); }

PyObject* init(PyObject*, pyapi::bound_args& a) {
    if (pyapi::set_attr(a[0], "param", a[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

ref out_path(PyObject* self, PyObject* tag, const char* suffix_template) {
    ref param = pyapi::attr(self, "param");
    ref key = pyapi::str("out_dir");
    ref prefix = pyapi::call_method(param.get(), "get", {key.get()});
    if (!prefix) return {};
    ref suffix = pyapi::call_method(ref(pyapi::str(suffix_template)).get(), "format", {tag});
    if (!suffix) return {};
    return ref::steal(PyNumber_Add(prefix.get(), suffix.get()));
}

PyObject* build_out_table_path(PyObject*, pyapi::bound_args& a) {
    return out_path(a[0], a[1], "_{}.csv").release();
}

PyObject* buil_out_figure_path(PyObject*, pyapi::bound_args& a) {
    return out_path(a[0], a[1], "_{}.png").release();
}

// Builds a figure record and a table record and drops them.
PyObject* placeholder(PyObject* module, pyapi::bound_args&) {
    ref figure = pyapi::str("figure");
    ref fig_result = pyapi::call(global(module, "Result"), {},
                                 {{"type", figure.get()}, {"content", Py_None}});
    if (!fig_result) return nullptr;
    ref result_type = global(module, "Result");
    if (!result_type) return nullptr;
    ref empty = pyapi::call(pyapi::attr(global(module, "pd"), "DataFrame"), {});
    if (!empty) return nullptr;
    ref table = pyapi::str("table");
    ref tab_result = pyapi::call(result_type, {}, {{"type", table.get()}, {"content", empty.get()}});
    if (!tab_result) return nullptr;
    Py_RETURN_NONE;
}

PyObject* no_op(PyObject*, pyapi::bound_args&) { Py_RETURN_NONE; }

PyObject* normalization(PyObject*, pyapi::bound_args& a) {
    int is = pyapi::equals(a[2], "med_norm");
    if (is == 0) is = pyapi::equals(a[2], "mednorm");
    if (is < 0) return nullptr;
    if (!is) Py_RETURN_NONE;
    ref fn = pyapi::attr(a[0], "med_norm");
    if (!fn) return nullptr;
    ref args = ref::steal(PyTuple_Pack(1, a[1]));
    if (!args) return nullptr;
    return PyObject_Call(fn.get(), args.get(), a.kwargs.get());
}

// The three tests a value passes to count as measured:
// v is not np.nan, v is not None, not math.isnan(v). 1, 0 or -1.
int is_measured(PyObject* module, PyObject* v) {
    ref nan = pyapi::attr(global(module, "np"), "nan");
    if (!nan) return -1;
    if (v == nan.get() || v == Py_None) return 0;
    ref isnan = pyapi::attr(global(module, "math"), "isnan");
    ref verdict = pyapi::call(isnan, {v});
    if (!verdict) return -1;
    int truth = PyObject_IsTrue(verdict.get());
    return truth < 0 ? -1 : !truth;
}

// The kept values of one converted column, as floats, in row order.
ref kept_values(PyObject* module, PyObject* values) {
    ref kept = ref::steal(PyList_New(0));
    ref it = ref::steal(PyObject_GetIter(values));
    if (!kept || !it) return {};
    while (ref v = ref::steal(PyIter_Next(it.get()))) {
        int measured = is_measured(module, v.get());
        if (measured < 0) return {};
        if (!measured) continue;
        ref f = ref::steal(PyNumber_Float(v.get()));
        if (!f || PyList_Append(kept.get(), f.get()) < 0) return {};
    }
    if (PyErr_Occurred()) return {};
    return kept;
}

// What the guard prints when collecting a column's values failed: each
// element, its type, and its float value when it counts as measured.
int dump_column(PyObject* module, PyObject* values) {
    ref it = ref::steal(PyObject_GetIter(values));
    if (!it) return -1;
    while (ref v = ref::steal(PyIter_Next(it.get()))) {
        if (pyapi::print(v.get()) < 0) return -1;
        if (pyapi::print(reinterpret_cast<PyObject*>(Py_TYPE(v.get()))) < 0) return -1;
        int measured = is_measured(module, v.get());
        if (measured < 0) return -1;
        if (measured && pyapi::print(ref::steal(PyNumber_Float(v.get())).get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

PyObject* median_df(PyObject* module, pyapi::bound_args& a) {
    PyObject* df = a[1];
    ref medians = ref::steal(PyList_New(0));
    if (!medians) return nullptr;
    ref all_cols = pyapi::attr(pyapi::attr(df, "columns"), "values");
    if (!all_cols) return nullptr;
    ref cols_key = pyapi::str("cols");
    PyObject* given = PyDict_GetItemWithError(a.kwargs.get(), cols_key.get());
    if (!given && PyErr_Occurred()) return nullptr;
    ref cols = given ? ref::borrow(given) : all_cols;

    outcome fast = fast::medians(module, df, cols.get());
    if (!fast.declined()) return fast.take().release();

    ref it = ref::steal(PyObject_GetIter(cols.get()));
    if (!it) return nullptr;
    PyObject* float_type = reinterpret_cast<PyObject*>(&PyFloat_Type);
    pyapi::interrupt_scope ctrl_c;
    while (ref col = ref::steal(PyIter_Next(it.get()))) {
        if (pyapi::check_interrupt() < 0) return nullptr;
        ref values = pyapi::call(pyapi::attr(global(module, "np"), "array"),
                                 {pyapi::item(df, col.get()).get()}, {{"dtype", float_type}});
        if (!values) return nullptr;
        ref kept = kept_values(module, values.get());
        if (!kept) {
            // Show what the column held, then let the failure through: there
            // is no list of kept values to take a median of.
            pyapi::saved_error pending;
            if (dump_column(module, values.get()) < 0) pending.drop();
            return nullptr;
        }
        ref median = pyapi::call(pyapi::attr(global(module, "np"), "median"), {kept.get()});
        if (!median || PyList_Append(medians.get(), median.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return medians.release();
}

PyObject* med_norm(PyObject* module, pyapi::bound_args& a) {
    PyObject* self = a[0];
    PyObject* df = a[1];
    ref none_text = pyapi::str("None");
    ref work = pyapi::call_method(df, "replace",
                                  {none_text.get(), pyapi::attr(global(module, "np"), "nan").get()});
    if (!work) return nullptr;
    ref cols = pyapi::attr(pyapi::attr(df, "columns"), "values");
    if (!cols) return nullptr;

    outcome fast = fast::med_norm(module, self, work.get());
    if (!fast.declined()) return fast.take().release();

    ref medians = pyapi::call_method(self, "median_df", {work.get()}, {{"cols", cols.get()}});
    if (!medians) return nullptr;
    const Py_ssize_t n = PyObject_Length(cols.get());
    if (n < 0) return nullptr;
    PyObject* float_type = reinterpret_cast<PyObject*>(&PyFloat_Type);
    pyapi::interrupt_scope ctrl_c;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (pyapi::check_interrupt() < 0) return nullptr;
        ref col = at(cols.get(), i);
        ref med = at(medians.get(), i);
        if (!col || !med) return nullptr;
        ref values = ref::steal(PySequence_List(pyapi::item(work.get(), col.get()).get()));
        if (!values) return nullptr;
        ref shifted = ref::steal(PyList_New(0));
        if (!shifted) return nullptr;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(values.get()); ++j) {
            PyObject* v = PyList_GET_ITEM(values.get(), j);
            ref nan = pyapi::attr(global(module, "np"), "nan");
            if (!nan) return nullptr;
            ref out;
            if (v == nan.get()) {
                out = nan;
            } else {
                ref f = ref::steal(PyNumber_Float(v));
                if (!f) return nullptr;
                out = ref::steal(PyNumber_Subtract(f.get(), med.get()));
            }
            if (!out || PyList_Append(shifted.get(), out.get()) < 0) return nullptr;
        }
        ref array = pyapi::call(pyapi::attr(global(module, "np"), "array"), {shifted.get()},
                                {{"dtype", float_type}});
        if (!array || PyObject_SetItem(work.get(), col.get(), array.get()) < 0) return nullptr;
    }
    return work.release();
}

PyObject* calc_medians(PyObject*, pyapi::bound_args& a) {
    PyObject* df = a[1];
    ref mask = pyapi::call_method(pyapi::attr(df, "index").get(), "isin", {a[2]});
    ref selected = pyapi::item(df, mask.get());
    if (!selected) return nullptr;
    return pyapi::call_method(a[0], "median_df", {selected.get()}).release();
}

PyObject* force_norm_df(PyObject* module, pyapi::bound_args& a) {
    ref work = pyapi::call_method(a[1], "copy", {}, {{"deep", Py_True}});
    if (!work) return nullptr;
    ref cols = ref::steal(PySequence_List(pyapi::attr(pyapi::attr(work, "columns"), "values").get()));
    if (!cols) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cols.get()); ++i) {
        PyObject* col = PyList_GET_ITEM(cols.get(), i);
        ref m = pyapi::call(pyapi::attr(global(module, "np"), "nanmedian"),
                            {pyapi::item(work.get(), col).get()});
        if (!m) return nullptr;
        ref current = pyapi::item(work.get(), col);
        if (!current) return nullptr;
        ref target = at(a[2], i);
        if (!target) return nullptr;
        ref shift = ref::steal(PyNumber_Subtract(m.get(), target.get()));
        if (!shift) return nullptr;
        ref shifted = ref::steal(PyNumber_InPlaceSubtract(current.get(), shift.get()));
        if (!shifted || PyObject_SetItem(work.get(), col, shifted.get()) < 0) return nullptr;
    }
    return work.release();
}

// Unpacks a test result into (statistic, p-value).
int unpack_pair(PyObject* result, ref (&out)[2]) {
    if (!result) return -1;
    return pyapi::unpack(result, 2, out);
}

// Appends a copy of `row` with the two new labels set, so nothing the caller
// owns is ever written (rows from iterrows may share the table's memory).
int append_tested_row(PyObject* rows, PyObject* row, PyObject* stat_label, PyObject* p_label,
                      ref (&pair)[2]) {
    if (PyObject_SetItem(row, stat_label, pair[0].get()) < 0 ||
        PyObject_SetItem(row, p_label, pair[1].get()) < 0)
        return -1;
    return PyList_Append(rows, row);
}

// The rows of df, one (label, row copy) at a time.
struct row_walk {
    ref it;
    int next(ref& row) {
        ref pair = ref::steal(PyIter_Next(it.get()));
        if (!pair) return PyErr_Occurred() ? -1 : 0;
        ref parts[2];
        if (pyapi::unpack(pair.get(), 2, parts) < 0) return -1;
        row = pyapi::call_method(parts[1].get(), "copy", {});
        return row ? 1 : -1;
    }
};

int walk_rows(PyObject* df, row_walk& walk) {
    walk.it = ref::steal(PyObject_GetIter(pyapi::call_method(df, "iterrows", {}).get()));
    return walk.it ? 0 : -1;
}

// x = np.array(row[labels], dtype=float)
ref group_values(PyObject* module, PyObject* row, PyObject* labels) {
    PyObject* float_type = reinterpret_cast<PyObject*>(&PyFloat_Type);
    return pyapi::call(pyapi::attr(global(module, "np"), "array"), {pyapi::item(row, labels).get()},
                       {{"dtype", float_type}});
}

// The fold changes of stat_test_two_samples, by fc_method.
ref fold_changes(PyObject* module, PyObject* df, PyObject* fc_method, PyObject* g1, PyObject* g2) {
    int is = pyapi::equals(fc_method, "group");
    if (is < 0) return {};
    if (is) {
        ref loc = pyapi::attr(df, "loc");
        ref all_rows = ref::steal(PySlice_New(nullptr, nullptr, nullptr));
        ref one = ref::steal(PyLong_FromLong(1));
        ref means[2];
        PyObject* groups[2] = {g1, g2};
        for (int k = 0; k < 2; ++k) {
            ref key = ref::steal(PyTuple_Pack(2, all_rows.get(), groups[k]));
            means[k] = pyapi::call_method(pyapi::item(loc.get(), key.get()).get(), "mean", {},
                                          {{"axis", one.get()}});
            if (!means[k]) return {};
        }
        return ref::steal(PyNumber_Subtract(means[0].get(), means[1].get()));
    }
    ref fold = ref::steal(PyList_New(0));
    if (!fold) return {};
    if ((is = pyapi::equals(fc_method, "paired")) < 0) return {};
    if (!is) return fold;
    ref it = ref::steal(PyObject_GetIter(pyapi::call_method(df, "iterrows", {}).get()));
    if (!it) return {};
    pyapi::interrupt_scope ctrl_c;
    while (ref pair = ref::steal(PyIter_Next(it.get()))) {
        if (pyapi::check_interrupt() < 0) return {};
        ref parts[2];
        if (pyapi::unpack(pair.get(), 2, parts) < 0) return {};
        PyObject* row = parts[1].get();
        ref fc = ref::steal(PyList_New(0));
        const Py_ssize_t n = PyObject_Length(g1);
        if (!fc || n < 0) return {};
        for (Py_ssize_t i = 0; i < n; ++i) {
            ref a1 = pyapi::item(row, at(g1, i).get());
            if (!a1) return {};
            ref a2 = pyapi::item(row, at(g2, i).get());
            if (!a2) return {};
            ref diff = ref::steal(PyNumber_Subtract(a1.get(), a2.get()));
            if (!diff || PyList_Append(fc.get(), diff.get()) < 0) return {};
        }
        ref mean = pyapi::call(pyapi::attr(global(module, "np"), "mean"), {fc.get()});
        if (!mean || PyList_Append(fold.get(), mean.get()) < 0) return {};
    }
    if (PyErr_Occurred()) return {};
    return fold;
}

// Multiple-testing adjustment that skips NaN p-values: the non-NaN ones are
// adjusted among themselves and NaN stays NaN; without NaN it is one
// multipletests call on the whole array.
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

// Adjusts rdf's column p_label and stores the result as prefix + method;
// 0, or -1 with an exception set.
// `fast_p`, when the fast route made rdf, is its p-value column as a
// float64 array (the values np.array(rdf[p_label], dtype=float) gives).
int store_adjusted(PyObject* module, PyObject* rdf, PyObject* p_label, PyObject* prefix,
                   PyObject* kwargs, PyObject* fast_p = nullptr) {
    PyObject* float_type = reinterpret_cast<PyObject*>(&PyFloat_Type);
    ref p = fast_p ? ref::borrow(fast_p)
                   : pyapi::call(pyapi::attr(global(module, "np"), "array"),
                                 {pyapi::item(rdf, p_label).get()}, {{"dtype", float_type}});
    if (!p) return -1;
    ref method = option(kwargs, "multipletest_method", "fdr_bh");
    if (!method) return -1;
    ref adjusted = adjust_pvalues(module, p.get(), method.get());
    if (!adjusted) return -1;
    ref label = ref::steal(PyNumber_Add(prefix, method.get()));
    if (!label) return -1;
    return PyObject_SetItem(rdf, label.get(), adjusted.get());
}

// The per-row loop of stat_test_two_samples: every row (a copy) with its
// statistic and p-value, gathered into a table.
ref tested_rows(PyObject* module, PyObject* df, PyObject* groups, PyObject* method,
                PyObject* kwargs) {
    ref rows = ref::steal(PyList_New(0));
    row_walk walk;
    if (!rows || walk_rows(df, walk) < 0) return {};
    pyapi::interrupt_scope ctrl_c;
    for (ref row;;) {
        if (pyapi::check_interrupt() < 0) return {};
        int more = walk.next(row);
        if (more < 0) return {};
        if (!more) break;
        ref x = group_values(module, row.get(), at(at(groups, 0).get(), 1).get());
        if (!x) return {};
        ref y = group_values(module, row.get(), at(at(groups, 1).get(), 1).get());
        if (!y) return {};
        ref test = global(module, "hypothesis_test");
        ref args = ref::steal(PyTuple_Pack(3, x.get(), y.get(), method));
        if (!test || !args) return {};
        ref pair[2];
        if (unpack_pair(ref::steal(PyObject_Call(test.get(), args.get(), kwargs)).get(), pair) < 0)
            return {};
        ref stat_label = joined(method, "_stat");
        ref p_label = joined(method, "_p");
        if (!stat_label || !p_label ||
            append_tested_row(rows.get(), row.get(), stat_label.get(), p_label.get(), pair) < 0)
            return {};
    }
    return pyapi::call(pyapi::attr(global(module, "pd"), "DataFrame"), {rows.get()});
}

PyObject* stat_test_two_samples(PyObject* module, pyapi::bound_args& a) {
    PyObject* df = a[1];
    PyObject* groups = a[2];
    PyObject* method = a[3];
    PyObject* kwargs = a.kwargs.get();
    ref fc_method = option(kwargs, "fold_change_method", "group");
    if (!fc_method) return nullptr;
    ref g1 = at(at(groups, 0).get(), 1);
    if (!g1) return nullptr;
    ref g2 = at(at(groups, 1).get(), 1);
    if (!g2) return nullptr;

    ref fast_fold, fast_p;
    outcome fast = fast::two_samples(module, df, groups, method, kwargs, fc_method.get(),
                                     fast_fold, fast_p);
    if (fast.failed()) return nullptr;
    ref rdf = fast.take();
    ref fold = fast_fold ? fast_fold
                         : fold_changes(module, df, fc_method.get(), g1.get(), g2.get());
    if (!fold) return nullptr;
    if (fast.declined()) {
        rdf = tested_rows(module, df, groups, method, kwargs);
        if (!rdf) return nullptr;
    }
    ref p_label = joined(method, "_p");
    ref prefix = joined(method, "_");
    if (!p_label || !prefix ||
        store_adjusted(module, rdf.get(), p_label.get(), prefix.get(), kwargs, fast_p.get()) < 0)
        return nullptr;
    ref fc_label = joined(fc_method.get(), "_fc");
    if (!fc_label || PyObject_SetItem(rdf.get(), fc_label.get(), fold.get()) < 0) return nullptr;
    return rdf.release();
}

// The per-row loop of stat_test_oneway: every row (a copy) with the one-way
// statistic and p-value of its groups, gathered into a table.
ref oneway_rows(PyObject* module, PyObject* df, PyObject* groups) {
    ref stat_label = pyapi::str("oneway_stat");
    ref p_label = pyapi::str("oneway_p");
    ref rows = ref::steal(PyList_New(0));
    row_walk walk;
    if (!stat_label || !p_label || !rows || walk_rows(df, walk) < 0) return {};
    pyapi::interrupt_scope ctrl_c;
    for (ref row;;) {
        if (pyapi::check_interrupt() < 0) return {};
        int more = walk.next(row);
        if (more < 0) return {};
        if (!more) break;
        ref data = ref::steal(PyList_New(0));
        ref it = ref::steal(PyObject_GetIter(groups));
        if (!data || !it) return {};
        while (ref group = ref::steal(PyIter_Next(it.get()))) {
            ref values = group_values(module, row.get(), at(group.get(), 1).get());
            if (!values || PyList_Append(data.get(), values.get()) < 0) return {};
        }
        if (PyErr_Occurred()) return {};
        ref args = ref::steal(PyList_AsTuple(data.get()));
        ref test = global(module, "f_oneway");
        if (!args || !test) return {};
        ref pair[2];
        if (unpack_pair(ref::steal(PyObject_Call(test.get(), args.get(), nullptr)).get(), pair) < 0)
            return {};
        if (append_tested_row(rows.get(), row.get(), stat_label.get(), p_label.get(), pair) < 0)
            return {};
    }
    return pyapi::call(pyapi::attr(global(module, "pd"), "DataFrame"), {rows.get()});
}

PyObject* stat_test_oneway(PyObject* module, pyapi::bound_args& a) {
    PyObject* df = a[1];
    PyObject* groups = a[2];
    PyObject* kwargs = a.kwargs.get();

    ref fast_p;
    outcome fast = fast::oneway(module, df, groups, fast_p);
    if (fast.failed()) return nullptr;
    ref rdf = fast.take();
    if (fast.declined()) {
        rdf = oneway_rows(module, df, groups);
        if (!rdf) return nullptr;
    }
    ref p_label = pyapi::str("oneway_p");
    if (!p_label) return nullptr;
    ref prefix = pyapi::str("oneway_");
    if (!prefix ||
        store_adjusted(module, rdf.get(), p_label.get(), prefix.get(), kwargs, fast_p.get()) < 0)
        return nullptr;
    return rdf.release();
}

using pyapi::param;
using pyapi::text_default;

// Vetting's methods, in the order the class defines them.
const pyapi::function_spec methods[] = {
    {"__init__", {{{"self"}, {"param"}}}, false, init},
    {"build_out_table_path", {{{"self"}, {"tag"}}}, false, build_out_table_path},
    {"buil_out_figure_path", {{{"self"}, {"tag"}}}, false, buil_out_figure_path},
    {"pca", {{{"self"}, {"data"}}}, false, placeholder},
    {"pca3d", {{{"self"}, {"data"}}}, false, placeholder},
    {"normalization", {{{"self"}, {"df"}, {"method", text_default("med_norm")}}}, true, normalization},
    {"median_df", {{{"self"}, {"df"}}}, true, median_df},
    {"med_norm", {{{"self"}, {"df"}}}, true, med_norm},
    {"calc_medians", {{{"self"}, {"df"}, {"names"}}}, false, calc_medians},
    {"force_norm_df", {{{"self"}, {"df"}, {"medians"}}}, false, force_norm_df},
    {"detect_outlie", {{{"self"}, {"data"}}}, false, placeholder},
    {"detect_outlie2", {{{"self"}, {"data1"}, {"data2"}}}, false, placeholder},
    {"detect_outlie3", {{{"self"}, {"data_sets"}}}, false, placeholder},
    {"profiling", {{{"self"}, {"data"}}}, false, placeholder},
    {"count_features_per_sample", {{{"self"}, {"data"}}}, false, no_op},
    {"plot_counts", {{{"self"}, {"data"}, {"count"}}}, false, no_op},
    {"plot_normaliztion_result", {{{"self"}, {"data"}, {"result"}}}, false, no_op},
    {"plot_outlie", {{{"self"}, {"data"}}}, false, no_op},
    {"noise_filter", {{{"self"}, {"data"}}}, false, placeholder},
    {"stat_test_two_samples", {{{"self"}, {"df"}, {"groups"}, {"method"}}}, true,
     stat_test_two_samples},
    {"stat_test_oneway", {{{"self"}, {"df"}, {"groups"}}}, true, stat_test_oneway},
};

// Captures the library objects the fast routes check the namespace against.
int capture_state(PyObject* module) {
    auto& objects = state_of(module)->objects;
    ref np = global(module, "np");
    ref pd = global(module, "pd");
    ref dtype = pyapi::attr(np, "dtype");
    if (objects.set(object::numpy, np) < 0 || objects.set(object::pandas, pd) < 0 ||
        objects.set(object::math, global(module, "math")) < 0 ||
        objects.set(object::hypothesis_test, global(module, "hypothesis_test")) < 0 ||
        objects.set(object::f_oneway, global(module, "f_oneway")) < 0 ||
        objects.set(object::multipletests, global(module, "multipletests")) < 0 ||
        objects.set(object::frame_type, pyapi::attr(pd, "DataFrame")) < 0 ||
        objects.set(object::float64, pyapi::call(dtype, {ref(pyapi::str("float64")).get()})) < 0 ||
        objects.set(object::int64, pyapi::call(dtype, {ref(pyapi::str("int64")).get()})) < 0 ||
        objects.set(object::agreed_shapes, ref::steal(PyDict_New())) < 0)
        return -1;
    return 0;
}

int exec_module(PyObject* module) {
    if (pyapi::ready_function_type() < 0) return -1;
    if (!pyapi::import_as(module, "pandas", "pd") || !pyapi::import_as(module, "numpy", "np") ||
        !pyapi::import_as(module, "math", "math") ||
        !pyapi::import_name(module, "stat", "hypothesis_test", 1) ||
        !pyapi::import_name(module, "result", "Result", 1) ||
        !pyapi::import_name(module, "scipy.stats", "f_oneway", 0) ||
        !pyapi::import_name(module, "statsmodels.stats.multitest", "multipletests", 0))
        return -1;
    if (capture_state(module) < 0) return -1;
    return pyapi::define_class(module, "Vetting", methods, sizeof methods / sizeof methods[0]);
}

}  // namespace
}  // namespace tessera::vetting

PyMODINIT_FUNC PyInit_vetting() {
    using namespace tessera::vetting;
    return tessera::pyapi::module_init<module_state>("vetting", exec_module);
}
