#include "kernels/moderated.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include "kernels/least_squares.hpp"
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

void fit_groups(const double* values, std::size_t rows, std::size_t cols, const int* group,
                std::size_t groups, double* coef, double* count, double* s2,
                double* df_residual, double* amean) {
    const std::size_t blocks = (rows + block_rows - 1) / block_rows;
    parallel_for(blocks, [&](std::size_t b) {
        std::vector<double> sum(groups), n(groups);
        const std::size_t end = std::min(rows, (b + 1) * block_rows);
        for (std::size_t r = b * block_rows; r < end; ++r) {
            const double* row = values + r * cols;
            std::fill(sum.begin(), sum.end(), 0.0);
            std::fill(n.begin(), n.end(), 0.0);
            double total = 0, total_n = 0;
            // missing cells add zeros: no branch on the data, whose gaps fall at random
            for (std::size_t c = 0; c < cols; ++c) {
                const int g = group[c];
                if (g < 0) continue;
                const bool finite = std::isfinite(row[c]);
                const double v = finite ? row[c] : 0.0;
                sum[g] += v;
                n[g] += finite;
                total += v;
                total_n += finite;
            }
            double present = 0;
            double* m = coef + r * groups;
            for (std::size_t g = 0; g < groups; ++g) {
                m[g] = n[g] > 0 ? sum[g] / n[g] : nan;
                count[r * groups + g] = n[g];
                if (n[g] > 0) present += 1;
            }
            double rss = 0;
            for (std::size_t c = 0; c < cols; ++c) {
                const int g = group[c];
                if (g < 0) continue;
                const double d = std::isfinite(row[c]) ? row[c] - m[g] : 0.0;
                rss += d * d;
            }
            const double df = total_n - present;
            df_residual[r] = df;
            s2[r] = df > 0 ? rss / df : nan;
            amean[r] = total_n > 0 ? total / total_n : nan;
        }
    });
}

void fit_contrasts(const double* coef, const double* count, std::size_t rows,
                   std::size_t groups, const double* contrasts, std::size_t k,
                   double* estimate, double* stdev_unscaled) {
    for_row_blocks(rows, [&](std::size_t r) {
        for (std::size_t j = 0; j < k; ++j) {
            double est = 0, var = 0;
            bool missing = false;
            for (std::size_t g = 0; g < groups; ++g) {
                const double c = contrasts[g * k + j];
                const double n = count[r * groups + g];
                if (n > 0) {
                    // limma's unscaled sd of a group mean, sqrt(1/n), squared again
                    const double sd = std::sqrt(1.0 / n);
                    est += coef[r * groups + g] * c;
                    var += sd * sd * (c * c);
                } else if (c != 0) {
                    missing = true;
                }
            }
            estimate[r * k + j] = missing ? nan : est;
            stdev_unscaled[r * k + j] = missing ? nan : std::sqrt(var);
        }
    });
}

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

std::size_t f_projection(const double* group_size, std::size_t groups, const double* contrasts,
                         std::size_t k, double* projection) {
    // covariance of the contrasts under the design, as contrasts.fit forms it
    // from the Cholesky factor diag(sqrt(1/n)) of the group means' covariance
    std::vector<double> cov(k * k, 0.0);
    for (std::size_t a = 0; a < k; ++a)
        for (std::size_t b = 0; b < k; ++b) {
            double s = 0;
            for (std::size_t g = 0; g < groups; ++g) {
                const double root = std::sqrt(1.0 / group_size[g]);
                s += (root * contrasts[g * k + a]) * (root * contrasts[g * k + b]);
            }
            cov[a * k + b] = s;
        }
    std::vector<double> is(k);
    for (std::size_t a = 0; a < k; ++a) {
        double d = cov[a * k + a];
        if (d == 0) d = 1;
        is[a] = std::sqrt(1 / d);
    }
    std::vector<double> cor(k * k);
    for (std::size_t a = 0; a < k; ++a)
        for (std::size_t b = 0; b < k; ++b) cor[a * k + b] = a == b ? 1.0 : is[a] * cov[a * k + b] * is[b];
    std::vector<double> values, vectors;
    linalg::symmetric_eigen(cor, k, values, vectors);
    std::size_t rank = 0;
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

status moderated_fit(const fit_input& in, fit_output& out) {
    const std::size_t rows = in.rows, groups = in.groups;
    if (groups < 2) return too_few_groups;
    const std::size_t k = groups - 1;
    std::vector<double> coef(rows * groups), count(rows * groups);
    fit_groups(in.values, rows, in.cols, in.group, groups, coef.data(), count.data(), out.s2,
               out.df_residual, out.amean);
    std::vector<double> contrasts(groups * k, 0.0);
    for (std::size_t j = 0; j < k; ++j) {
        contrasts[j * k + j] = 1.0;
        contrasts[(groups - 1) * k + j] = -1.0;
    }
    fit_contrasts(coef.data(), count.data(), rows, groups, contrasts.data(), k, out.logfc,
                  out.stdev_unscaled);
    bool any_df = false, any_finite = false;
    for (std::size_t r = 0; r < rows; ++r) {
        any_df = any_df || out.df_residual[r] > 0;
        any_finite = any_finite || std::isfinite(out.s2[r]);
    }
    if (!any_df) return no_residual_df;
    if (!any_finite) return no_finite_variance;
    out.df_pooled = long_sum(out.df_residual, rows);
    prior_options options;
    options.method = in.method;
    options.robust = in.robust;
    options.covariate = in.trend ? out.amean : nullptr;
    options.winsor_lower = in.winsor_lower;
    options.winsor_upper = in.winsor_upper;
    const status st = squeeze_var(out.s2, out.df_residual, rows, options, out.s2_prior,
                                  out.df_prior, out.s2_post, &out.prior);
    if (st != ok) return st;
    moderated_t(out.logfc, out.stdev_unscaled, rows, k, out.s2_post, out.df_residual,
                out.df_prior, out.df_pooled, out.t, out.df_total);
    std::vector<double> size(groups, 0.0), projection(k * k);
    for (std::size_t c = 0; c < in.cols; ++c)
        if (in.group[c] >= 0) size[in.group[c]] += 1;
    out.f_df1 = f_projection(size.data(), groups, contrasts.data(), k, projection.data());
    moderated_f(out.t, rows, k, projection.data(), out.f_df1, out.f);
    for (std::size_t r = 0; r < rows; ++r) out.f_df2[r] = out.df_prior[r] + out.df_residual[r];
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
