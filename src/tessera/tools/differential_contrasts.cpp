// test_contrasts: limma's moderated tests of contrasts on any design.
//
// The samples frame names the columns that take part and the variables of
// the design; formulaic builds the design matrix from the formula (or the
// caller gives it), its column names written as R's model.matrix writes
// them (conditionB, not condition[T.B]) so that contrasts read as limma's
// makeContrasts reads them. The kernels estimate the sample weights and the
// block correlation when asked, fit every feature on its measured values,
// take the contrasts and moderate the variances; the p-values come from
// scipy.special and the adjusted ones from statsmodels, as test_features'.
#include "differential.hpp"

#include "pyapi/call.hpp"
#include "pyapi/gil.hpp"
#include "pyapi/interrupts.hpp"
#include "pyapi/quiet.hpp"

#include "kernels/array_weights.hpp"
#include "kernels/contrast_expressions.hpp"
#include "kernels/duplicate_correlation.hpp"
#include "kernels/linear_model.hpp"
#include "kernels/moderated.hpp"

#include <cmath>
#include <map>
#include <string>

namespace tessera::differential {

namespace {

namespace md = kernels::moderated;
namespace lm = kernels::linear_model;

PyObject* numpy_of(module_state* st) { return (*st)[object::numpy]; }

// One call of test_contrasts once its arguments are read.
struct contrast_run {
    module_state* st = nullptr;
    PyObject* df = nullptr;
    PyObject* samples = nullptr;
    ref labels;                          // list: the sample labels, in order
    std::vector<Py_ssize_t> positions;   // their columns in df
    std::vector<std::string> coef_names;
    std::vector<double> design;          // samples x coefs, row-major
    std::vector<ref> contrast_names;
    std::vector<double> contrasts;       // coefs x k, row-major
    std::vector<int> block;
    std::size_t blocks = 0;
    bool sample_weights = false, trend = false, robust = false, legacy = false;
    double lfc = 0;
    PyObject* correction = nullptr;
    std::size_t rows = 0;
    std::size_t samples_count() const { return positions.size(); }
    std::size_t k() const { return contrast_names.size(); }
};

// A Python str of UTF-8 text.
ref text(const std::string& s) {
    return ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// The UTF-8 text of a str; false with an exception set.
bool utf8(PyObject* s, std::string& out) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s, &size);
    if (!data) return false;
    out.assign(data, static_cast<std::size_t>(size));
    return true;
}

int read_samples(contrast_run& run, PyObject* samples) {
    const int is_frame = PyObject_IsInstance(samples, (*run.st)[object::frame_type]);
    if (is_frame < 0) return -1;
    if (!is_frame) {
        return pyapi::refuse(PyExc_TypeError, {"samples", nullptr, nullptr, samples},
                             "samples must be a pandas DataFrame indexed by the column labels of "
                             "df, one column per design variable, got %.200s",
                             Py_TYPE(samples)->tp_name);
    }
    run.samples = samples;
    ref index = pyapi::attr(samples, "index");
    run.labels = ref::steal(index ? PySequence_List(index.get()) : nullptr);
    if (!run.labels) return -1;
    if (PyList_GET_SIZE(run.labels.get()) == 0)
        return pyapi::refuse(PyExc_ValueError, {"samples", nullptr, nullptr, samples},
                             "samples has no rows: name the columns of df that take part");
    return read_columns(run.st, run.df, run.labels.get(), run.positions);
}

// "condition[T.B]" -> "conditionB", "Intercept" -> "(Intercept)": the names
// R's model.matrix gives the same columns.
int r_names(PyObject* columns, std::vector<std::string>& names) {
    ref re = pyapi::import("re");
    ref pattern = pyapi::str(R"(\[(?:T\.)?([^\]]*)\])");
    ref replacement = pyapi::str(R"(\1)");
    ref listed = ref::steal(columns ? PySequence_List(columns) : nullptr);
    if (!re || !pattern || !replacement || !listed) return -1;
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(listed.get()); ++j) {
        ref label = ref::steal(PyObject_Str(PyList_GET_ITEM(listed.get(), j)));
        ref renamed = label ? pyapi::call(pyapi::attr(re, "sub"),
                                          {pattern.get(), replacement.get(), label.get()})
                            : ref();
        std::string name;
        if (!renamed || !utf8(renamed.get(), name)) return -1;
        names.push_back(name == "Intercept" ? "(Intercept)" : name);
    }
    return 0;
}

// The design matrix: from the formula by formulaic, or the caller's frame
// with its rows put in the order of the samples.
int read_design(contrast_run& run, PyObject* formula) {
    ref frame;
    std::vector<std::string>& names = run.coef_names;
    if (PyUnicode_Check(formula)) {
        ref formulaic = pyapi::import("formulaic");
        ref raise = pyapi::str("raise");
        frame = pyapi::call(pyapi::attr(formulaic, "model_matrix"), {formula, run.samples},
                            {{"na_action", raise.get()}});
        if (!frame || r_names(pyapi::attr(frame, "columns").get(), names) < 0) return -1;
    } else {
        const int is_frame = PyObject_IsInstance(formula, (*run.st)[object::frame_type]);
        if (is_frame < 0) return -1;
        if (!is_frame)
            return pyapi::refuse(PyExc_TypeError, {"formula", nullptr, nullptr, formula},
                                 "formula must be a formula string such as '~ 0 + condition' or "
                                 "a design matrix as a DataFrame (one row per sample), got %.200s",
                                 Py_TYPE(formula)->tp_name);
        ref index = pyapi::attr(formula, "index");
        ref same = index ? pyapi::call_method(index.get(), "equals",
                                              {pyapi::attr(run.samples, "index").get()})
                         : ref();
        ref sorted_rows = pyapi::call_method(index.get(), "sort_values", {});
        ref sorted_samples = pyapi::call_method(pyapi::attr(run.samples, "index").get(), "sort_values", {});
        ref same_set = sorted_rows && sorted_samples
                           ? pyapi::call_method(sorted_rows.get(), "equals", {sorted_samples.get()})
                           : ref();
        if (!same || !same_set) return -1;
        if (!PyObject_IsTrue(same_set.get()))
            return pyapi::refuse(PyExc_ValueError, {"formula"},
                                 "the design matrix's rows must be the samples: its index must "
                                 "hold the index labels of samples, each once");
        frame = PyObject_IsTrue(same.get()) ? ref::borrow(formula)
                                            : pyapi::item(pyapi::attr(formula, "loc").get(), run.labels.get());
        ref columns = frame ? pyapi::attr(frame, "columns") : ref();
        ref listed = ref::steal(columns ? PySequence_List(columns.get()) : nullptr);
        if (!listed) return -1;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(listed.get()); ++j) {
            ref label = ref::steal(PyObject_Str(PyList_GET_ITEM(listed.get(), j)));
            std::string name;
            if (!label || !utf8(label.get(), name)) return -1;
            names.push_back(name);
        }
    }
    ref f64 = pyapi::str("float64");
    ref values = pyapi::call_method(frame.get(), "to_numpy", {}, {{"dtype", f64.get()}});
    ref array = values ? pyapi::call(pyapi::attr(numpy_of(run.st), "ascontiguousarray"), {values.get()})
                       : ref();
    pyapi::buffer view;
    if (!array || view.acquire(array.get(), PyBUF_ND) < 0) return -1;
    const std::size_t n = run.samples_count(), p = names.size();
    if (view.ndim() != 2 || static_cast<std::size_t>(view.extent(0)) != n ||
        static_cast<std::size_t>(view.extent(1)) != p)
        return pyapi::refuse(PyExc_ValueError, {"formula"},
                             "the design matrix must have one row per sample");
    if (p == 0) return pyapi::refuse(PyExc_ValueError, {"formula"}, "the design matrix has no columns");
    const auto* cells = static_cast<const double*>(view.data());
    run.design.assign(cells, cells + n * p);
    for (double v : run.design)
        if (!std::isfinite(v))
            return pyapi::refuse(PyExc_ValueError, {"formula"},
                                 "the design matrix has a missing or infinite value");
    const std::vector<std::size_t> dependent = lm::dependent_columns(run.design.data(), n, p);
    if (!dependent.empty()) {
        // the dependent columns as a tuple of names, for callers that word it their own way
        std::string listed;
        ref names_of = ref::steal(PyTuple_New(static_cast<Py_ssize_t>(dependent.size())));
        if (!names_of) return -1;
        for (std::size_t i = 0; i < dependent.size(); ++i) {
            listed += (listed.empty() ? "'" : ", '") + names[dependent[i]] + "'";
            ref name = text(names[dependent[i]]);
            if (!name) return -1;
            PyTuple_SET_ITEM(names_of.get(), static_cast<Py_ssize_t>(i), name.release());
        }
        const bool one = dependent.size() == 1;
        return pyapi::refuse(PyExc_ValueError,
                             {"formula", PyTuple_GET_ITEM(names_of.get(), 0), nullptr, names_of.get()},
                             "the design matrix is not of full rank: %s %s linear combination%s "
                             "of the columns before %s; drop %s from the formula",
                             listed.c_str(), one ? "is a" : "are", one ? "" : "s",
                             one ? "it" : "them", one ? "it" : "them");
    }
    return 0;
}

// "'conditionA', 'conditionB'" for messages.
std::string quoted_names(const std::vector<std::string>& names) {
    std::string s;
    for (const std::string& n : names) s += (s.empty() ? "'" : ", '") + n + "'";
    return s;
}

int read_contrasts(contrast_run& run, PyObject* contrasts) {
    ref entries;
    bool mapping = false;
    if (!PyUnicode_Check(contrasts) && !PyBytes_Check(contrasts)) {
        const int is_mapping = PyObject_IsInstance(contrasts, (*run.st)[object::mapping_type]);
        if (is_mapping < 0) return -1;
        mapping = is_mapping;
        if (mapping)
            entries = ref::steal(PySequence_List(pyapi::call_method(contrasts, "items", {}).get()));
        else if (PyObject_HasAttrString(contrasts, "__iter__"))
            entries = ref::steal(PySequence_List(contrasts));
    }
    if (!entries) {
        if (!PyErr_Occurred())
            pyapi::refuse(PyExc_TypeError, {"contrasts", nullptr, nullptr, contrasts},
                          "contrasts must be a mapping {name: expression} or a list of "
                          "expressions, got %.200s",
                          Py_TYPE(contrasts)->tp_name);
        return -1;
    }
    const Py_ssize_t k = PyList_GET_SIZE(entries.get());
    if (k == 0)
        return pyapi::refuse(PyExc_ValueError, {"contrasts", nullptr, nullptr, contrasts},
                             "contrasts is empty: give at least one contrast");
    const std::size_t p = run.coef_names.size();
    run.contrasts.assign(p * static_cast<std::size_t>(k), 0.0);
    for (Py_ssize_t c = 0; c < k; ++c) {
        PyObject* entry = PyList_GET_ITEM(entries.get(), c);
        ref name = mapping ? pyapi::item(entry, Py_ssize_t{0}) : ref::borrow(entry);
        ref expression = mapping ? pyapi::item(entry, Py_ssize_t{1}) : ref::borrow(entry);
        if (!name || !expression) return -1;
        if (!PyUnicode_Check(name.get()) || PyUnicode_GetLength(name.get()) == 0)
            return pyapi::refuse(PyExc_ValueError, {"contrasts", nullptr, nullptr, name.get()},
                                 "contrast names must be non-empty strings, got %R", name.get());
        if (!PyUnicode_Check(expression.get()))
            return pyapi::refuse(PyExc_TypeError, {"contrasts", nullptr, nullptr, name.get()},
                                 "contrast %R: its expression must be a string, got %R", name.get(),
                                 expression.get());
        for (const ref& seen : run.contrast_names) {
            const int same = PyObject_RichCompareBool(seen.get(), name.get(), Py_EQ);
            if (same < 0) return -1;
            if (same)
                return pyapi::refuse(PyExc_ValueError, {"contrasts", nullptr, nullptr, name.get()},
                                     "contrast name %R is used twice", name.get());
        }
        std::string source;
        if (!utf8(expression.get(), source)) return -1;
        const kernels::contrast_expressions::parsed parsed =
            kernels::contrast_expressions::parse(source, run.coef_names);
        if (!parsed.error.empty()) {
            // column: the name that is no coefficient of the design, if that is what is wrong
            ref unknown = parsed.unknown.empty() ? ref::borrow(Py_None) : text(parsed.unknown);
            if (!unknown) return -1;
            return pyapi::refuse(PyExc_ValueError,
                                 {"contrasts", parsed.unknown.empty() ? nullptr : unknown.get(),
                                  nullptr, name.get()},
                                 "contrast %R: cannot read %R: %s (the design's columns are %s; "
                                 "write a name that is not an R name between backquotes)",
                                 name.get(), expression.get(), parsed.error.c_str(),
                                 quoted_names(run.coef_names).c_str());
        }
        for (std::size_t j = 0; j < p; ++j) run.contrasts[j * static_cast<std::size_t>(k) + c] = parsed.weights[j];
        run.contrast_names.push_back(name);
    }
    return 0;
}

// The block of each sample: the levels of a samples column, numbered in order of appearance.
int read_block(contrast_run& run, PyObject* block) {
    if (block == Py_None) return 0;
    ref columns = pyapi::attr(run.samples, "columns");
    const int known = columns ? PySequence_Contains(columns.get(), block) : -1;
    if (known < 0) return -1;
    if (!known)
        return pyapi::refuse(PyExc_ValueError, {"block", nullptr, nullptr, block},
                             "block %R is not a column of samples", block);
    ref values = pyapi::item(run.samples, block);
    ref missing = values ? pyapi::call_method(pyapi::call_method(values.get(), "isna", {}).get(), "any", {})
                         : ref();
    if (!missing) return -1;
    if (PyObject_IsTrue(missing.get()))
        return pyapi::refuse(PyExc_ValueError, {"block", nullptr, nullptr, block},
                             "block %R: a sample has no value", block);
    ref pair = pyapi::call(pyapi::attr((*run.st)[object::pandas], "factorize"), {values.get()});
    ref parts[2];
    if (!pair || pyapi::unpack(pair.get(), 2, parts) < 0) return -1;
    ref codes = pyapi::call_method(parts[0].get(), "tolist", {});
    if (!codes) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(codes.get()); ++i) {
        const long code = PyLong_AsLong(PyList_GET_ITEM(codes.get(), i));
        if (code == -1 && PyErr_Occurred()) return -1;
        run.block.push_back(static_cast<int>(code));
    }
    const Py_ssize_t levels = PyObject_Length(parts[1].get());
    if (levels < 0) return -1;
    run.blocks = static_cast<std::size_t>(levels);
    return 0;
}

int read_flag(PyObject* value, bool& out) {
    const int set = PyObject_IsTrue(value);
    if (set < 0) return -1;
    out = set;
    return 0;
}

int read_options(contrast_run& run, pyapi::bound_args& a) {
    if (read_flag(a[5], run.sample_weights) < 0 || read_flag(a[7], run.trend) < 0 ||
        read_flag(a[8], run.robust) < 0 || read_flag(a[9], run.legacy) < 0)
        return -1;
    PyObject* lfc = a[6];
    if (PyBool_Check(lfc) || PyUnicode_Check(lfc) || !PyNumber_Check(lfc))
        return pyapi::refuse(PyExc_TypeError, {"lfc", nullptr, nullptr, lfc},
                             "lfc must be a number, got %R", lfc);
    run.lfc = PyFloat_AsDouble(lfc);
    if (run.lfc == -1.0 && PyErr_Occurred()) return -1;
    if (!(run.lfc >= 0 && std::isfinite(run.lfc)))
        return pyapi::refuse(PyExc_ValueError, {"lfc", nullptr, nullptr, lfc},
                             "lfc must be a finite number of 0 or more, got %R", lfc);
    run.correction = a[10];
    return check_correction(run.st, run.correction);
}

// The labels of the columns test_contrasts adds, in order.
int result_labels(const contrast_run& run, std::vector<ref>& labels) {
    for (const ref& name : run.contrast_names) {
        labels.push_back(ref::steal(PyUnicode_FromFormat("%U_logfc", name.get())));
        labels.push_back(ref::steal(PyUnicode_FromFormat("%U_t", name.get())));
        labels.push_back(ref::steal(PyUnicode_FromFormat("%U_p", name.get())));
        labels.push_back(ref::steal(PyUnicode_FromFormat("%U_%U", name.get(), run.correction)));
        if (run.lfc == 0) labels.push_back(ref::steal(PyUnicode_FromFormat("%U_B", name.get())));
    }
    if (run.k() >= 2) {
        labels.push_back(pyapi::str("F"));
        labels.push_back(pyapi::str("F_p"));
        labels.push_back(ref::steal(PyUnicode_FromFormat("F_%U", run.correction)));
    }
    for (const char* name : {"df_residual", "df_total", "s2_post", "n_obs", "note"})
        labels.push_back(pyapi::str(name));
    for (const ref& label : labels)
        if (!label) return -1;
    ref columns = pyapi::attr(run.df, "columns");
    if (!columns) return -1;
    for (const ref& label : labels) {
        const int present = PySequence_Contains(columns.get(), label.get());
        if (present < 0) return -1;
        if (present)
            return pyapi::refuse(PyExc_ValueError, {"df", label.get()},
                                 "the table already has a column %R, which test_contrasts adds; "
                                 "rename or drop it first",
                                 label.get());
    }
    return 0;
}

// A new float64 array of the n values at `values`, every `stride`-th one.
ref values_array(module_state* st, const double* values, std::size_t n, std::size_t stride = 1) {
    frames::output_column out(numpy_of(st), n);
    if (!out) return {};
    double* cells = out.data();
    for (std::size_t i = 0; i < n; ++i) cells[i] = values[i * stride];
    return out.take();
}

// A float64 array's values, held.
struct held_values {
    ref array;
    pyapi::buffer view;
    const double* data() const { return static_cast<const double*>(view.data()); }
};

int hold(module_state* st, PyObject* obj, std::size_t n, held_values& out) {
    ref f64 = pyapi::str("float64");
    out.array = pyapi::call(pyapi::attr(numpy_of(st), "ascontiguousarray"), {obj}, {{"dtype", f64.get()}});
    if (!out.array || out.view.acquire(out.array.get(), PyBUF_FORMAT) < 0) return -1;
    if (out.view.itemsize() != 8 || static_cast<std::size_t>(out.view.length()) != n) {
        PyErr_SetString(PyExc_SystemError, "a library result has another shape");
        return -1;
    }
    return 0;
}

// The p-value of the moderated F, in the tail: fdtrc(df1, df2, F), or
// chdtrc(df1, df1 * F) where df2 is infinite, which fdtrc does not take.
ref f_p_value(const contrast_run& run, const md::contrast_output& out) {
    module_state* st = run.st;
    ref f = values_array(st, out.f.data(), run.rows);
    ref df2 = values_array(st, out.f_df2.data(), run.rows);
    ref df1 = ref::steal(PyLong_FromSize_t(out.f_df1));
    if (!f || !df2 || !df1) return {};
    ref tail = pyapi::call((*st)[object::fdtrc], {df1.get(), df2.get(), f.get()});
    held_values finite_tail;
    if (!tail || hold(st, tail.get(), run.rows, finite_tail) < 0) return {};
    std::vector<std::size_t> infinite;
    for (std::size_t r = 0; r < run.rows; ++r)
        if (std::isinf(out.f_df2[r])) infinite.push_back(r);
    if (infinite.empty()) return finite_tail.array;
    ref scaled = ref::steal(PyNumber_Multiply(df1.get(), f.get()));
    ref chi = scaled ? pyapi::call((*st)[object::chdtrc], {df1.get(), scaled.get()}) : ref();
    held_values chi_tail;
    if (!chi || hold(st, chi.get(), run.rows, chi_tail) < 0) return {};
    frames::output_column p(numpy_of(st), run.rows);
    if (!p) return {};
    std::copy(finite_tail.data(), finite_tail.data() + run.rows, p.data());
    for (std::size_t r : infinite) p.data()[r] = chi_tail.data()[r];
    return p.take();
}

// The two-sided p-value of t with df degrees of freedom, P(|T| > |t|), as
// the upper tail of F(1, df) at t^2: fdtrc(1, df, t^2). It agrees with
// 2 * stdtr(df, -|t|) to 1e-13 relative in the farthest tails and takes a
// sixteenth of its time.
ref two_sided_p(const contrast_run& run, PyObject* t, PyObject* df) {
    ref squared = ref::steal(PyNumber_Multiply(t, t));
    ref one = ref::steal(PyLong_FromLong(1));
    return squared && one ? pyapi::call((*run.st)[object::fdtrc], {one.get(), df, squared.get()}) : ref();
}

// limma's treat p-value: the upper tails beyond +lfc and beyond -lfc.
ref treat_p_value(const contrast_run& run, const md::contrast_output& out, std::size_t j,
                  PyObject* df) {
    module_state* st = run.st;
    const std::size_t k = run.k();
    ref right = values_array(st, out.treat_right.data() + j, run.rows, k);
    ref left = values_array(st, out.treat_left.data() + j, run.rows, k);
    ref minus_right = ref::steal(right ? PyNumber_Negative(right.get()) : nullptr);
    ref minus_left = ref::steal(left ? PyNumber_Negative(left.get()) : nullptr);
    ref upper_right = minus_right ? pyapi::call((*st)[object::stdtr], {df, minus_right.get()}) : ref();
    ref upper_left = minus_left ? pyapi::call((*st)[object::stdtr], {df, minus_left.get()}) : ref();
    return ref::steal(upper_right && upper_left ? PyNumber_Add(upper_right.get(), upper_left.get())
                                                : nullptr);
}

// Why a feature has no result: "" when it has one.
struct note_maker {
    const contrast_run& run;
    const md::contrast_output& out;
    std::map<std::vector<bool>, ref> cache;
    ref empty = pyapi::str("");
    ref nothing = pyapi::str("no measured value");
    ref no_variance = pyapi::str("no variance in the measured values and no prior variance");

    ref operator()(std::size_t r, const double* p_values) {
        const std::size_t p = run.coef_names.size(), k = run.k();
        if (out.fit.n_obs[r] == 0) return nothing;
        std::vector<bool> key(p + k, false);
        bool any = false;
        for (std::size_t c = 0; c < k; ++c) {
            if (!std::isnan(out.logfc[r * k + c])) continue;
            for (std::size_t j = 0; j < p; ++j)
                if (run.contrasts[j * k + c] != 0 && std::isnan(out.fit.coef[r * p + j])) {
                    key[j] = true;
                    key[p + c] = true;
                    any = true;
                }
        }
        if (!any) {
            bool missing = false;
            for (std::size_t c = 0; c < k; ++c) missing = missing || std::isnan(p_values[r * k + c]);
            return missing ? no_variance : empty;
        }
        ref& cached = cache[key];
        if (!cached) {
            std::string coefs;
            for (std::size_t j = 0; j < p; ++j)
                if (key[j]) coefs += (coefs.empty() ? "" : ", ") + run.coef_names[j];
            ref joined = pyapi::str(", ");
            ref names = ref::steal(PyList_New(0));
            if (!joined || !names) return {};
            for (std::size_t c = 0; c < k; ++c)
                if (key[p + c] && PyList_Append(names.get(), run.contrast_names[c].get()) < 0) return {};
            ref listed = ref::steal(PyUnicode_Join(joined.get(), names.get()));
            if (!listed) return {};
            cached = ref::steal(PyUnicode_FromFormat(
                "%s cannot be estimated from the measured values, so %U %s no result", coefs.c_str(),
                listed.get(), PyList_GET_SIZE(names.get()) == 1 ? "has" : "have"));
        }
        return cached;
    }
};

// result.attrs["moderated"]: the prior, and what was estimated on the way.
ref moderated_attrs(const contrast_run& run, const md::contrast_output& out, double correlation,
                    const std::vector<double>& weights) {
    auto entry = [&](const std::vector<double>& values, bool per_row) {
        if (per_row) return values_array(run.st, values.data(), run.rows);
        return ref::steal(PyFloat_FromDouble(run.rows ? values[0] : std::nan("")));
    };
    ref dict = ref::steal(PyDict_New());
    ref s2 = entry(out.s2_prior, run.trend);
    ref df = entry(out.df_prior, run.robust);
    const bool fitted = !out.s2_prior.empty() && (run.rows == 0 || !std::isnan(out.df_prior[0]));
    ref estimate = fitted ? pyapi::str(out.prior.likelihood ? "likelihood" : "classic")
                          : ref::borrow(Py_None);
    if (!dict || !s2 || !df || !estimate || PyDict_SetItemString(dict.get(), "s2_prior", s2.get()) < 0 ||
        PyDict_SetItemString(dict.get(), "df_prior", df.get()) < 0 ||
        PyDict_SetItemString(dict.get(), "estimate", estimate.get()) < 0)
        return {};
    if (!run.block.empty()) {
        ref rho = ref::steal(PyFloat_FromDouble(correlation));
        if (!rho || PyDict_SetItemString(dict.get(), "block_correlation", rho.get()) < 0) return {};
    }
    if (run.sample_weights) {
        ref values = values_array(run.st, weights.data(), weights.size());
        ref series = values ? pyapi::call(pyapi::attr((*run.st)[object::pandas], "Series"), {values.get()},
                                          {{"index", run.labels.get()}})
                            : ref();
        if (!series || PyDict_SetItemString(dict.get(), "sample_weights", series.get()) < 0) return {};
    }
    return dict;
}

// A fit the kernel could not complete: ValueError saying why.
int refuse(const contrast_run& run, const md::contrast_output& out, md::status status) {
    if (status == md::not_built) {
        const char* which = run.trend && run.robust ? "trend=True with robust=True"
                            : run.trend             ? "trend=True"
                                                    : "robust=True";
        pyapi::refuse(PyExc_ValueError, {run.trend ? "trend" : "robust"},
                      "%s is not built for the likelihood estimate of the prior, which "
                      "legacy=False takes when the residual degrees of freedom differ between "
                      "features (as missing values make them); pass legacy=True for the classic "
                      "estimate",
                      which);
    } else if (status == md::no_residual_df) {
        pyapi::refuse(PyExc_ValueError, {"df"},
                      "no feature has a residual degree of freedom (more measured values than "
                      "estimable coefficients), so the table gives no variance to estimate the "
                      "prior from");
    } else {
        std::size_t with_df = 0, positive = 0;
        for (std::size_t r = 0; r < run.rows; ++r) {
            if (!(out.fit.df_residual[r] > 0) || !std::isfinite(out.fit.s2[r])) continue;
            ++with_df;
            positive += out.fit.s2[r] > 0;
        }
        pyapi::refuse(PyExc_ValueError, {"df"},
                      "the prior of the variances cannot be estimated from this table: %zu "
                      "feature%s a finite residual variance, %zu of them above 0",
                      with_df, with_df == 1 ? " has" : "s have", positive);
    }
    return -1;
}

}  // namespace

PyObject* test_contrasts(PyObject* module, pyapi::bound_args& a) {
    // from the start: building the design runs Python code, where a press
    // can land in a callback that drops its exception
    pyapi::interrupt_scope ctrl_c;
    contrast_run run;
    run.st = state_of(module);
    run.df = a[0];
    if (check_frame(run.st, run.df) < 0 || read_samples(run, a[1]) < 0 || read_design(run, a[2]) < 0 ||
        read_contrasts(run, a[3]) < 0 || read_block(run, a[4]) < 0 || read_options(run, a) < 0)
        return nullptr;
    std::vector<ref> labels;
    if (result_labels(run, labels) < 0) return nullptr;
    float_columns columns;
    if (columns.load(run.st, run.df, run.positions) < 0) return nullptr;
    run.rows = columns.rows();
    const std::size_t n = run.samples_count(), p = run.coef_names.size(), k = run.k(), rows = run.rows;

    md::contrast_input in;
    in.rows = rows;
    in.model.design = run.design.data();
    in.model.samples = n;
    in.model.coefs = p;
    in.contrasts = run.contrasts.data();
    in.k = k;
    in.method = run.legacy ? md::estimate::classic : md::estimate::automatic;
    in.trend = run.trend;
    in.robust = run.robust;
    in.lfc = run.lfc;
    std::vector<double> values, weights;
    double correlation = 0;
    kernels::duplicate_correlation::outcome block_fit;
    md::contrast_output out;
    md::status status = md::ok;
    pyapi::cancel_watch watch;
    if (pyapi::without_gil([&] {
            values.resize(rows * n);
            const kernels::column_list list = columns.slice(0, n);
            kernels::interleave(&list, 1, rows, values.data());
            in.values = values.data();
            if (run.sample_weights) {
                weights = kernels::array_weights::estimate(values.data(), rows, run.design.data(), n, p,
                                                           pyapi::should_cancel, &watch);
                in.model.weights = weights.data();
            }
            if (!run.block.empty() && !watch.stopped) {
                block_fit = kernels::duplicate_correlation::estimate(
                    values.data(), rows, run.design.data(), n, p, run.block.data(), run.blocks,
                    in.model.weights, pyapi::should_cancel, &watch);
                correlation = block_fit.consensus;
                in.model.block = run.block.data();
                in.model.blocks = run.blocks;
                in.model.correlation = correlation;
            }
            if (!watch.stopped) status = md::contrast_fit(in, out, pyapi::should_cancel, &watch);
        }) < 0 ||
        watch.result() < 0 || pyapi::check_interrupt() < 0)
        return nullptr;
    if (block_fit.warning && PyErr_WarnEx(PyExc_RuntimeWarning, block_fit.warning, 1) < 0)
        return nullptr;
    // a table without a measured value (an empty one too) has nothing to
    // test: NaN everywhere and the notes say why, as test_features does
    bool nothing = status == md::no_residual_df;
    for (std::size_t r = 0; nothing && r < rows; ++r) nothing = out.fit.n_obs[r] == 0;
    if (status != md::ok && !nothing) {
        refuse(run, out, status);
        return nullptr;
    }
    if (nothing) {
        const double nan = std::nan("");
        for (auto* v : {&out.t, &out.treat_t, &out.treat_right, &out.treat_left})
            v->assign(rows * k, nan);
        for (auto* v : {&out.s2_prior, &out.df_prior, &out.s2_post, &out.df_total, &out.f, &out.f_df2})
            v->assign(rows, nan);
        out.f_df1 = 1;
    }

    std::vector<ref> added;
    std::vector<double> p_all(rows * k);
    ref df_total = values_array(run.st, out.df_total.data(), rows);
    if (!df_total) return nullptr;
    const int computed = pyapi::quietly([&] {
        for (std::size_t j = 0; j < k; ++j) {
            ref logfc = values_array(run.st, out.logfc.data() + j, rows, k);
            ref t = run.lfc > 0 ? values_array(run.st, out.treat_t.data() + j, rows, k)
                                : values_array(run.st, out.t.data() + j, rows, k);
            ref pv = run.lfc > 0 ? treat_p_value(run, out, j, df_total.get())
                                 : (t ? two_sided_p(run, t.get(), df_total.get()) : ref());
            held_values held;
            if (!logfc || !t || !pv || hold(run.st, pv.get(), rows, held) < 0) return -1;
            for (std::size_t r = 0; r < rows; ++r) p_all[r * k + j] = held.data()[r];
            ref adjusted_p = adjusted(run.st, held.array.get(), run.correction);
            if (!adjusted_p) return -1;
            added.insert(added.end(), {logfc, t, held.array, adjusted_p});
            if (run.lfc == 0) added.push_back(ref());  // B, filled below
        }
        if (k >= 2) {
            ref f = values_array(run.st, out.f.data(), rows);
            ref fp = f_p_value(run, out);
            ref adjusted_p = fp ? adjusted(run.st, fp.get(), run.correction) : ref();
            if (!f || !adjusted_p) return -1;
            added.insert(added.end(), {f, fp, adjusted_p});
        }
        return 0;
    });
    if (computed < 0) return nullptr;
    if (run.lfc == 0 && nothing) {
        for (std::size_t j = 0; j < k; ++j) {
            added[j * 5 + 4] = values_array(run.st, out.t.data() + j, rows, k);
            if (!added[j * 5 + 4]) return nullptr;
        }
    } else if (run.lfc == 0) {
        md::fit_output view;
        md::view_of(out, view);
        std::vector<double> lods(rows * k), var_prior(k);
        if (pyapi::without_gil([&] {
                md::moderated_lods(view, rows, k, p_all.data(), lods.data(), var_prior.data());
            }) < 0)
            return nullptr;
        for (std::size_t j = 0; j < k; ++j) {
            added[j * 5 + 4] = values_array(run.st, lods.data() + j, rows, k);
            if (!added[j * 5 + 4]) return nullptr;
        }
    }
    added.push_back(values_array(run.st, out.fit.df_residual.data(), rows));
    added.push_back(df_total);
    added.push_back(values_array(run.st, out.s2_post.data(), rows));
    added.push_back(values_array(run.st, out.fit.n_obs.data(), rows));
    note_maker note{run, out};
    ref notes = ref::steal(PyList_New(static_cast<Py_ssize_t>(rows)));
    if (!notes || !note.empty || !note.nothing || !note.no_variance) return nullptr;
    for (std::size_t r = 0; r < rows; ++r) {
        ref text_of = note(r, p_all.data());
        if (!text_of) return nullptr;
        PyList_SET_ITEM(notes.get(), static_cast<Py_ssize_t>(r), text_of.release());
    }
    added.push_back(notes);

    ref dict = ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t i = 0; i < labels.size(); ++i)
        if (!added[i] || PyDict_SetItem(dict.get(), labels[i].get(), added[i].get()) < 0) return nullptr;
    PyObject* pandas = (*run.st)[object::pandas];
    ref index = pyapi::attr(run.df, "index");
    ref frame = index ? pyapi::call((*run.st)[object::frame_type], {dict.get()}, {{"index", index.get()}})
                      : ref();
    ref pieces = ref::steal(frame ? PyList_New(2) : nullptr);
    if (!pieces) return nullptr;
    PyList_SET_ITEM(pieces.get(), 0, Py_NewRef(run.df));
    PyList_SET_ITEM(pieces.get(), 1, frame.release());
    ref one = ref::steal(PyLong_FromLong(1));
    ref result = one ? pyapi::call(pyapi::attr(pandas, "concat"), {pieces.get()}, {{"axis", one.get()}})
                     : ref();
    // df's attrs, as a copy of df would carry them, and the prior
    ref attrs = result ? pyapi::attr(result, "attrs") : ref();
    ref own = attrs ? pyapi::attr(run.df, "attrs") : ref();
    ref moderated = own ? moderated_attrs(run, out, correlation, weights) : ref();
    if (!moderated || PyDict_Update(attrs.get(), own.get()) < 0 ||
        PyDict_SetItemString(attrs.get(), "moderated", moderated.get()) < 0)
        return nullptr;
    return result.release();
}

}  // namespace tessera::differential
