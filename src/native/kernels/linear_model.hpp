// Linear models of every feature on a design, and contrasts of their
// coefficients: the computations of limma's lmFit (lm.series, or gls.series
// with a block correlation) and contrasts.fit.
//
// Features are rows of a row-major features x samples float64 matrix; NaN
// and infinite cells are missing. Each feature is fitted on its finite
// values by least squares (weighted by the sample weights, generalised with
// the within-block correlation); the factorisation of the design depends
// only on which cells are missing, so features are grouped by that pattern
// and each pattern is factored once. A coefficient its measured values
// cannot estimate (LINPACK's dqrdc2 rule, tolerance 1e-7, as R's lm.fit) is
// NaN with its standard error.
#pragma once

#include <cstddef>
#include <vector>

namespace tessera::kernels::linear_model {

// The design and what weighs and correlates the samples.
struct model {
    const double* design = nullptr;   // samples x coefs, row-major
    std::size_t samples = 0;
    std::size_t coefs = 0;
    const double* weights = nullptr;  // per sample, positive; nullptr for none
    const int* block = nullptr;       // per sample: block index in [0, blocks); nullptr for none
    std::size_t blocks = 0;
    double correlation = 0;           // the within-block correlation, |rho| < 1
};

// One fit of every feature.
struct fit {
    std::vector<double> coef;            // rows x coefs; NaN where not estimable
    std::vector<double> stdev_unscaled;  // rows x coefs
    std::vector<double> s2;              // rows: residual variance, NaN at df 0
    std::vector<double> df_residual;     // rows
    std::vector<double> amean;           // rows: mean of the finite values (NaN if none)
    std::vector<double> n_obs;           // rows: number of finite values
    // The design's covariance of the coefficients (coefs x coefs, row-major)
    // as lmFit returns it: from the design weighted as every feature is when
    // no value is missing anywhere, from the unweighted design (and the
    // unweighted correlation) otherwise.
    std::vector<double> cov;
    bool complete = true;                // no value missing in the whole matrix
};

// The fit of every row of `values` (rows x m.samples); runs over the cores.
// cancel (may be null) is polled between patterns; true stops the work (the
// outputs are then incomplete).
void lm_fit(const double* values, std::size_t rows, const model& m, fit& out,
            bool (*cancel)(void*) = nullptr, void* context = nullptr);

// Per feature and group: mean of the finite values (NaN if none) and their
// number; per feature: residual variance about the group means (NaN at df 0),
// residual df and the mean of all finite values (NaN if none).
// group[c] is the group of column c in [0, groups), or -1 to leave it out.
// Outputs are rows x groups (coef, count) and rows long; runs over the cores.
void group_means(const double* values, std::size_t rows, std::size_t cols, const int* group,
                 std::size_t groups, double* coef, double* count, double* s2,
                 double* df_residual, double* amean);

// Whether the design is a cell-means design (every row one 1 and zeros):
// its least-squares fit is the group means.
bool is_cell_means(const double* design, std::size_t samples, std::size_t coefs);

// The columns of the design that are linear combinations of earlier ones
// (dqrdc2's rule), in order; empty when it has full column rank.
std::vector<std::size_t> dependent_columns(const double* design, std::size_t samples,
                                           std::size_t coefs);

// Contrasts of the coefficients (limma's contrasts.fit): estimates and
// unscaled standard errors, rows x k, from a fit and a coefs x k contrast
// matrix (row-major). The standard errors combine each feature's own with
// the design's correlation of the coefficients (exactly, when the design
// leaves them uncorrelated); a contrast that needs a coefficient the
// feature cannot estimate is NaN. contrast_cov gets the k x k covariance of
// the contrasts under the design (the F test's correlation).
void contrasts_fit(const fit& f, std::size_t rows, std::size_t coefs, const double* contrasts,
                   std::size_t k, double* estimate, double* stdev_unscaled,
                   double* contrast_cov);

}  // namespace tessera::kernels::linear_model
