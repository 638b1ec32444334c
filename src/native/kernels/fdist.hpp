// Fitting the scaled F distribution of residual variances (limma's
// fitFDist, its robust form and the likelihood estimate for unequal
// residual dfs): the prior of the moderated tests.
#pragma once

#include <cstddef>

namespace tessera::kernels::moderated {

// Classic moment estimate of x ~ scale * F(df1, df2): the scale (n values,
// equal unless a covariate gives a trend) and df2 (+inf when the variance of
// log x is no more than sampling explains). Features with df1 <= 0 or x not
// finite take no part; with a covariate they get the trend's value there.
// Returns false when nothing could be estimated (scale and df2 NaN).
bool fit_f_dist(const double* x, const double* df1, std::size_t n, const double* covariate,
                double* scale, double* df2);

// Likelihood estimate of x ~ scale * F(df1, df2) for unequal df1: the scale
// given df2 from the weighted mean of log x adjusted for df1 (weights
// 1/trigamma(df1/2)); df2 maximising the likelihood, searched as R's optimize
// does over d2/(1 + d2) in (1/2, 0.9998), d2 = df2/2. Features with df1 < 0.01
// or NaN x take no part. Returns false when fewer than two are informative.
bool fit_f_dist_likelihood(const double* x, const double* df1, std::size_t n, double* scale,
                           double* df2);

// Robust estimate (Winsorised moments of log x, then each feature's df2
// shrunk by its probability of being an outlier; Phipson et al. 2016):
// scale (n values), df2 and df2_shrunk (n values). A covariate gives a lowess
// trend (span 0.4) of log x. Returns false when nothing could be estimated.
bool fit_f_dist_robust(const double* x, const double* df1, std::size_t n,
                       const double* covariate, double winsor_lower, double winsor_upper,
                       double* scale, double* df2, double* df2_shrunk);

}  // namespace tessera::kernels::moderated
