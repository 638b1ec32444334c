// test_features: every feature tested on its measured values, with exactly
// the numbers of scipy's one-row call on them, or (method "moderated") of
// limma's empirical-Bayes moderated tests.
//
// The t statistics are computed in C for all rows (whatever their number of
// measured values) and their p-values by the special function scipy calls,
// over all rows at once. The rank test and the analysis of variance group
// the rows by the shape scipy's one-row call would see (the sizes, and for
// the rank test the computation scipy picks for them), compact each group's
// measured values into dense matrices and make one batched call per shape.
// A spread of rows is then checked against the one-row call (looked up in
// scipy.stats when it runs); if any differs, every row is tested by the
// one-row call instead, so the batch never changes a result.
//
// The moderated tests have no one-row call: a feature's result depends on
// the variances of all features. The kernel fits every row, the p-values come
// from scipy.special over all rows, and the rows not tested are blanked after.
#include "differential.hpp"

#include "pyapi/call.hpp"
#include "pyapi/gil.hpp"
#include "pyapi/interrupts.hpp"
#include "pyapi/numbers.hpp"

#include "kernels/moderated.hpp"
#include "kernels/oneway.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <string>

namespace tessera::differential {

namespace {

PyObject* numpy_of(module_state* st) { return (*st)[object::numpy]; }

struct method_spec;

// One call of test_features once its arguments are checked.
struct test_run {
    module_state* st = nullptr;
    const method_spec* method = nullptr;
    group_table table;
    std::vector<const std::int64_t*> counts;  // measured values per group, one cell per row
    std::vector<std::uint8_t> tested;         // rows with enough measured values in every group
    std::size_t rows = 0;
    ref stat, p;                              // float64 arrays, one cell per row
    std::vector<std::size_t> probes;          // rows to check first: one per batched call
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
    const char* one_row;                 // the scipy.stats function of the one-row call, if any
    int equal_var;                       // its equal_var argument: -1 none, 0 False, 1 True
    const char* no_variance;             // the note of a row whose values are all equal
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
    pyapi::buffer stat_view, p_view;
    ref stat = nan_column(run.st, rows, stat_view);
    ref p = nan_column(run.st, rows, p_view);
    ref axis = ref::steal(PyLong_FromLong(1));
    ref exact = pyapi::str("exact"), asymptotic = pyapi::str("asymptotic");
    if (!stat || !p || !axis || !exact || !asymptotic) return -1;
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
        const int done = scatter_result(run, result.get(), batch, stat_view, p_view);
        if (done <= 0) return done;
        run.probes.push_back(batch.rows.front());
    }
    run.stat = stat;
    run.p = p;
    return 1;
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
    pyapi::buffer stat_view, p_view;
    ref stat = nan_column(run.st, run.rows, stat_view);
    ref p = nan_column(run.st, run.rows, p_view);
    if (!stat || !p) return -1;
    pyapi::interrupt_scope ctrl_c;
    for (const kernels::row_batch& batch : batches) {
        if (pyapi::check_interrupt() < 0) return -1;
        const int done = oneway_batch(run, batch, stat_view, p_view);
        if (done <= 0) return done;
        run.probes.push_back(batch.rows.front());
    }
    run.stat = stat;
    run.p = p;
    return 1;
}

namespace md = kernels::moderated;

// The kernel's inputs and outputs of one moderated fit (k = groups - 1
// contrasts: every group minus the last).
struct moderated_work {
    std::vector<int> group_of;  // group of each column of `values`
    std::vector<double> values;  // rows x columns, row-major
    std::vector<double> logfc, stdev_unscaled, t, df_total, s2, df_residual, amean, s2_prior,
        df_prior, s2_post, f, f_df2, lods;
    md::fit_output out;

    void allocate(std::size_t rows, std::size_t k) {
        values.resize(rows * group_of.size());
        for (auto* v : {&logfc, &stdev_unscaled, &t, &lods}) v->resize(rows * k);
        for (auto* v : {&df_total, &s2, &df_residual, &amean, &s2_prior, &df_prior, &s2_post, &f,
                        &f_df2})
            v->resize(rows);
        out.logfc = logfc.data();
        out.stdev_unscaled = stdev_unscaled.data();
        out.t = t.data();
        out.df_total = df_total.data();
        out.s2 = s2.data();
        out.df_residual = df_residual.data();
        out.amean = amean.data();
        out.s2_prior = s2_prior.data();
        out.df_prior = df_prior.data();
        out.s2_post = s2_post.data();
        out.f = f.data();
        out.f_df2 = f_df2.data();
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
        PyErr_Format(PyExc_ValueError,
                     "method 'moderated': %s is not built for the likelihood estimate of the "
                     "prior, which legacy=False takes when the residual degrees of freedom differ "
                     "between features (as missing values make them); pass legacy=True for the "
                     "classic estimate",
                     which);
        return -1;
    }
    if (std::find(run.tested.begin(), run.tested.end(), 1) != run.tested.end()) {
        std::size_t with_df = 0, positive = 0;
        for (std::size_t r = 0; r < run.rows; ++r) {
            if (!(w.df_residual[r] > 0) || !std::isfinite(w.s2[r])) continue;
            ++with_df;
            positive += w.s2[r] > 0;
        }
        if (status == md::no_residual_df)
            PyErr_SetString(PyExc_ValueError,
                            "method 'moderated': no feature has a residual degree of freedom "
                            "(more measured values than groups with a value), so the table gives "
                            "no variance to estimate the prior from");
        else
            PyErr_Format(PyExc_ValueError,
                         "method 'moderated': the prior of the variances cannot be estimated "
                         "from this table: %zu feature%s a finite residual variance, %zu of "
                         "them above 0",
                         with_df, with_df == 1 ? " has" : "s have", positive);
        return -1;
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
    {"moderated", 2, 0, 1, nullptr, -1, "no variance in any group and no prior variance", true,
     moderated_batch, {"df", "B", nullptr}, {"df", nullptr}},
    {"t", 2, 2, 2, "ttest_ind", 1, "no variance in either group", false, t_batch, {}, {}},
    {"Welch", 2, 2, 2, "ttest_ind", 0, "no variance in either group", false, t_batch, {}, {}},
    {"mannwhitneyu", 2, 2, 1, "mannwhitneyu", -1, "all values equal", false, mannwhitneyu_batch,
     {}, {}},
    {"anova", 3, 0, 2, "f_oneway", -1, "no variance in any group", false, anova_batch, {}, {}},
};

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
        PyErr_Format(PyExc_ValueError, "unknown method %R: the methods are %s", method,
                     method_choices().c_str());
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
            PyErr_Format(PyExc_ValueError,
                         "%s=%R: trend, robust and legacy apply to method 'moderated' only, "
                         "not to '%s'",
                         names[i], a[5 + i], m.name);
            return -1;
        }
    }
    return 0;
}

// The multiple-testing method, checked against the spellings statsmodels accepts.
int check_correction(module_state* st, PyObject* name) {
    int known = 0;
    if (PyUnicode_Check(name)) {
        ref lower = pyapi::call_method(name, "lower", {});
        known = lower ? PySet_Contains((*st)[object::correction_names], lower.get()) : -1;
        if (known < 0) return -1;
    }
    if (known) return 0;
    PyErr_Format(PyExc_ValueError, "unknown multipletest_method %R: statsmodels offers %U", name,
                 (*st)[object::correction_choices]);
    return -1;
}

int check_group_count(const method_spec& m, std::size_t count) {
    if (count >= m.min_groups && (m.max_groups == 0 || count <= m.max_groups)) return 0;
    PyErr_Format(PyExc_ValueError, "method '%s' takes %s, got %zu group%s (the methods are %s)",
                 m.name, group_count_text(m).c_str(), count, count == 1 ? "" : "s",
                 method_choices().c_str());
    return -1;
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

// ValueError when df already has one of the labels.
int check_free(PyObject* df, const std::vector<ref>& labels) {
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
        PyErr_Format(PyExc_ValueError,
                     "the table already has a column %R; test_features adds the columns %R, "
                     "so rename or drop it first",
                     label.get(), listed.get());
        return -1;
    }
    return 0;
}

// (statistic, p-value) of the one-row call on row r's measured values: 0,
// or -1 with the exception set.
int one_row(test_run& run, PyObject* fn, PyObject* kwargs, std::size_t r, double& stat, double& p) {
    const std::size_t groups = run.table.lists.size();
    ref args = ref::steal(PyTuple_New(static_cast<Py_ssize_t>(groups)));
    if (!args) return -1;
    for (std::size_t g = 0; g < groups; ++g) {
        frames::output_column sample(numpy_of(run.st), static_cast<std::size_t>(run.counts[g][r]));
        if (!sample) return -1;
        kernels::gather_finite(run.table.lists[g], r, sample.data());
        PyTuple_SET_ITEM(args.get(), static_cast<Py_ssize_t>(g), sample.take().release());
    }
    ref result = ref::steal(PyObject_Call(fn, args.get(), kwargs));
    ref pair[2];
    if (!result || pyapi::unpack(result.get(), 2, pair) < 0) return -1;
    stat = PyFloat_AsDouble(pair[0].get());
    if (stat == -1.0 && PyErr_Occurred()) return -1;
    p = PyFloat_AsDouble(pair[1].get());
    return p == -1.0 && PyErr_Occurred() ? -1 : 0;
}

// The one-row call and its keyword arguments (equal_var for the t-tests).
int one_row_call(test_run& run, ref& fn, ref& kwargs) {
    fn = pyapi::attr((*run.st)[object::stats], run.method->one_row);
    if (!fn) return -1;
    if (run.method->equal_var < 0) return 0;
    kwargs = ref::steal(PyDict_New());
    if (!kwargs || PyDict_SetItemString(kwargs.get(), "equal_var",
                                        run.method->equal_var ? Py_True : Py_False) < 0)
        return -1;
    return 0;
}

bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

// Rows checked against the one-row call: one per batched call (thinned to
// at most 64: each shape takes its own path through scipy) and 8 spread
// over the tested rows. A change in scipy's arithmetic shows on nearly every
// row, and each one-row call costs as much as thousands of batched rows.
std::vector<std::size_t> probe_rows(const test_run& run) {
    std::vector<std::size_t> tested_rows;
    for (std::size_t r = 0; r < run.rows; ++r)
        if (run.tested[r]) tested_rows.push_back(r);
    std::vector<std::size_t> rows;
    auto spread = [&rows](const std::vector<std::size_t>& from, std::size_t most) {
        const std::size_t n = from.size();
        for (std::size_t k = 0; k < std::min(n, most); ++k)
            rows.push_back(from[n <= most ? k : k * (n - 1) / (most - 1)]);
    };
    spread(run.probes, 64);
    spread(tested_rows, 8);
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

// 1 when the batch agrees with the one-row call on the probe rows, 0 when
// not (or a one-row call failed with an ordinary error, which the one-row
// route then raises), -1 with an exception set.
int batch_agrees(test_run& run, pyapi::buffer& stat, pyapi::buffer& p) {
    ref fn, kwargs;
    if (one_row_call(run, fn, kwargs) < 0) return -1;
    const auto* stats = static_cast<const double*>(stat.data());
    const auto* ps = static_cast<const double*>(p.data());
    for (std::size_t r : probe_rows(run)) {
        double s = 0, q = 0;
        if (one_row(run, fn.get(), kwargs.get(), r, s, q) < 0) return library_failed();
        if (!same(s, stats[r]) || !same(q, ps[r])) return 0;
    }
    return 1;
}

// Every tested row through the one-row call (errors are the caller's).
int one_row_route(test_run& run, pyapi::buffer& stat, pyapi::buffer& p) {
    ref fn, kwargs;
    if (one_row_call(run, fn, kwargs) < 0) return -1;
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
        if (one_row(run, fn.get(), kwargs.get(), r, s, q) < 0) return -1;
        stats[r] = s;
        ps[r] = q;
    }
    return 0;
}

// Statistic and p-value of every row: the batch, checked, or the one-row
// calls (a method without a one-row call is its batch). All of it runs in
// one quiet block: the library's batched calls open catch_warnings blocks of
// their own, which must not interleave with another thread's.
int compute(test_run& run) {
    return quietly(run.st, [&] {
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
        const int agrees = batched ? batch_agrees(run, stat, p) : 0;
        if (agrees != 0) return agrees < 0 ? -1 : 0;
        return one_row_route(run, stat, p);
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

// The note of every row: "" when it has a p-value, else why not.
ref notes(const test_run& run, const std::vector<group>& groups, std::int64_t need) {
    pyapi::buffer p;
    if (p.acquire(run.p.get(), 0) < 0) return {};
    const auto* ps = static_cast<const double*>(p.data());
    ref list = ref::steal(PyList_New(static_cast<Py_ssize_t>(run.rows)));
    ref empty = pyapi::str("");
    ref constant = pyapi::str(run.method->no_variance);
    ref undefined = pyapi::str("the test gave no p-value for these values");
    if (!list || !empty || !constant || !undefined) return {};
    std::map<std::vector<std::int64_t>, ref> short_notes;
    std::vector<std::int64_t> key(groups.size());
    for (std::size_t r = 0; r < run.rows; ++r) {
        ref note;
        if (run.tested[r]) {
            note = !std::isnan(ps[r]) ? empty
                   : kernels::all_equal(run.table.lists.data(), groups.size(), r) ? constant
                                                                                  : undefined;
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

}  // namespace

PyObject* test_features(PyObject* module, pyapi::bound_args& a) {
    test_run run;
    run.st = state_of(module);
    PyObject* df = a[0];
    PyObject* method = a[2];
    PyObject* correction = a[4];
    std::int64_t min_valid = 0;
    std::vector<group> groups;
    if (check_frame(run.st, df) < 0 || !(run.method = find_method(method)) ||
        read_moderated_options(run, a) < 0 ||
        pyapi::read_count(a[3], "min_valid", 0, min_valid) < 0 || check_correction(run.st, correction) < 0 || read_groups(run.st, df, a[1], groups) < 0 ||
        check_group_count(*run.method, groups.size()) < 0)
        return nullptr;
    std::vector<ref> labels;
    if (result_labels(*run.method, method, correction, groups, labels) < 0 || check_free(df, labels) < 0 ||
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
    for (std::size_t k = 0; k < labels.size(); ++k) {
        const Py_ssize_t width = PyObject_Length(pyapi::attr(result, "columns").get());
        ref at = ref::steal(width < 0 ? nullptr : PyLong_FromSsize_t(width));
        if (!at || !columns[k] ||
            !pyapi::call_method(result.get(), "insert", {at.get(), labels[k].get(), columns[k].get()}))
            return nullptr;
    }
    if (run.prior) {
        ref attrs = pyapi::attr(result, "attrs");
        ref key = pyapi::str("moderated");
        if (!attrs || !key || PyObject_SetItem(attrs.get(), key.get(), run.prior.get()) < 0)
            return nullptr;
    }
    return result.release();
}

}  // namespace tessera::differential
