// test_features: every feature tested on its measured values, with exactly
// the numbers of scipy's one-row call on them, or (method "moderated") of
// limma's empirical-Bayes moderated tests.
//
// The fast route is reference-exact, the reference route being the one-row
// call. The t statistics are computed in C for all rows (whatever their
// number of measured values) and their p-values by the special function
// scipy calls, over all rows at once. The rank tests and the analysis of
// variance group the rows by the shape scipy's one-row call would see (the
// sizes, and for the rank tests the computation scipy picks for them),
// compact each group's measured values into dense matrices and make one
// batched call per shape. The tests that need every value (paired_t,
// Wilcoxon, permutation) take Vetting's per-row test, stat.hypothesis_test,
// as their one-row call. The first row of each batched call and a spread of
// rows are then checked against the one-row call (looked up when it runs);
// if any differs, every row is tested by the one-row call instead.
//
// The moderated tests have no one-row call: a feature's result depends on
// the variances of all features. The kernel fits every row, the p-values come
// from scipy.special over all rows, and the rows not tested are blanked after.
#include "differential.hpp"
#include "permutation_rows.hpp"

#include "pyapi/call.hpp"
#include "pyapi/gil.hpp"
#include "pyapi/interrupts.hpp"
#include "pyapi/module.hpp"
#include "pyapi/numbers.hpp"
#include "pyapi/quiet.hpp"

#include "kernels/moderated.hpp"
#include "kernels/oneway.hpp"
#include "kernels/permutation.hpp"
#include "kernels/rowkinds.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <string>

namespace tessera::differential {

namespace {

PyObject* numpy_of(module_state* st) { return (*st)[object::numpy]; }

struct method_spec;
struct test_run;

// The one-row call of a method: fn(*samples, method) with kwargs (either
// may be empty), looked up when the call runs.
struct one_row_call {
    ref fn, method, kwargs;
    // 0, or -1 with an exception set.
    int prepare(const test_run& run);
};

int one_row(test_run& run, const one_row_call& call, std::size_t r, double& stat, double& p);

// One call of test_features once its arguments are checked.
struct test_run {
    module_state* st = nullptr;
    const method_spec* method = nullptr;
    group_table table;
    std::vector<const std::int64_t*> counts;  // measured values per group, one cell per row
    std::vector<std::uint8_t> tested;         // rows with enough measured values in every group
    std::size_t rows = 0;
    ref stat, p;                              // float64 arrays, one cell per row
    std::vector<std::size_t> batch_firsts;    // the first row of each batched library call
    bool trend = false, robust = false, legacy = false;  // options of the moderated tests
    std::vector<ref> own;                     // the method's own columns (method_spec::own_two/more)
    ref fold;                                 // group_fc, when the method gives its own
    ref prior;                                // moderated: the dict of result.attrs["moderated"]
    bool zero_variances = false;              // moderated: most residual variances are 0
};

// A method of test_features: its one-row call and how the batch computes it.
struct method_spec {
    const char* name;
    std::size_t min_groups, max_groups;  // max_groups 0: no upper limit
    std::int64_t floor;                  // fewest measured values per group the test takes
    bool paired;    // pairs the i-th column of the first group with the i-th of the second
    bool complete;  // tests a feature only when every value of its group columns is measured
    // The one-row call, if any: the scipy.stats function of that name on the
    // groups' measured values, or with `through_stat` tessera.tools.stat's
    // hypothesis_test(x, y, name), the per-row test of Vetting.
    const char* one_row;
    bool through_stat;
    int equal_var;                       // its equal_var argument: -1 none, 0 False, 1 True
    std::size_t spread_checks;           // tested rows checked besides one per batched call
    const char* no_variance;             // the note of a tested row whose values are all equal
    const char* no_p_value;              // the note of another tested row without a p-value
    bool moderated_options;              // takes trend, robust and legacy
    // Fills run.stat and run.p (and run.own, run.fold, run.prior where the
    // method has them): 1, 0 when a library call of the batch failed (the
    // one-row calls then run), -1 with an exception set.
    int (*batch)(test_run& run);
    // Suffixes of the method's own columns after the adjusted p-values, for
    // two groups and for more (nullptr-terminated).
    const char* own_two[3];
    const char* own_more[3];
};

const char* const* own_columns(const method_spec& m, std::size_t groups) {
    return groups == 2 ? m.own_two : m.own_more;
}

// A new float64 array of n NaN cells, held writable in view.
ref nan_column(module_state* st, std::size_t n, pyapi::buffer& view) {
    ref count = ref::steal(PyLong_FromSize_t(n));
    ref nan = pyapi::attr(numpy_of(st), "nan");
    ref array = pyapi::call(pyapi::attr(numpy_of(st), "full"), {count.get(), nan.get()});
    if (!array || view.acquire(array.get(), PyBUF_WRITABLE | PyBUF_FORMAT) < 0) return {};
    return array;
}

// A library result as a contiguous float64 array of n values held in view.
int library_values(module_state* st, PyObject* result, std::size_t n, ref& array,
                   pyapi::buffer& view) {
    ref f64 = pyapi::str("float64");
    array = pyapi::call(pyapi::attr(numpy_of(st), "ascontiguousarray"), {result},
                        {{"dtype", f64.get()}});
    if (!array || view.acquire(array.get(), PyBUF_FORMAT) < 0) return -1;
    if (view.itemsize() != 8 || static_cast<std::size_t>(view.length()) != n) {
        PyErr_SetString(PyExc_ValueError, "the library returned an array of another shape");
        return -1;
    }
    return 0;
}

// The one-row call failed or a library call of a batch did: an ordinary
// error gives 0 (the caller turns to the one-row calls), an interrupt -1.
int library_failed() { return pyapi::clear_ordinary_error() < 0 ? -1 : 0; }

// The two-sided p-value of t with df degrees of freedom, computed in the
// tail: 2 * stdtr(df, -|t|), as scipy evaluates it for one row.
ref two_sided_p(module_state* st, PyObject* t, PyObject* df) {
    ref minus_abs = ref::steal(
        PyNumber_Negative(pyapi::call(pyapi::attr(numpy_of(st), "abs"), {t}).get()));
    ref sf = pyapi::call((*st)[object::stdtr], {df, minus_abs.get()});
    ref two = ref::steal(PyLong_FromLong(2));
    return ref::steal(sf && two ? PyNumber_Multiply(two.get(), sf.get()) : nullptr);
}

// scipy.stats.ttest_ind on every tested row: t and its degrees of freedom in
// C, then its p-value as scipy evaluates it for one row.
int t_batch(test_run& run) {
    PyObject* numpy = numpy_of(run.st);
    frames::output_column t(numpy, run.rows), df(numpy, run.rows);
    if (!t || !df) return -1;
    const bool welch = run.method->equal_var == 0;
    if (pyapi::without_gil([&] {
            kernels::t_tests(run.table.lists[0], run.table.lists[1], run.rows, run.tested.data(),
                             welch, t.data(), df.data());
        }) < 0)
        return -1;
    ref ts = t.take(), dfs = df.take();
    ref p = two_sided_p(run.st, ts.get(), dfs.get());
    if (!p) return library_failed();
    run.stat = ts;
    run.p = p;
    return 1;
}

// One batched call's (statistic, p-value) arrays written to the rows of the batch.
int scatter_result(test_run& run, PyObject* result, const kernels::row_batch& batch,
                   pyapi::buffer& stat, pyapi::buffer& p) {
    ref pair[2];
    if (pyapi::unpack(result, 2, pair) < 0) return library_failed();
    const std::size_t count = batch.rows.size();
    ref values[2];
    pyapi::buffer views[2];
    for (int j = 0; j < 2; ++j)
        if (library_values(run.st, pair[j].get(), count, values[j], views[j]) < 0)
            return library_failed();
    kernels::scatter(static_cast<const double*>(views[0].data()), batch.rows.data(), count,
                     static_cast<double*>(stat.data()));
    kernels::scatter(static_cast<const double*>(views[1].data()), batch.rows.data(), count,
                     static_cast<double*>(p.data()));
    return 1;
}

// The measured values of a batch's rows in group g, as a (rows, size) matrix.
ref batch_sample(test_run& run, const kernels::row_batch& batch, std::size_t g, std::size_t size) {
    frames::output_block sample(numpy_of(run.st), batch.rows.size(), size);
    if (!sample) return {};
    kernels::gather_samples(&run.table.lists[g], &size, 1, batch.rows.data(), batch.rows.size(),
                            sample.column(0));
    return sample.take();
}

// A method's statistic and p-value columns, NaN until its batches fill them.
struct result_columns {
    pyapi::buffer stat_view, p_view;
    ref stat, p;

    int make(module_state* st, std::size_t rows) {
        stat = nan_column(st, rows, stat_view);
        p = nan_column(st, rows, p_view);
        return stat && p ? 0 : -1;
    }
    // Hands the columns to the run; 1.
    int finish(test_run& run) {
        stat_view.release();
        p_view.release();
        run.stat = stat;
        run.p = p;
        return 1;
    }
};

// scipy.stats.mannwhitneyu on every tested row. Called on one row scipy's
// "auto" takes the exact distribution when there are no ties and one sample
// has at most 8 values, else the normal approximation; called on a batch it
// would decide once for all rows. So rows are batched by sizes and ties and
// each batch names the computation its rows would get alone.
int mannwhitneyu_batch(test_run& run) {
    const std::size_t rows = run.rows;
    std::vector<std::int64_t> na(rows), nb(rows), tied(rows);
    std::vector<kernels::row_batch> batches;
    if (pyapi::without_gil([&] {
            kernels::rank_shapes(run.table.lists[0], run.table.lists[1], rows, run.tested.data(),
                                 na.data(), nb.data(), tied.data());
            const std::int64_t* keys[] = {na.data(), nb.data(), tied.data()};
            batches = kernels::batch_rows(keys, 3, rows, run.tested.data());
        }) < 0)
        return -1;
    result_columns out;
    ref axis = ref::steal(PyLong_FromLong(1));
    ref exact = pyapi::str("exact"), asymptotic = pyapi::str("asymptotic");
    if (out.make(run.st, rows) < 0 || !axis || !exact || !asymptotic) return -1;
    pyapi::interrupt_scope ctrl_c;
    for (const kernels::row_batch& batch : batches) {
        if (pyapi::check_interrupt() < 0) return -1;
        const auto nx = static_cast<std::size_t>(batch.key[0]);
        const auto ny = static_cast<std::size_t>(batch.key[1]);
        const bool normal = (nx > 8 && ny > 8) || batch.key[2] != 0;
        ref x = batch_sample(run, batch, 0, nx);
        ref y = batch_sample(run, batch, 1, ny);
        if (!x || !y) return -1;
        ref result = pyapi::call((*run.st)[object::mannwhitneyu], {x.get(), y.get()},
                                 {{"axis", axis.get()},
                                  {"method", normal ? asymptotic.get() : exact.get()}});
        if (!result) return library_failed();
        const int done = scatter_result(run, result.get(), batch, out.stat_view, out.p_view);
        if (done <= 0) return done;
        run.batch_firsts.push_back(batch.rows.front());
    }
    return out.finish(run);
}

// scipy.stats.f_oneway on rows of equal group sizes: the statistic in C with
// the operations of a one-row call, the dot product of the centred rows from
// numpy.vecdot (as the one-row call takes it), the p-value from fdtrc.
int oneway_batch(test_run& run, const kernels::row_batch& batch, pyapi::buffer& stat,
                 pyapi::buffer& p) {
    PyObject* numpy = numpy_of(run.st);
    const std::size_t count = batch.rows.size(), groups = batch.key.size();
    std::vector<std::size_t> sizes(batch.key.begin(), batch.key.end());
    std::size_t n = 0;
    for (std::size_t s : sizes) n += s;
    frames::output_block pooled(numpy, count, n), centred(numpy, count, n);
    frames::output_column offsets(numpy, count), fs(numpy, count);
    if (!pooled || !centred || !offsets || !fs) return -1;
    if (pyapi::without_gil([&] {
            kernels::gather_samples(run.table.lists.data(), sizes.data(), groups,
                                    batch.rows.data(), count, pooled.column(0));
            kernels::oneway_centre(pooled.column(0), n, count, centred.column(0), offsets.data());
        }) < 0)
        return -1;
    ref centred_rows = centred.take();
    ref last = ref::steal(PyLong_FromLong(-1));
    ref dots = pyapi::call(pyapi::attr(numpy, "vecdot"), {centred_rows.get(), centred_rows.get()},
                           {{"axis", last.get()}});
    ref dot_array;
    pyapi::buffer dot_values, centred_values;
    if (!dots || library_values(run.st, dots.get(), count, dot_array, dot_values) < 0)
        return library_failed();
    if (centred_values.acquire(centred_rows.get(), PyBUF_ND) < 0) return -1;
    if (pyapi::without_gil([&] {
            kernels::oneway_f(pooled.column(0), sizes.data(), groups, count, offsets.data(),
                              static_cast<const double*>(centred_values.data()),
                              static_cast<const double*>(dot_values.data()), fs.data());
        }) < 0)
        return -1;
    ref f = fs.take();
    ref between = ref::steal(PyLong_FromSize_t(groups - 1));
    ref within = ref::steal(PyLong_FromSize_t(n - groups));
    ref pv = pyapi::call((*run.st)[object::fdtrc], {between.get(), within.get(), f.get()});
    ref pair = ref::steal(pv ? PyTuple_Pack(2, f.get(), pv.get()) : nullptr);
    if (!pair) return library_failed();
    return scatter_result(run, pair.get(), batch, stat, p);
}

// scipy.stats.f_oneway on every tested row, one batch per tuple of group sizes.
int anova_batch(test_run& run) {
    std::vector<kernels::row_batch> batches;
    if (pyapi::without_gil([&] {
            batches = kernels::batch_rows(run.counts.data(), run.counts.size(), run.rows,
                                          run.tested.data());
        }) < 0)
        return -1;
    result_columns out;
    if (out.make(run.st, run.rows) < 0) return -1;
    pyapi::interrupt_scope ctrl_c;
    for (const kernels::row_batch& batch : batches) {
        if (pyapi::check_interrupt() < 0) return -1;
        const int done = oneway_batch(run, batch, out.stat_view, out.p_view);
        if (done <= 0) return done;
        run.batch_firsts.push_back(batch.rows.front());
    }
    return out.finish(run);
}

// The tested rows, in order, as one batch.
kernels::row_batch tested_batch(const test_run& run) {
    kernels::row_batch batch;
    for (std::size_t r = 0; r < run.rows; ++r)
        if (run.tested[r]) batch.rows.push_back(r);
    return batch;
}

// The paired t-test, scipy.stats.ttest_1samp(x - y, 0) as
// tessera.tools.stat.hypothesis_test calls it on one row, over every tested
// row (all of its pairs measured) in one call along axis 1.
int paired_t_batch(test_run& run) {
    result_columns out;
    if (out.make(run.st, run.rows) < 0) return -1;
    const kernels::row_batch batch = tested_batch(run);
    if (batch.rows.empty()) return out.finish(run);
    const std::size_t n = run.table.lists[0].size;
    ref x = batch_sample(run, batch, 0, n);
    ref y = batch_sample(run, batch, 1, n);
    ref difference = ref::steal(x && y ? PyNumber_Subtract(x.get(), y.get()) : nullptr);
    ref zero = ref::steal(PyLong_FromLong(0));
    ref axis = ref::steal(PyLong_FromLong(1));
    if (!difference || !zero || !axis) return -1;
    ref result = pyapi::call(pyapi::attr((*run.st)[object::stats], "ttest_1samp"),
                             {difference.get(), zero.get()}, {{"axis", axis.get()}});
    if (!result) return library_failed();
    const int done = scatter_result(run, result.get(), batch, out.stat_view, out.p_view);
    if (done <= 0) return done;
    run.batch_firsts.push_back(batch.rows.front());
    return out.finish(run);
}

// The signed-rank test, scipy.stats.wilcoxon(x, y), on every tested row.
// scipy picks its computation from each sample's size, ties and zero
// differences, so the rows are batched by the computation each would take
// alone and every batch names it; rows whose computation has no batched
// form (a sign-flip enumeration, a difference that overflows) take the
// one-row call.
int wilcoxon_batch(test_run& run) {
    result_columns out;
    if (out.make(run.st, run.rows) < 0) return -1;
    const kernels::row_batch tested = tested_batch(run);
    const std::size_t n = run.table.lists[0].size, count = tested.rows.size();
    std::vector<kernels::row_kind> kinds(count);
    if (pyapi::without_gil([&] {
            std::vector<double> xs(count * n), ys(count * n);
            kernels::gather_samples(&run.table.lists[0], &n, 1, tested.rows.data(), count,
                                    xs.data());
            kernels::gather_samples(&run.table.lists[1], &n, 1, tested.rows.data(), count,
                                    ys.data());
            kernels::paired_kinds(xs.data(), ys.data(), n, count, kinds.data());
        }) < 0)
        return -1;
    ref test = pyapi::attr((*run.st)[object::stats], "wilcoxon");
    ref axis = ref::steal(PyLong_FromLong(1));
    if (!test) return library_failed();
    if (!axis) return -1;
    one_row_call call;
    auto* stats = static_cast<double*>(out.stat_view.data());
    auto* ps = static_cast<double*>(out.p_view.data());
    pyapi::interrupt_scope ctrl_c;
    for (const auto kind : {kernels::row_kind::distinct, kernels::row_kind::tied,
                            kernels::row_kind::nonfinite}) {
        kernels::row_batch batch;
        for (std::size_t k = 0; k < count; ++k)
            if (kinds[k] == kind) batch.rows.push_back(tested.rows[k]);
        if (batch.rows.empty()) continue;
        if (pyapi::check_interrupt() < 0) return -1;
        if (const char* method = kernels::rank_method(kind, true, n, n)) {
            ref x = batch_sample(run, batch, 0, n);
            ref y = batch_sample(run, batch, 1, n);
            ref how = pyapi::str(method);
            if (!x || !y || !how) return -1;
            ref result = pyapi::call(test, {x.get(), y.get()},
                                     {{"axis", axis.get()}, {"method", how.get()}});
            if (!result) return library_failed();
            const int done = scatter_result(run, result.get(), batch, out.stat_view, out.p_view);
            if (done <= 0) return done;
            run.batch_firsts.push_back(batch.rows.front());
            continue;
        }
        if (!call.fn && call.prepare(run) < 0) return -1;
        for (std::size_t r : batch.rows) {
            if (pyapi::check_interrupt() < 0) return -1;
            if (one_row(run, call, r, stats[r], ps[r]) < 0) return library_failed();
        }
    }
    return out.finish(run);
}

// The permutation test of the t statistic (tessera.tools.stat's, 10,000
// seeded permutations) on every tested row, in the kernel, on every core.
// A row the kernel does not take sends the table to the reference route.
int permutation_batch(test_run& run) {
    result_columns out;
    if (out.make(run.st, run.rows) < 0) return -1;
    const kernels::row_batch batch = tested_batch(run);
    const std::size_t nx = run.table.lists[0].size, ny = run.table.lists[1].size;
    const std::size_t count = batch.rows.size();
    if (count == 0) return out.finish(run);
    std::vector<double> xs(count * nx), ys(count * ny), t(count), p(count);
    kernels::gather_samples(&run.table.lists[0], &nx, 1, batch.rows.data(), count, xs.data());
    kernels::gather_samples(&run.table.lists[1], &ny, 1, batch.rows.data(), count, ys.data());
    const int done = tools::permutation_rows(xs.data(), nx, ys.data(), ny, count, t.data(),
                                             p.data());
    if (done <= 0) return done;
    kernels::scatter(t.data(), batch.rows.data(), count, static_cast<double*>(out.stat_view.data()));
    kernels::scatter(p.data(), batch.rows.data(), count, static_cast<double*>(out.p_view.data()));
    run.batch_firsts.push_back(batch.rows.front());
    return out.finish(run);
}

namespace md = kernels::moderated;

// The kernel's inputs and outputs of one moderated fit (k = groups - 1
// contrasts: every group minus the last).
struct moderated_work : md::fit_buffers {
    std::vector<int> group_of;  // group of each column of `values`
    std::vector<double> values;  // rows x columns, row-major
    std::vector<double> lods;

    void allocate(std::size_t rows, std::size_t k) {
        values.resize(rows * group_of.size());
        lods.resize(rows * k);
        md::fit_buffers::allocate(rows, k);
    }
};

// A new float64 array of one value per row; with `tested`, NaN in the rows
// not tested.
ref row_values(const test_run& run, const double* values, const std::uint8_t* tested = nullptr) {
    frames::output_column out(numpy_of(run.st), run.rows);
    if (!out) return {};
    double* cells = out.data();
    for (std::size_t r = 0; r < run.rows; ++r)
        cells[r] = !tested || tested[r] ? values[r] : std::nan("");
    return out.take();
}

// The p-value of the moderated F with df1 and df2[r] degrees of freedom, in
// the tail: fdtrc(df1, df2, F), or chdtrc(df1, df1 * F) where df2 is
// infinite (an infinite prior df), which fdtrc does not take.
int f_p_values(const test_run& run, const moderated_work& w, std::vector<double>& p) {
    ref f = row_values(run, w.f.data());
    ref df2 = row_values(run, w.f_df2.data());
    ref df1 = ref::steal(PyLong_FromSize_t(w.out.f_df1));
    ref tail = pyapi::call((*run.st)[object::fdtrc], {df1.get(), df2.get(), f.get()});
    ref tail_array;
    pyapi::buffer tail_view;
    if (!tail || library_values(run.st, tail.get(), run.rows, tail_array, tail_view) < 0) return -1;
    const auto* ps = static_cast<const double*>(tail_view.data());
    p.assign(ps, ps + run.rows);
    bool infinite = false;
    for (std::size_t r = 0; r < run.rows; ++r) infinite = infinite || std::isinf(w.f_df2[r]);
    if (!infinite) return 0;
    ref scaled = ref::steal(PyNumber_Multiply(df1.get(), f.get()));
    ref chi = scaled ? pyapi::call((*run.st)[object::chdtrc], {df1.get(), scaled.get()}) : ref();
    ref chi_array;
    pyapi::buffer chi_view;
    if (!chi || library_values(run.st, chi.get(), run.rows, chi_array, chi_view) < 0) return -1;
    const auto* qs = static_cast<const double*>(chi_view.data());
    for (std::size_t r = 0; r < run.rows; ++r)
        if (std::isinf(w.f_df2[r])) p[r] = qs[r];
    return 0;
}

// result.attrs["moderated"]: the prior's variance s2_prior and df df_prior
// (floats, or float64 arrays over the rows where a trend makes s2_prior
// vary and robust makes df_prior vary), and the estimate that gave them
// ("classic" or "likelihood"; None and NaN priors when there is none).
ref prior_attrs(const test_run& run, const moderated_work& w, bool fitted) {
    auto entry = [&](const std::vector<double>& values, bool per_row) {
        if (fitted && per_row) return row_values(run, values.data());
        return ref::steal(PyFloat_FromDouble(fitted && run.rows ? values[0] : std::nan("")));
    };
    ref s2 = entry(w.s2_prior, run.trend);
    ref df = entry(w.df_prior, run.robust);
    ref estimate = fitted ? pyapi::str(w.out.prior.likelihood ? "likelihood" : "classic")
                          : ref::borrow(Py_None);
    ref dict = ref::steal(PyDict_New());
    if (!s2 || !df || !estimate || !dict || PyDict_SetItemString(dict.get(), "s2_prior", s2.get()) < 0 ||
        PyDict_SetItemString(dict.get(), "df_prior", df.get()) < 0 ||
        PyDict_SetItemString(dict.get(), "estimate", estimate.get()) < 0)
        return {};
    return dict;
}

// A fit the kernel could not complete. trend or robust with the likelihood
// estimate is refused. A table that gives no prior is refused when it has a
// feature to test; when it has none (an empty table, or every feature short
// of values), every result is NaN and the notes say why, as for the other
// methods. 1 (NaN results set), or -1 with ValueError set.
int moderated_unfitted(test_run& run, const moderated_work& w, md::status status) {
    if (status == md::not_built) {
        const char* which = run.trend && run.robust ? "trend=True with robust=True"
                            : run.trend             ? "trend=True"
                                                    : "robust=True";
        return pyapi::refuse(PyExc_ValueError,
                             {run.trend ? "trend" : "robust", nullptr, nullptr, Py_True},
                             "method 'moderated': %s is not built for the likelihood estimate "
                             "of the prior, which legacy=False takes when the residual degrees "
                             "of freedom differ between features (as missing values make them); "
                             "pass legacy=True for the classic estimate",
                             which);
    }
    if (std::find(run.tested.begin(), run.tested.end(), 1) != run.tested.end()) {
        std::size_t with_df = 0, positive = 0;
        for (std::size_t r = 0; r < run.rows; ++r) {
            if (!(w.df_residual[r] > 0) || !std::isfinite(w.s2[r])) continue;
            ++with_df;
            positive += w.s2[r] > 0;
        }
        // the table's values are at fault, not an argument's form
        const pyapi::fault at{"df"};
        if (status == md::no_residual_df)
            return pyapi::refuse(PyExc_ValueError, at,
                                 "method 'moderated': no feature has a residual degree of freedom "
                                 "(more measured values than groups with a value), so the table "
                                 "gives no variance to estimate the prior from");
        return pyapi::refuse(PyExc_ValueError, at,
                             "method 'moderated': the prior of the variances cannot be estimated "
                             "from this table: %zu feature%s a finite residual variance, %zu of "
                             "them above 0",
                             with_df, with_df == 1 ? " has" : "s have", positive);
    }
    const std::vector<double> blank(run.rows, std::nan(""));
    run.stat = row_values(run, blank.data());
    run.p = row_values(run, blank.data());
    for (const char* const* s = own_columns(*run.method, run.table.lists.size()); *s; ++s)
        run.own.push_back(row_values(run, blank.data()));
    if (run.table.lists.size() == 2) run.fold = row_values(run, w.logfc.data());
    run.prior = prior_attrs(run, w, false);
    for (const ref& column : run.own)
        if (!column) return -1;
    return run.stat && run.p && run.prior && (run.fold || run.table.lists.size() != 2) ? 1 : -1;
}

// More than half of the residual variances (of the rows with a residual
// degree of freedom) are exactly 0: the prior then rests on a floor, not on
// the data, as limma warns.
bool mostly_zero(const double* s2, const double* df_residual, std::size_t rows) {
    std::size_t with_df = 0, zero = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        if (!(df_residual[r] > 0) || !std::isfinite(s2[r])) continue;
        ++with_df;
        zero += s2[r] == 0;
    }
    return 2 * zero > with_df;
}

// limma's moderated tests on every row: for two groups the moderated t of
// group 1 minus group 2 (own columns: df.total and the log-odds B), for more
// the moderated F of every group minus the last (own column: its
// denominator df). Every row's variance enters the prior, so the kernel
// runs on all rows; the rows not tested are blanked after.
int moderated_batch(test_run& run) {
    const std::size_t rows = run.rows, groups = run.table.lists.size(), k = groups - 1;
    moderated_work w;
    for (std::size_t g = 0; g < groups; ++g)
        w.group_of.insert(w.group_of.end(), run.table.lists[g].size, static_cast<int>(g));
    md::fit_input in;
    in.rows = rows;
    in.cols = w.group_of.size();
    in.group = w.group_of.data();
    in.groups = groups;
    in.method = run.legacy ? md::estimate::classic : md::estimate::automatic;
    in.trend = run.trend;
    in.robust = run.robust;
    md::status status = md::ok;
    pyapi::interrupt_scope ctrl_c;
    if (pyapi::without_gil([&] {
            w.allocate(rows, k);
            kernels::interleave(run.table.lists.data(), groups, rows, w.values.data());
            in.values = w.values.data();
            status = md::moderated_fit(in, w.out);
        }) < 0 ||
        pyapi::check_interrupt() < 0)
        return -1;
    if (status != md::ok) return moderated_unfitted(run, w, status);
    run.zero_variances = mostly_zero(w.out.s2, w.out.df_residual, rows);

    const std::uint8_t* tested = run.tested.data();
    if (k == 1) {
        ref t = row_values(run, w.t.data());
        ref df = row_values(run, w.df_total.data());
        ref p = t && df ? two_sided_p(run.st, t.get(), df.get()) : ref();
        ref p_array;
        pyapi::buffer p_view;
        if (!p || library_values(run.st, p.get(), rows, p_array, p_view) < 0) return -1;
        const auto* ps = static_cast<const double*>(p_view.data());
        double var_prior = 0;
        if (pyapi::without_gil([&] {
                md::moderated_lods(w.out, rows, k, ps, w.lods.data(), &var_prior);
            }) < 0)
            return -1;
        run.stat = row_values(run, w.t.data(), tested);
        run.p = row_values(run, ps, tested);
        run.own = {row_values(run, w.df_total.data(), tested),
                   row_values(run, w.lods.data(), tested)};
        run.fold = row_values(run, w.logfc.data());
        if (!run.fold) return -1;
    } else {
        std::vector<double> p;
        if (f_p_values(run, w, p) < 0) return -1;
        run.stat = row_values(run, w.f.data(), tested);
        run.p = row_values(run, p.data(), tested);
        run.own = {row_values(run, w.f_df2.data(), tested)};
    }
    run.prior = prior_attrs(run, w, true);
    for (const ref& column : run.own)
        if (!column) return -1;
    return run.stat && run.p && run.prior ? 1 : -1;
}

// The methods, in the order error messages list them.
const method_spec methods[] = {
    {"moderated", 2, 0, 1, false, false, nullptr, false, -1, 0,
     "no variance in any group and no prior variance", "the test gave no p-value for these values",
     true, moderated_batch, {"df", "B", nullptr}, {"df", nullptr}},
    {"t", 2, 2, 2, false, false, "ttest_ind", false, 1, 8, "no variance in either group",
     "the test gave no p-value for these values", false, t_batch, {}, {}},
    {"Welch", 2, 2, 2, false, false, "ttest_ind", false, 0, 8, "no variance in either group",
     "the test gave no p-value for these values", false, t_batch, {}, {}},
    {"mannwhitneyu", 2, 2, 1, false, false, "mannwhitneyu", false, -1, 8, "all values equal",
     "the test gave no p-value for these values", false, mannwhitneyu_batch, {}, {}},
    // The tests that need every value: today's numbers of Vetting's per-row
    // test, whose note for any tested row without a p-value is the same.
    {"paired_t", 2, 2, 2, true, true, "paired_t", true, -1, 8,
     "values that do not vary within the groups", "values that do not vary within the groups",
     false, paired_t_batch, {}, {}},
    {"Wilcoxon", 2, 2, 1, true, true, "Wilcoxon", true, -1, 8,
     "values that do not vary within the groups", "values that do not vary within the groups",
     false, wilcoxon_batch, {}, {}},
    // each one-row call permutes 10,000 times: two spread rows are checked
    {"permutation", 2, 2, 1, false, true, "permutation", true, -1, 2,
     "values that do not vary within the groups", "values that do not vary within the groups",
     false, permutation_batch, {}, {}},
    {"anova", 3, 0, 2, false, false, "f_oneway", false, -1, 8, "no variance in any group",
     "the test gave no p-value for these values", false, anova_batch, {}, {}},
};

}  // namespace

int define_methods(PyObject* module) {
    ref name = pyapi::str("Method");
    ref fields = ref::steal(Py_BuildValue("(ssss)", "groups", "paired", "complete", "min_values"));
    ref module_name = ref::steal(PyModule_GetNameObject(module));
    ref record = pyapi::call(pyapi::attr(pyapi::import("collections"), "namedtuple"),
                             {name.get(), fields.get()}, {{"module", module_name.get()}});
    ref table = ref::steal(PyDict_New());
    if (!record || !table) return -1;
    for (const method_spec& m : methods) {
        ref most = m.max_groups ? ref::steal(PyLong_FromSize_t(m.max_groups)) : pyapi::none();
        ref fewest = ref::steal(PyLong_FromSize_t(m.min_groups));
        ref groups = ref::steal(most && fewest ? PyTuple_Pack(2, fewest.get(), most.get()) : nullptr);
        ref min_values = ref::steal(PyLong_FromLongLong(m.floor));
        ref entry = groups && min_values
                        ? pyapi::call(record, {groups.get(), pyapi::boolean(m.paired).get(),
                                               pyapi::boolean(m.complete).get(), min_values.get()})
                        : ref();
        if (!entry || PyDict_SetItemString(table.get(), m.name, entry.get()) < 0) return -1;
    }
    ref view = ref::steal(PyDictProxy_New(table.get()));
    return view ? pyapi::bind_global(module, "METHODS", view.get()) : -1;
}

namespace {

// "two groups", "three or more groups"
std::string group_count_text(const method_spec& m) {
    static const char* const words[] = {"no", "one", "two", "three", "four", "five"};
    std::string text = m.min_groups < 6 ? words[m.min_groups] : std::to_string(m.min_groups);
    if (m.max_groups == 0) text += " or more";
    return text + " groups";
}

// "'t', 'Welch', 'mannwhitneyu' (two groups), 'anova' (three or more groups)"
std::string method_choices() {
    std::string text;
    const std::size_t count = sizeof methods / sizeof methods[0];
    for (std::size_t i = 0; i < count; ++i) {
        if (!text.empty()) text += ", ";
        text += std::string("'") + methods[i].name + "'";
        const bool last_of_kind = i + 1 == count ||
                                  methods[i + 1].min_groups != methods[i].min_groups ||
                                  methods[i + 1].max_groups != methods[i].max_groups;
        if (last_of_kind) text += " (" + group_count_text(methods[i]) + ")";
    }
    return text;
}

const method_spec* find_method(PyObject* method) {
    if (PyUnicode_Check(method))
        for (const method_spec& m : methods)
            if (PyUnicode_CompareWithASCIIString(method, m.name) == 0) return &m;
    if (!PyErr_Occurred())
        pyapi::refuse(PyExc_ValueError, {"method", nullptr, nullptr, method},
                      "unknown method %R: the methods are %s", method, method_choices().c_str());
    return nullptr;
}

// trend, robust and legacy belong to the moderated tests; set with another
// method they are refused. 0, or -1 with an exception set.
int read_moderated_options(test_run& run, pyapi::bound_args& a) {
    static const char* const names[] = {"trend", "robust", "legacy"};
    bool* options[] = {&run.trend, &run.robust, &run.legacy};
    const method_spec& m = *run.method;
    for (int i = 0; i < 3; ++i) {
        const int set = PyObject_IsTrue(a[5 + i]);
        if (set < 0) return -1;
        *options[i] = set;
        if (set && !m.moderated_options) {
            return pyapi::refuse(PyExc_ValueError, {names[i], nullptr, nullptr, a[5 + i]},
                                 "%s=%R: trend, robust and legacy apply to method 'moderated' "
                                 "only, not to '%s'",
                                 names[i], a[5 + i], m.name);
        }
    }
    return 0;
}

int check_group_count(const method_spec& m, std::size_t count) {
    if (count >= m.min_groups && (m.max_groups == 0 || count <= m.max_groups)) return 0;
    ref given = ref::steal(PyLong_FromSize_t(count));
    if (!given) return -1;
    return pyapi::refuse(PyExc_ValueError, {"groups", nullptr, nullptr, given.get()},
                         "method '%s' takes %s, got %zu group%s (the methods are %s)", m.name,
                         group_count_text(m).c_str(), count, count == 1 ? "" : "s",
                         method_choices().c_str());
}

// A paired method pairs the i-th column of the first group with the i-th
// of the second: the groups must be of one size.
int check_pairs(const method_spec& m, const std::vector<group>& groups) {
    if (!m.paired) return 0;
    const std::size_t first = groups[0].positions.size(), second = groups[1].positions.size();
    if (first == second) return 0;
    return pyapi::refuse(PyExc_ValueError, {"groups", nullptr, groups[1].name.get()},
                         "method '%s' pairs the i-th column of group %R with the i-th of group "
                         "%R, so they need as many columns: %R has %zu and %R %zu",
                         m.name, groups[0].name.get(), groups[1].name.get(),
                         groups[0].name.get(), first, groups[1].name.get(), second);
}

// The labels of the columns test_features adds, in order: statistic,
// p-value, adjusted p-value, the method's own columns, group_fc (two
// groups), the counts, the note.
int result_labels(const method_spec& m, PyObject* method, PyObject* correction,
                  const std::vector<group>& groups, std::vector<ref>& labels) {
    auto joined = [&](PyObject* head, const char* middle, PyObject* tail) {
        return ref::steal(tail ? PyUnicode_FromFormat("%U%s%U", head, middle, tail)
                               : PyUnicode_FromFormat("%U%s", head, middle));
    };
    labels.push_back(joined(method, "_stat", nullptr));
    labels.push_back(joined(method, "_p", nullptr));
    labels.push_back(joined(method, "_", correction));
    for (const char* const* suffix = own_columns(m, groups.size()); *suffix; ++suffix)
        labels.push_back(ref::steal(PyUnicode_FromFormat("%U_%s", method, *suffix)));
    if (groups.size() == 2) labels.push_back(pyapi::str("group_fc"));
    for (const group& g : groups) labels.push_back(ref::steal(PyUnicode_FromFormat("n_%U", g.name.get())));
    labels.push_back(joined(method, "_note", nullptr));
    for (const ref& label : labels)
        if (!label) return -1;
    return 0;
}


// (statistic, p-value) of the one-row call on row r's measured values: 0,
// or -1 with the exception set.
int one_row(test_run& run, const one_row_call& call, std::size_t r, double& stat, double& p) {
    const std::size_t groups = run.table.lists.size();
    ref args = ref::steal(PyTuple_New(static_cast<Py_ssize_t>(groups) + (call.method ? 1 : 0)));
    if (!args) return -1;
    if (call.method)
        PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(groups), Py_NewRef(call.method.get()));
    for (std::size_t g = 0; g < groups; ++g) {
        frames::output_column sample(numpy_of(run.st), static_cast<std::size_t>(run.counts[g][r]));
        if (!sample) return -1;
        kernels::gather_finite(run.table.lists[g], r, sample.data());
        PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(g), sample.take().release());
    }
    ref result = ref::steal(PyObject_Call(call.fn.get(), args.get(), call.kwargs.get()));
    ref pair[2];
    if (!result || pyapi::unpack(result.get(), 2, pair) < 0) return -1;
    stat = PyFloat_AsDouble(pair[0].get());
    if (stat == -1.0 && PyErr_Occurred()) return -1;
    p = PyFloat_AsDouble(pair[1].get());
    return p == -1.0 && PyErr_Occurred() ? -1 : 0;
}

int one_row_call::prepare(const test_run& run) {
    const method_spec& m = *run.method;
    if (m.through_stat) {
        fn = ref::borrow((*run.st)[object::hypothesis_test]);
        method = pyapi::str(m.name);
        return method ? 0 : -1;
    }
    fn = pyapi::attr((*run.st)[object::stats], m.one_row);
    if (!fn) return -1;
    if (m.equal_var < 0) return 0;
    kwargs = ref::steal(PyDict_New());
    if (!kwargs ||
        PyDict_SetItemString(kwargs.get(), "equal_var", m.equal_var ? Py_True : Py_False) < 0)
        return -1;
    return 0;
}

bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

// Rows the fast route's numbers are checked on against the one-row call:
// one per batched call (thinned to at most 64: each shape takes its own path
// through scipy) and a few spread over the tested rows. A change in scipy's
// arithmetic shows on nearly every row, and each one-row call costs as much
// as thousands of batched rows.
std::vector<std::size_t> check_rows(const test_run& run) {
    std::vector<std::size_t> tested_rows;
    for (std::size_t r = 0; r < run.rows; ++r)
        if (run.tested[r]) tested_rows.push_back(r);
    std::vector<std::size_t> rows;
    auto spread = [&rows](const std::vector<std::size_t>& from, std::size_t most) {
        const std::size_t n = from.size();
        for (std::size_t k = 0; k < std::min(n, most); ++k)
            rows.push_back(from[n <= most ? k : k * (n - 1) / std::max<std::size_t>(most - 1, 1)]);
    };
    spread(run.batch_firsts, 64);
    spread(tested_rows, run.method->spread_checks);
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

// 1 when the fast route agrees with the one-row call on the check rows, 0
// when not (or a one-row call failed with an ordinary error, which the
// reference route then raises), -1 with an exception set.
int fast_route_agrees(test_run& run, pyapi::buffer& stat, pyapi::buffer& p) {
    one_row_call call;
    if (call.prepare(run) < 0) return -1;
    const auto* stats = static_cast<const double*>(stat.data());
    const auto* ps = static_cast<const double*>(p.data());
    for (std::size_t r : check_rows(run)) {
        double s = 0, q = 0;
        if (one_row(run, call, r, s, q) < 0) return library_failed();
        if (!same(s, stats[r]) || !same(q, ps[r])) return 0;
    }
    return 1;
}

// The reference route: every tested row through the one-row call (errors
// are the caller's).
int reference_route(test_run& run, pyapi::buffer& stat, pyapi::buffer& p) {
    one_row_call call;
    if (call.prepare(run) < 0) return -1;
    auto* stats = static_cast<double*>(stat.data());
    auto* ps = static_cast<double*>(p.data());
    pyapi::interrupt_scope ctrl_c;
    for (std::size_t r = 0; r < run.rows; ++r) {
        if (pyapi::check_interrupt() < 0) return -1;
        if (!run.tested[r]) {
            stats[r] = ps[r] = std::nan("");
            continue;
        }
        double s = 0, q = 0;
        if (one_row(run, call, r, s, q) < 0) return -1;
        stats[r] = s;
        ps[r] = q;
    }
    return 0;
}

// Statistic and p-value of every row: the fast route, checked, or the
// reference route (a method without a one-row call is its fast route). All
// of it runs in one quiet block: the library's batched calls open
// catch_warnings blocks of their own, which must not interleave with
// another thread's.
int compute(test_run& run) {
    return pyapi::quietly([&] {
        const int batched = run.method->batch(run);
        if (batched < 0) return -1;
        if (!run.method->one_row) return 0;
        pyapi::buffer stat, p;
        if (batched == 0) {
            run.stat = nan_column(run.st, run.rows, stat);
            run.p = nan_column(run.st, run.rows, p);
            if (!run.stat || !run.p) return -1;
        } else if (stat.acquire(run.stat.get(), PyBUF_WRITABLE) < 0 ||
                   p.acquire(run.p.get(), PyBUF_WRITABLE) < 0) {
            return -1;
        }
        const int agrees = batched ? fast_route_agrees(run, stat, p) : 0;
        if (agrees != 0) return agrees < 0 ? -1 : 0;
        return reference_route(run, stat, p);
    });
}

// "1 value in ctrl, 2 needed", "0 values in A and 1 value in B, 2 needed"
ref short_note(const test_run& run, const std::vector<group>& groups, std::size_t r,
               std::int64_t need) {
    ref parts = ref::steal(PyList_New(0));
    if (!parts) return {};
    for (std::size_t g = 0; g < groups.size(); ++g) {
        const long long n = run.counts[g][r];
        if (n >= need) continue;
        ref part = ref::steal(PyUnicode_FromFormat("%lld value%s in %U", n, n == 1 ? "" : "s",
                                                   groups[g].name.get()));
        if (!part || PyList_Append(parts.get(), part.get()) < 0) return {};
    }
    const Py_ssize_t count = PyList_GET_SIZE(parts.get());
    ref comma = pyapi::str(", ");
    if (!comma) return {};
    if (count == 0) {
        PyErr_SetString(PyExc_SystemError, "a row without a short group has no short note");
        return {};
    }
    // every part but the last joined by commas, the last one after "and"
    ref head = ref::steal(PyList_GetSlice(parts.get(), 0, count - 1));
    ref joined = ref::steal(head ? PyUnicode_Join(comma.get(), head.get()) : nullptr);
    if (!joined) return {};
    const long long needed = need;
    return ref::steal(count == 1 ? PyUnicode_FromFormat("%U, %lld needed",
                                                        PyList_GET_ITEM(parts.get(), 0), needed)
                                 : PyUnicode_FromFormat("%U and %U, %lld needed", joined.get(),
                                                        PyList_GET_ITEM(parts.get(), count - 1),
                                                        needed));
}

// True when every group column of row r holds a measured value.
bool complete_row(const test_run& run, std::size_t r) {
    for (std::size_t g = 0; g < run.counts.size(); ++g)
        if (run.counts[g][r] != static_cast<std::int64_t>(run.table.lists[g].size)) return false;
    return true;
}

// The note of every row: "" when it has a p-value, else why not.
ref notes(const test_run& run, const std::vector<group>& groups, std::int64_t need) {
    pyapi::buffer p;
    if (p.acquire(run.p.get(), 0) < 0) return {};
    const auto* ps = static_cast<const double*>(p.data());
    ref list = ref::steal(PyList_New(static_cast<Py_ssize_t>(run.rows)));
    ref empty = pyapi::str("");
    ref constant = pyapi::str(run.method->no_variance);
    ref undefined = pyapi::str(run.method->no_p_value);
    ref incomplete = ref::steal(PyUnicode_FromFormat(
        "a missing value, and %s needs every %s", run.method->name,
        run.method->paired ? "pair" : "value"));
    if (!list || !empty || !constant || !undefined || !incomplete) return {};
    std::map<std::vector<std::int64_t>, ref> short_notes;
    std::vector<std::int64_t> key(groups.size());
    for (std::size_t r = 0; r < run.rows; ++r) {
        ref note;
        if (run.tested[r]) {
            note = !std::isnan(ps[r]) ? empty
                   : kernels::all_equal(run.table.lists.data(), groups.size(), r) ? constant
                                                                                  : undefined;
        } else if (run.method->complete && !complete_row(run, r)) {
            note = incomplete;
        } else {
            for (std::size_t g = 0; g < groups.size(); ++g) key[g] = std::min(run.counts[g][r], need);
            ref& cached = short_notes[key];
            if (!cached) cached = short_note(run, groups, r, need);
            note = cached;
        }
        if (!note) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(r), note.release());
    }
    return list;
}

// group_fc of the methods that need every value: pandas' mean of each
// group's columns (NaN skipped, infinities kept), first minus second, as
// Vetting's group fold change gives it.
ref group_means_difference(module_state* st, PyObject* df, const std::vector<group>& groups) {
    ref iloc = pyapi::attr(df, "iloc");
    ref all_rows = ref::steal(PySlice_New(nullptr, nullptr, nullptr));
    ref one = ref::steal(PyLong_FromLong(1));
    if (!iloc || !all_rows || !one) return {};
    ref means[2];
    for (int k = 0; k < 2; ++k) {
        const std::vector<Py_ssize_t>& positions = groups[static_cast<std::size_t>(k)].positions;
        ref taken = ref::steal(PyList_New(static_cast<Py_ssize_t>(positions.size())));
        if (!taken) return {};
        for (std::size_t c = 0; c < positions.size(); ++c) {
            PyObject* position = PyLong_FromSsize_t(positions[c]);
            if (!position) return {};
            PyList_SET_ITEM(taken.get(), static_cast<Py_ssize_t>(c), position);
        }
        ref key = ref::steal(PyTuple_Pack(2, all_rows.get(), taken.get()));
        means[k] = pyapi::call_method(pyapi::item(iloc.get(), key.get()).get(), "mean", {},
                                      {{"axis", one.get()}});
        if (!means[k]) return {};
    }
    ref difference = ref::steal(PyNumber_Subtract(means[0].get(), means[1].get()));
    ref nan = pyapi::attr(numpy_of(st), "nan");
    if (!difference || !nan) return {};
    return pyapi::call_method(difference.get(), "to_numpy", {},
                              {{"dtype", (*st)[object::float64]}, {"na_value", nan.get()}});
}

}  // namespace

int check_correction(module_state* st, PyObject* name) {
    int known = 0;
    if (PyUnicode_Check(name)) {
        ref lower = pyapi::call_method(name, "lower", {});
        known = lower ? PySet_Contains((*st)[object::correction_names], lower.get()) : -1;
        if (known < 0) return -1;
    }
    if (known) return 0;
    return pyapi::refuse(PyExc_ValueError, {"multipletest_method", nullptr, nullptr, name},
                         "unknown multipletest_method %R: statsmodels offers %U", name,
                         (*st)[object::correction_choices]);
}

int append_columns(PyObject* frame, const std::vector<ref>& labels, const std::vector<ref>& columns) {
    for (std::size_t k = 0; k < labels.size(); ++k) {
        const Py_ssize_t width = PyObject_Length(pyapi::attr(frame, "columns").get());
        ref at = ref::steal(width < 0 ? nullptr : PyLong_FromSsize_t(width));
        if (!at || !columns[k] ||
            !pyapi::call_method(frame, "insert", {at.get(), labels[k].get(), columns[k].get()}))
            return -1;
    }
    return 0;
}

int check_free(PyObject* df, const std::vector<ref>& labels, const char* function) {
    ref columns = pyapi::attr(df, "columns");
    if (!columns) return -1;
    for (const ref& label : labels) {
        const int present = PySequence_Contains(columns.get(), label.get());
        if (present < 0) return -1;
        if (!present) continue;
        ref listed = ref::steal(PyList_New(0));
        if (!listed) return -1;
        for (const ref& l : labels)
            if (PyList_Append(listed.get(), l.get()) < 0) return -1;
        return pyapi::refuse(PyExc_ValueError, {"df", label.get()},
                             "the table already has a column %R; %s adds the columns %R, so "
                             "rename or drop it first",
                             label.get(), function, listed.get());
    }
    return 0;
}

// p adjusted by multipletests over its non-NaN values; NaN stays NaN.
ref adjusted(module_state* st, PyObject* p, PyObject* correction) {
    PyObject* numpy = numpy_of(st);
    ref missing = pyapi::call(pyapi::attr(numpy, "isnan"), {p});
    ref keep = ref::steal(missing ? PyNumber_Invert(missing.get()) : nullptr);
    ref kept = pyapi::item(p, keep.get());
    ref shape = pyapi::attr(p, "shape");
    ref nan = pyapi::attr(numpy, "nan");
    ref out = pyapi::call(pyapi::attr(numpy, "full"), {shape.get(), nan.get()});
    if (!out) return {};
    const Py_ssize_t count = PyObject_Length(kept.get());
    if (count < 0) return {};
    if (count == 0) return out;
    ref result = pyapi::call((*st)[object::multipletests], {kept.get()}, {{"method", correction}});
    ref values = pyapi::item(result.get(), Py_ssize_t{1});
    if (!values || PyObject_SetItem(out.get(), keep.get(), values.get()) < 0) return {};
    return out;
}

PyObject* test_features(PyObject* module, pyapi::bound_args& a) {
    test_run run;
    run.st = state_of(module);
    PyObject* df = a[0];
    PyObject* method = a[2];
    PyObject* correction = a[4];
    std::int64_t min_valid = 0;
    std::vector<group> groups;
    if (check_frame(run.st, df) < 0 || !(run.method = find_method(method)) ||
        read_moderated_options(run, a) < 0 || pyapi::read_count(a[3], "min_valid", 0, min_valid) < 0 ||
        check_correction(run.st, correction) < 0 || read_groups(run.st, df, a[1], groups) < 0 ||
        check_group_count(*run.method, groups.size()) < 0 ||
        check_pairs(*run.method, groups) < 0)
        return nullptr;
    std::vector<ref> labels;
    if (result_labels(*run.method, method, correction, groups, labels) < 0 || check_free(df, labels, "test_features") < 0 ||
        run.table.load(run.st, df, groups) < 0)
        return nullptr;
    run.rows = run.table.rows();

    // measured values per group, and the rows every group has enough of
    frames::output_block counts(numpy_of(run.st), groups.size(), run.rows, "int64");
    if (!counts) return nullptr;
    for (std::size_t g = 0; g < groups.size(); ++g) run.counts.push_back(counts.column_as<std::int64_t>(g));
    const std::int64_t need = std::max(min_valid, run.method->floor);
    run.tested.resize(run.rows);
    if (pyapi::without_gil([&] {
            for (std::size_t g = 0; g < groups.size(); ++g)
                kernels::count_finite(run.table.lists[g], run.rows,
                                      counts.column_as<std::int64_t>(g));
            kernels::rows_with_valid(run.counts.data(), groups.size(), run.rows, need,
                                     kernels::valid_rule::each, run.tested.data());
            if (run.method->complete)
                for (std::size_t r = 0; r < run.rows; ++r)
                    run.tested[r] = run.tested[r] && complete_row(run, r);
        }) < 0)
        return nullptr;
    if (compute(run) < 0) return nullptr;
    if (run.zero_variances &&
        PyErr_WarnEx(PyExc_RuntimeWarning,
                     "method 'moderated': more than half of the residual variances are exactly "
                     "0, so the prior is not estimated from the data and the moderated tests "
                     "are unreliable",
                     1) < 0)
        return nullptr;

    std::vector<ref> columns{run.stat, run.p, adjusted(run.st, run.p.get(), correction)};
    if (!columns.back()) return nullptr;
    columns.insert(columns.end(), run.own.begin(), run.own.end());
    if (groups.size() == 2 && run.fold) {
        columns.push_back(run.fold);
    } else if (groups.size() == 2 && run.method->complete) {
        columns.push_back(group_means_difference(run.st, df, groups));
    } else if (groups.size() == 2) {
        frames::output_column fold(numpy_of(run.st), run.rows);
        if (!fold || pyapi::without_gil([&] {
                kernels::mean_differences(run.table.lists[0], run.table.lists[1], run.rows,
                                          fold.data());
            }) < 0)
            return nullptr;
        columns.push_back(fold.take());
    }
    ref count_rows = counts.take();
    for (std::size_t g = 0; g < groups.size(); ++g)
        columns.push_back(pyapi::item(count_rows.get(), static_cast<Py_ssize_t>(g)));
    columns.push_back(notes(run, groups, need));

    ref result = pyapi::call_method(df, "copy", {}, {{"deep", Py_True}});
    if (!result) return nullptr;
    if (append_columns(result.get(), labels, columns) < 0) return nullptr;
    if (run.prior) {
        ref attrs = pyapi::attr(result, "attrs");
        ref key = pyapi::str("moderated");
        if (!attrs || !key || PyObject_SetItem(attrs.get(), key.get(), run.prior.get()) < 0)
            return nullptr;
    }
    return result.release();
}

}  // namespace tessera::differential
