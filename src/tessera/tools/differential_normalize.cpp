// normalize: each sample column shifted so that the features that did not
// change line up, with shifts estimated only from features measured in
// (nearly) every column.
//
// A column's median over the features it measured depends on which features
// it measured: a run that measured fewer features measured the more abundant
// ones, so its median is higher for reasons that have nothing to do with
// loading. The shifts here rest on the features every column (or nearly
// every column) measured, so each column is compared on the same features:
//   median_complete  the median over the features measured in every column;
//   ratio_median     the median of the column's log-ratios to a reference
//                    profile (the features' means), as DESeq's size factors
//                    (Anders and Huber 2010) but on log values;
//   ratio_mode       the peak of a Gaussian kernel density of those
//                    log-ratios (Silverman's bandwidth): it follows the
//                    largest population of unchanged features, where a
//                    median is pulled by features that changed in one
//                    direction more than in the other;
//   reference        ratio_median over features the caller names (a mask, or
//                    a pattern on the index or on an annotation).
// The profile's features are those measured in at least three quarters of
// the columns (all of them below four columns): few enough misses that the
// profile is a mean over most columns, many more features than the complete
// ones when there are many columns. A feature's profile value is the mean of
// its measured values each less its column's shift, iterated with the
// shifts, so a feature missing from a shifted column is not biased by it.
//
// The values must be on a log scale: subtracting a shift is a division of the
// intensities. A column whose measured values have a median above 64 (2**64
// as an intensity) is taken for linear values and refused.
#include "differential.hpp"

#include "kernels/shifts.hpp"
#include "pyapi/call.hpp"
#include "pyapi/gil.hpp"
#include "pyapi/interrupts.hpp"
#include "pyapi/numbers.hpp"
#include "pyapi/errors.hpp"

#include <cmath>
#include <cstring>

namespace tessera::differential {

namespace {

namespace ks = kernels::shifts;

// A column median above this is an intensity, not its logarithm.
constexpr double largest_log_median = 64.0;

// The methods: name, estimate, whether `reference` is required.
struct normalize_method {
    const char* name;
    ks::estimate estimate;
    bool needs_reference;
};

const normalize_method normalize_methods[] = {
    {"median_complete", ks::estimate::median_complete, false},
    {"ratio_median", ks::estimate::ratio_median, false},
    {"ratio_mode", ks::estimate::ratio_mode, false},
    {"reference", ks::estimate::ratio_median, true},
};

const normalize_method* find_normalize_method(PyObject* method) {
    if (PyUnicode_Check(method))
        for (const normalize_method& m : normalize_methods)
            if (PyUnicode_CompareWithASCIIString(method, m.name) == 0) return &m;
    if (PyErr_Occurred()) return nullptr;
    pyapi::refuse(PyExc_ValueError, {"method", nullptr, nullptr, method},
                  "unknown normalisation method %R: choose 'median_complete', 'ratio_median', "
                  "'ratio_mode' or 'reference'",
                  method);
    return nullptr;
}

// The column label at `position` of df.
ref column_label(PyObject* df, Py_ssize_t position) {
    return pyapi::item(pyapi::attr(df, "columns").get(), position);
}

// A 1-D numpy bool array of one cell per row, copied into `allowed`; 0, or -1.
int copy_mask(PyObject* mask, std::size_t rows, std::vector<std::uint8_t>& allowed) {
    pyapi::buffer view;
    if (view.acquire(mask, PyBUF_FORMAT | PyBUF_ND) < 0) return -1;
    if (view.ndim() != 1 || static_cast<std::size_t>(view.length()) != rows ||
        std::strcmp(view.format(), "?") != 0) {
        PyErr_SetString(PyExc_SystemError, "a mask of another shape or type");
        return -1;
    }
    const auto* cells = static_cast<const std::uint8_t*>(view.data());
    allowed.assign(cells, cells + rows);
    return 0;
}

// The dtype kind of obj ("b" for bool), or an empty handle.
ref dtype_kind(PyObject* obj) { return pyapi::attr(pyapi::attr(obj, "dtype").get(), "kind"); }

// 1 when obj is a Series on df's index, 0 when it is no Series; a Series on
// another index is refused (ValueError naming `parameter`), -1.
int series_on_index(module_state* st, PyObject* df, PyObject* obj, const char* parameter,
                    const char* what) {
    ref series_type = pyapi::attr((*st)[object::pandas], "Series");
    const int is_series = series_type ? PyObject_IsInstance(obj, series_type.get()) : -1;
    if (is_series <= 0) return is_series;
    ref same = pyapi::call_method(pyapi::attr(obj, "index").get(), "equals",
                                  {pyapi::attr(df, "index").get()});
    const int equal = same ? PyObject_IsTrue(same.get()) : -1;
    if (equal) return equal;
    return pyapi::refuse(PyExc_ValueError, {parameter, nullptr, nullptr, nullptr},
                         "%s: %s must have the table's index", parameter, what);
}

// A boolean mask given as a Series (on df's index) or an array-like of one
// cell per row, as a numpy bool array.
ref read_mask(module_state* st, PyObject* df, PyObject* mask, std::size_t rows) {
    PyObject* numpy = (*st)[object::numpy];
    const int is_series = series_on_index(st, df, mask, "reference", "a mask given as a Series");
    if (is_series < 0) return {};
    ref values;
    if (is_series) {
        values = pyapi::call_method(mask, "to_numpy", {});
    } else {
        values = pyapi::call(pyapi::attr(numpy, "asarray"), {mask});
    }
    ref kind = values ? dtype_kind(values.get()) : ref();
    if (!kind) return {};
    const int boolean = pyapi::equals(kind.get(), "b");
    if (boolean < 0) return {};
    ref shape = pyapi::attr(values, "shape");
    if (!shape) return {};
    const bool one_per_row = PyTuple_Check(shape.get()) && PyTuple_GET_SIZE(shape.get()) == 1 &&
                             PyLong_AsSsize_t(PyTuple_GET_ITEM(shape.get(), 0)) ==
                                 static_cast<Py_ssize_t>(rows);
    if (PyErr_Occurred()) return {};
    if (!boolean || !one_per_row) {
        PyErr_Format(PyExc_TypeError,
                     "reference must be a boolean mask of one value per row (%zu), or a pattern "
                     "(str); got %.200s of shape %R",
                     rows, Py_TYPE(mask)->tp_name, shape.get());
        return {};
    }
    ref f = pyapi::str("bool");
    return pyapi::call(pyapi::attr(numpy, "ascontiguousarray"), {values.get()}, {{"dtype", f.get()}});
}

// The text a pattern is searched in: df's index, a column of df named by
// `where`, or a Series on df's index; as pandas strings.
ref pattern_target(module_state* st, PyObject* df, PyObject* where) {
    ref text = pyapi::str("string");
    if (where == Py_None) {
        ref labels = pyapi::call_method(pyapi::attr(df, "index").get(), "map",
                                        {reinterpret_cast<PyObject*>(&PyUnicode_Type)});
        return pyapi::call_method(labels.get(), "astype", {text.get()});
    }
    const int is_series = series_on_index(st, df, where, "reference_column", "a Series");
    if (is_series < 0) return {};
    ref column;
    if (is_series) {
        column = ref::borrow(where);
    } else {
        ref columns = pyapi::attr(df, "columns");
        const int present = columns ? PySequence_Contains(columns.get(), where) : -1;
        if (present < 0) {
            // a label the columns cannot even hold (unhashable) names no column
            if (pyapi::clear_ordinary_error() < 0) return {};
        }
        ref found = present > 0 ? pyapi::call_method(columns.get(), "get_loc", {where}) : ref();
        if (present > 0 && !found) return {};
        if (!found || !PyLong_Check(found.get())) {
            pyapi::refuse(PyExc_ValueError, {"reference_column", where, nullptr, where},
                          "reference_column %R names no single column of the table", where);
            return {};
        }
        column = pyapi::call_method(df, "__getitem__", {where});
    }
    return column ? pyapi::call_method(column.get(), "astype", {text.get()}) : ref();
}

// The features a pattern (a regular expression searched in the text) selects.
ref pattern_mask(module_state* st, PyObject* df, PyObject* pattern, PyObject* where) {
    // compiled first, so that a bad pattern is refused the same way whatever
    // engine pandas' strings search with
    ref re = pyapi::import("re");
    ref re_error = pyapi::attr(re, "error");
    if (!re_error) return {};
    if (!pyapi::call(pyapi::attr(re, "compile"), {pattern})) {
        if (!PyErr_ExceptionMatches(re_error.get())) return {};
        PyErr_Clear();
        pyapi::refuse(PyExc_ValueError, {"reference", nullptr, nullptr, pattern},
                      "reference %R is not a regular expression", pattern);
        return {};
    }
    ref target = pattern_target(st, df, where);
    ref accessor = target ? pyapi::attr(target, "str") : ref();
    ref found = pyapi::call(pyapi::attr(accessor, "contains"), {pattern},
                            {{"regex", Py_True}, {"na", Py_False}});
    if (!found) return {};
    ref f = pyapi::str("bool");
    return pyapi::call_method(found.get(), "to_numpy", {}, {{"dtype", f.get()}});
}

// The features `reference` names (mask or pattern, searched where
// `reference_column` says); none named: allowed stays empty (every feature).
int read_reference(module_state* st, PyObject* df, const normalize_method& m, PyObject* reference,
                   PyObject* where, std::size_t rows, std::vector<std::uint8_t>& allowed) {
    if (reference == Py_None) {
        if (m.needs_reference)
            return pyapi::refuse(PyExc_ValueError, {"reference", nullptr, nullptr, nullptr},
                                 "method 'reference' needs the features to normalise on: a "
                                 "boolean mask, or a pattern (with reference_column for an "
                                 "annotation)");
        if (where != Py_None)
            return pyapi::refuse(PyExc_ValueError, {"reference_column", nullptr, nullptr, where},
                                 "reference_column applies to a pattern given as reference");
        return 0;
    }
    const bool pattern = PyUnicode_Check(reference);
    if (!pattern && where != Py_None)
        return pyapi::refuse(PyExc_ValueError, {"reference_column", nullptr, nullptr, where},
                             "reference_column applies to a pattern given as reference, not to "
                             "a mask");
    ref mask = pattern ? pattern_mask(st, df, reference, where) : read_mask(st, df, reference, rows);
    if (!mask || copy_mask(mask.get(), rows, allowed) < 0) return -1;
    for (std::uint8_t cell : allowed)
        if (cell) return 0;
    return pattern ? pyapi::refuse(PyExc_ValueError, {"reference", nullptr, nullptr, reference},
                                   "reference %R matches no feature", reference)
                   : pyapi::refuse(PyExc_ValueError, {"reference", nullptr, nullptr, nullptr},
                                   "reference selects no feature");
}

// ValueError for the first column whose measured values look linear.
int check_log_scale(PyObject* df, const std::vector<Py_ssize_t>& positions,
                    const kernels::column_list& table, std::size_t rows) {
    std::vector<double> medians(positions.size());
    if (pyapi::without_gil([&] { ks::measured_medians(table, rows, medians.data()); }) < 0)
        return -1;
    for (std::size_t c = 0; c < positions.size(); ++c) {
        if (!(medians[c] > largest_log_median)) continue;
        ref label = column_label(df, positions[c]);
        ref median = ref::steal(PyFloat_FromDouble(medians[c]));
        if (!label || !median) return -1;
        return pyapi::refuse(PyExc_ValueError, {"df", label.get(), nullptr, median.get()},
                             "column %R has median %R: normalize works on log values "
                             "(subtracting a shift divides the intensities), and these look "
                             "linear; log-transform the table first",
                             label.get(), median.get());
    }
    return 0;
}

// ValueError for the first column with fewer than `minimum` features to estimate its shift.
int check_features(PyObject* df, const normalize_method& m, const std::vector<Py_ssize_t>& positions,
                   const kernels::column_list& table, std::size_t rows,
                   const std::vector<std::uint8_t>& allowed, std::int64_t minimum) {
    std::vector<std::size_t> used(positions.size());
    if (pyapi::without_gil([&] {
            ks::features_used(table, rows, allowed.empty() ? nullptr : allowed.data(), m.estimate,
                              used.data());
        }) < 0)
        return -1;
    const std::size_t cols = positions.size(), need = ks::coverage(m.estimate, cols);
    for (std::size_t c = 0; c < cols; ++c) {
        if (static_cast<std::int64_t>(used[c]) >= minimum) continue;
        ref label = column_label(df, positions[c]);
        ref count = ref::steal(PyLong_FromSize_t(used[c]));
        if (!label || !count) return -1;
        return pyapi::refuse(PyExc_ValueError, {"min_features", label.get(), nullptr, count.get()},
                             "column %R: %zu feature%s%s measured in it and in at least %zu of the %zu columns, "
            "too few to estimate its shift (min_features=%lld)",
            label.get(), used[c], used[c] == 1 ? "" : "s", allowed.empty() ? "" : " of the reference",
            need, cols, static_cast<long long>(minimum));
    }
    return 0;
}

// The table with the columns at `positions` replaced by their shifted values.
ref shifted_table(module_state* st, PyObject* df, const std::vector<Py_ssize_t>& positions,
                  const kernels::column_list& table, std::size_t rows, const double* shifts) {
    frames::output_block out((*st)[object::numpy], positions.size(), rows);
    if (!out) return {};
    std::vector<double*> columns(positions.size());
    for (std::size_t c = 0; c < positions.size(); ++c) columns[c] = out.column(c);
    if (pyapi::without_gil([&] { ks::apply_shifts(table, rows, shifts, columns.data()); }) < 0)
        return {};
    ref block = out.take();
    ref result = pyapi::call_method(df, "copy", {}, {{"deep", Py_True}});
    if (!result) return {};
    for (std::size_t c = 0; c < positions.size(); ++c) {
        ref where = ref::steal(PyLong_FromSsize_t(positions[c]));
        ref column = pyapi::item(block.get(), static_cast<Py_ssize_t>(c));
        if (!where || !column ||
            !pyapi::call_method(result.get(), "isetitem", {where.get(), column.get()}))
            return {};
    }
    return result;
}

// The shifts as a Series named "shift", indexed by the columns' labels.
ref shift_series(module_state* st, PyObject* df, const std::vector<Py_ssize_t>& positions,
                 const std::vector<double>& shifts) {
    ref taken = ref::steal(PyList_New(static_cast<Py_ssize_t>(positions.size())));
    ref values = ref::steal(PyList_New(static_cast<Py_ssize_t>(positions.size())));
    if (!taken || !values) return {};
    for (std::size_t c = 0; c < positions.size(); ++c) {
        ref p = ref::steal(PyLong_FromSsize_t(positions[c]));
        ref v = ref::steal(PyFloat_FromDouble(shifts[c]));
        if (!p || !v) return {};
        PyList_SET_ITEM(taken.get(), static_cast<Py_ssize_t>(c), p.release());
        PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(c), v.release());
    }
    ref labels = pyapi::call_method(pyapi::attr(df, "columns").get(), "take", {taken.get()});
    ref name = pyapi::str("shift");
    ref f64 = ref::borrow((*st)[object::float64]);
    return pyapi::call(pyapi::attr((*st)[object::pandas], "Series"), {values.get()},
                       {{"index", labels.get()}, {"name", name.get()}, {"dtype", f64.get()}});
}

}  // namespace

PyObject* normalize(PyObject* module, pyapi::bound_args& a) {
    module_state* st = state_of(module);
    PyObject* df = a[0];
    const normalize_method* method = nullptr;
    std::int64_t minimum = 0;
    std::vector<Py_ssize_t> positions;
    if (check_frame(st, df) < 0 || !(method = find_normalize_method(a[2])) ||
        pyapi::read_count(a[5], "min_features", 0, minimum) < 0 ||
        read_columns(st, df, a[1], positions) < 0)
        return nullptr;
    if (minimum < 1) {
        pyapi::refuse(PyExc_ValueError, {"min_features", nullptr, nullptr, a[5]},
                      "min_features must be 1 or more, got %R", a[5]);
        return nullptr;
    }
    if (positions.size() < 2) {
        pyapi::refuse(PyExc_ValueError, {"columns", nullptr, nullptr, a[1]},
                      "normalize needs at least 2 columns to line up, got %zd",
                      static_cast<Py_ssize_t>(positions.size()));
        return nullptr;
    }
    float_columns values;
    std::vector<std::uint8_t> allowed;
    if (values.load(st, df, positions) < 0) return nullptr;
    const std::size_t rows = values.rows();
    const kernels::column_list table = values.slice(0, positions.size());
    if (check_log_scale(df, positions, table, rows) < 0 ||
        read_reference(st, df, *method, a[3], a[4], rows, allowed) < 0 ||
        check_features(df, *method, positions, table, rows, allowed, minimum) < 0)
        return nullptr;

    std::vector<double> shifts(positions.size());
    pyapi::interrupt_scope ctrl_c;
    pyapi::cancel_watch watch;
    bool done = false;
    if (pyapi::without_gil([&] {
            done = ks::estimate_shifts(table, rows, allowed.empty() ? nullptr : allowed.data(),
                                       method->estimate, shifts.data(), pyapi::should_cancel,
                                       &watch);
        }) < 0 ||
        (!done && watch.result() < 0))
        return nullptr;
    ref shifted = shifted_table(st, df, positions, table, rows, shifts.data());
    ref series = shifted ? shift_series(st, df, positions, shifts) : ref();
    if (!series) return nullptr;
    return PyTuple_Pack(2, shifted.get(), series.get());
}

}  // namespace tessera::differential
