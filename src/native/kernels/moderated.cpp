#include "kernels/moderated.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include "kernels/least_squares.hpp"
#include "kernels/linear_model.hpp"
#include "kernels/parallel.hpp"
#include "kernels/special.hpp"
#include "kernels/summaries.hpp"

namespace tessera::kernels::moderated {

namespace {

namespace sp = tessera::kernels::special;
using namespace tessera::kernels::summaries;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

}  // namespace

status squeeze_var(const double* s2, const double* df, std::size_t n,
                   const prior_options& options, double* s2_prior, double* df_prior,
                   double* s2_post, prior_summary* summary) {
    prior_summary info;
    info.s2_prior = info.df_prior = info.df2 = nan;
    if (summary != nullptr) *summary = info;
    if (n == 0) return prior_not_estimable;
    if (n == 1) {
        s2_prior[0] = s2_post[0] = s2[0];
        df_prior[0] = 0;
        info.s2_prior = s2[0];
        info.df_prior = info.df2 = 0;
        if (summary != nullptr) *summary = info;
        return ok;
    }
    // a variance without df (NaN or not) counts as 0, which the fits ignore
    std::vector<double> var(s2, s2 + n);
    double dmin = inf, dmax = -inf;
    for (std::size_t i = 0; i < n; ++i) {
        if (df[i] == 0) var[i] = 0;
        if (df[i] > 0) {
            dmin = std::min(dmin, df[i]);
            dmax = std::max(dmax, df[i]);
        }
    }
    if (!(dmax > 0)) return no_residual_df;
    const bool classic = options.method == estimate::classic || dmin == dmax;
    info.likelihood = !classic;
    if (!classic && (options.robust || options.covariate != nullptr)) return not_built;
    bool done;
    if (classic && options.robust) {
        done = fit_f_dist_robust(var.data(), df, n, options.covariate, options.winsor_lower,
                                 options.winsor_upper, s2_prior, &info.df2, df_prior);
    } else if (classic) {
        done = fit_f_dist(var.data(), df, n, options.covariate, s2_prior, &info.df2);
        std::fill(df_prior, df_prior + n, info.df2);
    } else {
        double scale;
        done = fit_f_dist_likelihood(var.data(), df, n, &scale, &info.df2);
        std::fill(s2_prior, s2_prior + n, scale);
        std::fill(df_prior, df_prior + n, info.df2);
    }
    if (!done) return prior_not_estimable;
    for (std::size_t i = 0; i < n; ++i)
        if (std::isnan(df_prior[i])) return prior_not_estimable;
    // the canonical posterior, or the prior itself where its df is infinite
    for_row_blocks(n, [&](std::size_t i) {
        s2_post[i] = std::isfinite(df_prior[i])
                         ? (df[i] * var[i] + df_prior[i] * s2_prior[i]) / (df[i] + df_prior[i])
                         : s2_prior[i];
    });
    info.s2_prior = s2_prior[0];
    info.df_prior = df_prior[0];
    for (std::size_t i = 1; i < n; ++i) {
        if (!(s2_prior[i] == info.s2_prior)) info.s2_prior = nan;
        if (!(df_prior[i] == info.df_prior)) info.df_prior = nan;
    }
    if (summary != nullptr) *summary = info;
    return ok;
}

void moderated_t(const double* estimate, const double* stdev_unscaled, std::size_t rows,
                 std::size_t k, const double* s2_post, const double* df_residual,
                 const double* df_prior, double df_pooled, double* t, double* df_total) {
    for_row_blocks(rows, [&](std::size_t r) {
        const double root = std::sqrt(s2_post[r]);
        for (std::size_t j = 0; j < k; ++j) t[r * k + j] = estimate[r * k + j] / stdev_unscaled[r * k + j] / root;
        const double total = df_residual[r] + df_prior[r];
        df_total[r] = std::isnan(total) ? nan : std::min(total, df_pooled);
    });
}

std::size_t f_projection(const double* contrast_cov, std::size_t k, double* projection) {
    std::vector<double> is(k);
    for (std::size_t a = 0; a < k; ++a) {
        double d = contrast_cov[a * k + a];
        if (d == 0) d = 1;
        is[a] = std::sqrt(1 / d);
    }
    std::vector<double> cor(k * k);
    for (std::size_t a = 0; a < k; ++a)
        for (std::size_t b = 0; b < k; ++b)
            cor[a * k + b] = a == b ? 1.0 : is[a] * contrast_cov[a * k + b] * is[b];
    std::vector<double> values, vectors;
    linalg::symmetric_eigen(cor, k, values, vectors);
    std::size_t rank = 0;
    // the rank rule of classifyTestsF
    for (std::size_t j = 0; j < k; ++j)
        if (values[j] / values[0] > 1e-8) ++rank;
    std::fill(projection, projection + k * k, 0.0);
    for (std::size_t a = 0; a < k; ++a)
        for (std::size_t j = 0; j < rank; ++j)
            projection[a * k + j] = vectors[a * k + j] * (1 / std::sqrt(values[j])) / std::sqrt(static_cast<double>(rank));
    return rank;
}

void moderated_f(const double* t, std::size_t rows, std::size_t k, const double* projection,
                 std::size_t rank, double* f) {
    for_row_blocks(rows, [&](std::size_t r) {
        const double* tr = t + r * k;
        double s = 0;
        for (std::size_t j = 0; j < rank; ++j) {
            double u = 0;
            for (std::size_t a = 0; a < k; ++a) u += tr[a] * projection[a * k + j];
            s += u * u;
        }
        f[r] = s;  // NaN propagates from any NaN t
    });
}

double mixture_var_prior(const double* t, const double* stdev_unscaled, const double* df_total,
                         const double* p_value, std::size_t rows, std::size_t k,
                         std::size_t col, double proportion, double lim_lower,
                         double lim_upper) {
    std::vector<std::size_t> valid;
    double maxdf = -inf;
    for (std::size_t r = 0; r < rows; ++r)
        if (!std::isnan(t[r * k + col])) {
            valid.push_back(r);
            maxdf = std::max(maxdf, df_total[r]);
        }
    const std::size_t ngenes = valid.size();
    const double ntarget_real = std::ceil(proportion / 2 * ngenes);
    if (ntarget_real < 1) return nan;
    const std::size_t ntarget = static_cast<std::size_t>(ntarget_real);
    const double p = std::max(ntarget_real / ngenes, proportion);
    // candidates for the ntarget largest t once moved to maxdf: all of them,
    // or those whose p-value is within rounding of the ntarget-th smallest
    std::vector<std::size_t> candidates;
    if (p_value != nullptr) {
        std::vector<double> ps(ngenes);
        for (std::size_t i = 0; i < ngenes; ++i) ps[i] = p_value[valid[i] * k + col];
        std::nth_element(ps.begin(), ps.begin() + (ntarget - 1), ps.end());
        const double cut = ps[ntarget - 1] * (1 + 1e-6) + 1e-300;
        for (std::size_t r : valid)
            if (!(p_value[r * k + col] > cut)) candidates.push_back(r);
    }
    if (candidates.size() < ntarget) candidates = valid;
    std::vector<double> moved(candidates.size());
    for_row_blocks(candidates.size(), [&](std::size_t i) {
        const std::size_t r = candidates[i];
        const double a = std::fabs(t[r * k + col]);
        if (df_total[r] < maxdf) {
            const double log_tail = sp::t_cdf(a, df_total[r], true, true);
            moved[i] = sp::t_quantile(log_tail, maxdf, true, true);
        } else {
            moved[i] = a;
        }
    });
    std::vector<std::size_t> order(candidates.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return moved[a] > moved[b]; });
    std::vector<double> v0(ntarget);
    for (std::size_t i = 0; i < ntarget; ++i) {
        const double tstat = moved[order[i]];
        const double su = stdev_unscaled[candidates[order[i]] * k + col];
        const double v1 = su * su;
        const double p0 = 2 * sp::t_cdf(tstat, maxdf, true, false);
        const double ptarget = ((i + 1 - 0.5) / ngenes - (1 - p) * p0) / p;
        double v = 0;
        if (ptarget > p0) {
            const double qtarget = sp::t_quantile(ptarget / 2, maxdf, true, false);
            v = v1 * ((tstat / qtarget) * (tstat / qtarget) - 1);
        }
        v0[i] = std::min(std::max(v, lim_lower), lim_upper);
    }
    return r_mean(v0);
}

status contrast_fit(const contrast_input& in, contrast_output& out, bool (*cancel)(void*),
                    void* context) {
    const std::size_t rows = in.rows, k = in.k, p = in.model.coefs;
    linear_model::lm_fit(in.values, rows, in.model, out.fit, cancel, context);
    if (cancel && cancel(context)) {
        out.cancelled = true;
        return ok;
    }
    out.logfc.assign(rows * k, nan);
    out.stdev_unscaled.assign(rows * k, nan);
    out.contrast_cov.assign(k * k, nan);
    linear_model::contrasts_fit(out.fit, rows, p, in.contrasts, k, out.logfc.data(),
                                out.stdev_unscaled.data(), out.contrast_cov.data());
    const std::vector<double>& s2 = out.fit.s2;
    const std::vector<double>& df = out.fit.df_residual;
    bool any_df = false, any_finite = false;
    for (std::size_t r = 0; r < rows; ++r) {
        any_df = any_df || df[r] > 0;
        any_finite = any_finite || std::isfinite(s2[r]);
    }
    if (!any_df) return no_residual_df;
    if (!any_finite) return no_finite_variance;
    out.df_pooled = long_sum(df.data(), rows);
    prior_options options;
    options.method = in.method;
    options.robust = in.robust;
    options.covariate = in.trend ? out.fit.amean.data() : nullptr;
    options.winsor_lower = in.winsor_lower;
    options.winsor_upper = in.winsor_upper;
    for (auto* v : {&out.s2_prior, &out.df_prior, &out.s2_post, &out.df_total, &out.f, &out.f_df2})
        v->assign(rows, nan);
    const status st = squeeze_var(s2.data(), df.data(), rows, options, out.s2_prior.data(),
                                  out.df_prior.data(), out.s2_post.data(), &out.prior);
    if (st != ok) return st;
    out.t.assign(rows * k, nan);
    moderated_t(out.logfc.data(), out.stdev_unscaled.data(), rows, k, out.s2_post.data(),
                df.data(), out.df_prior.data(), out.df_pooled, out.t.data(), out.df_total.data());
    std::vector<double> projection(k * k);
    out.f_df1 = f_projection(out.contrast_cov.data(), k, projection.data());
    moderated_f(out.t.data(), rows, k, projection.data(), out.f_df1, out.f.data());
    for (std::size_t r = 0; r < rows; ++r) out.f_df2[r] = out.df_prior[r] + df[r];
    if (in.lfc > 0) {
        out.treat_t.assign(rows * k, nan);
        out.treat_right.assign(rows * k, nan);
        out.treat_left.assign(rows * k, nan);
        const double lfc = std::fabs(in.lfc);
        for_row_blocks(rows, [&](std::size_t r) {
            const double root = std::sqrt(out.s2_post[r]);
            for (std::size_t j = 0; j < k; ++j) {
                const std::size_t i = r * k + j;
                const double coef = out.logfc[i];
                const double se = out.stdev_unscaled[i] * root;
                const double right = (std::fabs(coef) - lfc) / se;
                out.treat_right[i] = right;
                out.treat_left[i] = (std::fabs(coef) + lfc) / se;
                // treat's t: the distance beyond the threshold, signed, 0 within it
                const double beyond = std::max(right, 0.0);
                out.treat_t[i] = std::isnan(coef) || std::isnan(right) ? nan
                                 : coef > lfc                          ? beyond
                                 : coef < -lfc                         ? -beyond
                                                                       : 0.0;
            }
        });
    }
    return ok;
}

void view_of(contrast_output& c, fit_output& view) {
    view.logfc = c.logfc.data();
    view.stdev_unscaled = c.stdev_unscaled.data();
    view.t = c.t.data();
    view.df_total = c.df_total.data();
    view.s2 = c.fit.s2.data();
    view.df_residual = c.fit.df_residual.data();
    view.amean = c.fit.amean.data();
    view.s2_prior = c.s2_prior.data();
    view.df_prior = c.df_prior.data();
    view.s2_post = c.s2_post.data();
    view.f = c.f.data();
    view.f_df2 = c.f_df2.data();
    view.f_df1 = c.f_df1;
    view.df_pooled = c.df_pooled;
    view.prior = c.prior;
}

void fit_buffers::allocate(std::size_t rows, std::size_t k) {
    for (auto* v : {&logfc, &stdev_unscaled, &t}) v->resize(rows * k);
    for (auto* v : {&df_total, &s2, &df_residual, &amean, &s2_prior, &df_prior, &s2_post, &f, &f_df2})
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

status moderated_fit(const fit_input& in, fit_output& out) {
    const std::size_t groups = in.groups;
    if (groups < 2) return too_few_groups;
    const std::size_t k = groups - 1;
    // the columns taken part, and the cell-means design of their groups
    std::vector<std::size_t> kept;
    for (std::size_t c = 0; c < in.cols; ++c)
        if (in.group[c] >= 0) kept.push_back(c);
    std::vector<double> compact;
    const double* values = in.values;
    if (kept.size() < in.cols) {
        compact.resize(in.rows * kept.size());
        for (std::size_t r = 0; r < in.rows; ++r)
            for (std::size_t c = 0; c < kept.size(); ++c)
                compact[r * kept.size() + c] = in.values[r * in.cols + kept[c]];
        values = compact.data();
    }
    std::vector<double> design(kept.size() * groups, 0.0);
    for (std::size_t c = 0; c < kept.size(); ++c) design[c * groups + in.group[kept[c]]] = 1.0;
    // every group minus the last
    std::vector<double> contrasts(groups * k, 0.0);
    for (std::size_t j = 0; j < k; ++j) {
        contrasts[j * k + j] = 1.0;
        contrasts[(groups - 1) * k + j] = -1.0;
    }
    contrast_input ci;
    ci.values = values;
    ci.rows = in.rows;
    ci.model.design = design.data();
    ci.model.samples = kept.size();
    ci.model.coefs = groups;
    ci.contrasts = contrasts.data();
    ci.k = k;
    ci.method = in.method;
    ci.trend = in.trend;
    ci.robust = in.robust;
    ci.winsor_lower = in.winsor_lower;
    ci.winsor_upper = in.winsor_upper;
    contrast_output co;
    const status st = contrast_fit(ci, co);
    const std::size_t rows = in.rows;
    std::copy(co.logfc.begin(), co.logfc.end(), out.logfc);
    std::copy(co.stdev_unscaled.begin(), co.stdev_unscaled.end(), out.stdev_unscaled);
    std::copy(co.fit.s2.begin(), co.fit.s2.end(), out.s2);
    std::copy(co.fit.df_residual.begin(), co.fit.df_residual.end(), out.df_residual);
    std::copy(co.fit.amean.begin(), co.fit.amean.end(), out.amean);
    if (st != ok) return st;
    auto copy_rows = [rows](const std::vector<double>& from, double* to) {
        std::copy(from.begin(), from.begin() + static_cast<std::ptrdiff_t>(rows), to);
    };
    std::copy(co.t.begin(), co.t.end(), out.t);
    copy_rows(co.df_total, out.df_total);
    copy_rows(co.s2_prior, out.s2_prior);
    copy_rows(co.df_prior, out.df_prior);
    copy_rows(co.s2_post, out.s2_post);
    copy_rows(co.f, out.f);
    copy_rows(co.f_df2, out.f_df2);
    out.f_df1 = co.f_df1;
    out.df_pooled = co.df_pooled;
    out.prior = co.prior;
    return ok;
}

void moderated_lods(const fit_output& fit, std::size_t rows, std::size_t k,
                    const double* p_value, double* lods, double* var_prior,
                    double proportion, double stdev_lower, double stdev_upper) {
    std::vector<double> finite_prior;
    for (std::size_t r = 0; r < rows; ++r)
        if (std::isfinite(fit.s2_prior[r])) finite_prior.push_back(fit.s2_prior[r]);
    const double median = r_median(finite_prior);
    const double lim_lower = stdev_lower * stdev_lower / median;
    const double lim_upper = stdev_upper * stdev_upper / median;
    for (std::size_t j = 0; j < k; ++j) {
        var_prior[j] = mixture_var_prior(fit.t, fit.stdev_unscaled, fit.df_total, p_value, rows, k,
                                         j, proportion, lim_lower, lim_upper);
        if (std::isnan(var_prior[j])) var_prior[j] = 1 / fit.s2_prior[0];
    }
    const double log_prior_odds = std::log(proportion / (1 - proportion));
    for_row_blocks(rows, [&](std::size_t r) {
        const double dft = fit.df_total[r];
        const bool infinite = fit.df_prior[r] > 1e6;
        for (std::size_t j = 0; j < k; ++j) {
            const double su2 = fit.stdev_unscaled[r * k + j] * fit.stdev_unscaled[r * k + j];
            const double ratio = (su2 + var_prior[j]) / su2;
            const double t2 = fit.t[r * k + j] * fit.t[r * k + j];
            // with an infinite prior df the t are normal: the limit of the kernel
            const double kernel = infinite ? t2 * (1 - 1 / ratio) / 2
                                           : (1 + dft) / 2 * std::log((t2 + dft) / (t2 / ratio + dft));
            lods[r * k + j] = log_prior_odds - std::log(ratio) / 2 + kernel;
        }
    });
}

}  // namespace tessera::kernels::moderated
