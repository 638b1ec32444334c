// Empirical-Bayes moderated t and F tests for a group-means design: the
// computations of limma's lmFit, contrasts.fit (every group minus the last)
// and eBayes, with the prior of the residual variances estimated
//   - classically (method of moments on log variances), optionally with a
//     trend in the average log intensity and/or robustly (Winsorised, with a
//     prior df per feature), or
//   - by maximum likelihood of the scaled F distribution when the residual
//     dfs differ between features (limma >= 3.61.8; equal dfs fall back to
//     the classic estimate).
//
// Work happens in two calls around the p-values, which the caller computes in
// the tail (scipy.special: 2 * stdtr(df_total, -|t|) and fdtrc(f_df1, f_df2, F),
// or chdtrc(f_df1, f_df1 * F) where f_df2 is infinite):
//   moderated_fit   fit, contrasts, prior, posterior variances, t, df.total, F
//   moderated_lods  log-odds B, which needs the p-values only to pick the
//                   strongest features; its t quantiles are computed here.
// The pieces are declared too, for tests and for callers that need one step.
//
// Features are rows of a row-major features x samples float64 matrix; NaN and
// infinite cells are missing. A feature is fitted on its finite values: its
// residual df is its count of finite values minus the number of groups with
// a value. Features without residual df take no part in the prior estimate,
// but get a posterior variance (the prior's) and, where their contrast is
// estimable, a moderated t on the prior df alone, as in limma.
#pragma once

#include <cstddef>

#include "kernels/fdist.hpp"
#include "kernels/linear_model.hpp"

#include <vector>

namespace tessera::kernels::moderated {

// Why a fit could not be completed (0: it was).
enum status : int {
    ok = 0,
    no_residual_df = 1,       // no feature has a residual degree of freedom
    no_finite_variance = 2,   // no finite residual variance to estimate a prior from
    prior_not_estimable = 3,  // too few informative features for the prior df
    not_built = 4,            // trend or robust with the likelihood estimate
    too_few_groups = 5,       // fewer than two groups
};

// Which prior estimate: classic always (limma's legacy = TRUE), or the
// likelihood estimate when positive residual dfs differ (legacy = NULL/FALSE).
enum class estimate { classic, automatic };

// How the prior of the residual variances is estimated.
struct prior_options {
    estimate method = estimate::automatic;
    bool robust = false;
    // Per-feature covariate of a trended prior variance (limma: the row means),
    // or nullptr for a constant one.
    const double* covariate = nullptr;
    double winsor_lower = 0.05;  // robust: Winsorised tail probabilities
    double winsor_upper = 0.1;
};

// Scalar results of the prior estimate.
struct prior_summary {
    double s2_prior = 0;     // common prior variance; NaN when it follows a trend
    double df_prior = 0;     // common prior df; NaN when robust gives each feature its own
    double df2 = 0;          // robust: prior df before the outlier shrinkage
    bool likelihood = false; // whether the likelihood estimate was used
};

// Prior and posterior of the residual variances s2 with df degrees of
// freedom (limma's squeezeVar): s2_prior, df_prior and s2_post get n values;
// df_prior may be +inf, and then s2_post is the prior variance.
status squeeze_var(const double* s2, const double* df, std::size_t n,
                   const prior_options& options, double* s2_prior, double* df_prior,
                   double* s2_post, prior_summary* summary);

// Moderated t (rows x k) and its df, df_residual + df_prior capped at df_pooled
// (the sum of all residual dfs).
void moderated_t(const double* estimate, const double* stdev_unscaled, std::size_t rows,
                 std::size_t k, const double* s2_post, const double* df_residual,
                 const double* df_prior, double df_pooled, double* t, double* df_total);

// Projection (k x k, row-major, first `rank` columns used) turning the k
// moderated t of a feature into its F statistic (limma's classifyTestsF):
// eigenvectors of the contrasts' correlation under the design (contrast_cov,
// k x k, the covariance contrasts.fit leaves; a zero variance counts as 1)
// scaled by 1/sqrt(eigenvalue * rank). Returns the rank, the F statistic's
// numerator df.
std::size_t f_projection(const double* contrast_cov, std::size_t k, double* projection);

// Moderated F of each feature: the sum of squares of t . projection; NaN if a t is NaN.
void moderated_f(const double* t, std::size_t rows, std::size_t k, const double* projection,
                 std::size_t rank, double* f);

// Prior variance of the non-zero contrasts (limma's tmixture.vector) from
// column `col` of t and stdev_unscaled (rows x k) and df_total: t with smaller
// df are first moved to the largest df by equal tail probability. p_value
// (two-sided, rows x k, may be nullptr) only preselects the candidates; every
// tail probability used is computed here. NaN when no t is finite.
double mixture_var_prior(const double* t, const double* stdev_unscaled, const double* df_total,
                         const double* p_value, std::size_t rows, std::size_t k,
                         std::size_t col, double proportion, double lim_lower,
                         double lim_upper);

// Everything contrast_fit needs: the table, its linear model, the contrasts
// and the options of the moderation.
struct contrast_input {
    const double* values = nullptr;      // rows x model.samples, row-major
    std::size_t rows = 0;
    linear_model::model model;
    const double* contrasts = nullptr;   // model.coefs x k, row-major
    std::size_t k = 0;
    estimate method = estimate::automatic;
    bool trend = false;                  // prior variance trended in the row means
    bool robust = false;
    double winsor_lower = 0.05;
    double winsor_upper = 0.1;
    double lfc = 0;                      // > 0: tests against |logFC| <= lfc (limma's treat)
};

// What contrast_fit computes, up to the p-values (computed by the caller in
// the tail: t's as for moderated_fit; under lfc the sum of the upper tails
// of treat_right and treat_left with df_total). The F of all contrasts is
// eBayes' (against 0) under lfc too.
struct contrast_output {
    linear_model::fit fit;
    std::vector<double> logfc, stdev_unscaled, t;   // rows x k: eBayes' t against 0
    std::vector<double> treat_t, treat_right, treat_left;  // rows x k, under lfc only
    std::vector<double> s2_prior, df_prior, s2_post, df_total, f, f_df2;  // rows
    std::vector<double> contrast_cov;               // k x k
    std::size_t f_df1 = 0;
    double df_pooled = 0;
    prior_summary prior;
    bool cancelled = false;
};

// The moderated tests of contrasts: lmFit, contrasts.fit, eBayes (or treat),
// the moderated F of all contrasts. Runs over the cores; cancel (may be
// null) is polled while fitting.
status contrast_fit(const contrast_input& in, contrast_output& out,
                    bool (*cancel)(void*) = nullptr, void* context = nullptr);

// The fit_output view of a contrast_output, for moderated_lods.
struct fit_output;
void view_of(contrast_output& c, fit_output& view);

// Everything moderated_fit needs.
struct fit_input {
    const double* values = nullptr;  // rows x cols, row-major
    std::size_t rows = 0;
    std::size_t cols = 0;
    const int* group = nullptr;      // per column: group index, or -1 to leave out
    std::size_t groups = 0;          // at least 2; contrasts: every group minus the last
    estimate method = estimate::automatic;
    bool trend = false;              // prior variance trended in the row means
    bool robust = false;
    double winsor_lower = 0.05;
    double winsor_upper = 0.1;
};

// Caller-owned outputs of moderated_fit; k = groups - 1.
struct fit_output {
    double* logfc = nullptr;           // rows x k
    double* stdev_unscaled = nullptr;  // rows x k
    double* t = nullptr;               // rows x k
    double* df_total = nullptr;        // rows
    double* s2 = nullptr;              // rows: residual variance (sigma^2)
    double* df_residual = nullptr;     // rows
    double* amean = nullptr;           // rows: mean of the finite values
    double* s2_prior = nullptr;        // rows
    double* df_prior = nullptr;        // rows
    double* s2_post = nullptr;         // rows
    double* f = nullptr;               // rows: moderated F
    double* f_df2 = nullptr;           // rows: its denominator df, df_prior + df_residual
    std::size_t f_df1 = 0;             // its numerator df
    double df_pooled = 0;
    prior_summary prior;
};

// moderated_fit's outputs in buffers of their own, `out` pointing into them
// (so neither copied nor moved).
struct fit_buffers {
    std::vector<double> logfc, stdev_unscaled, t, df_total, s2, df_residual, amean, s2_prior,
        df_prior, s2_post, f, f_df2;
    fit_output out;

    fit_buffers() = default;
    fit_buffers(std::size_t rows, std::size_t k) { allocate(rows, k); }
    fit_buffers(const fit_buffers&) = delete;
    fit_buffers& operator=(const fit_buffers&) = delete;
    // Sizes the buffers for `rows` features and k contrasts.
    void allocate(std::size_t rows, std::size_t k);
};

// The moderated tests up to t, df.total and F (see the top of this file).
status moderated_fit(const fit_input& in, fit_output& out);

// Log-odds B (rows x k) from the outputs of moderated_fit and the two-sided
// p-values of its t (rows x k; may be nullptr); var_prior gets k values.
// proportion and the limits of the coefficient's standard deviation are
// limma's defaults 0.01 and (0.1, 4) unless given.
void moderated_lods(const fit_output& fit, std::size_t rows, std::size_t k,
                    const double* p_value, double* lods, double* var_prior,
                    double proportion = 0.01, double stdev_lower = 0.1, double stdev_upper = 4.0);

}  // namespace tessera::kernels::moderated
