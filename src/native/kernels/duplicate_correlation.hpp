// The consensus correlation of the values within blocks (technical
// replicates, the same patient, the same lab), as limma's
// duplicateCorrelation estimates it with a block: each feature's variance
// components by REML (statmod's mixedModel2Fit: the residual space's
// spectral decomposition, then a gamma GLM with identity link fitted as
// glmgam.fit fits it, at most 20 iterations), the correlation clipped to
// [1/(1 - largest block) + 0.01, 0.99], and the tanh of the 15%-trimmed mean
// of the atanh correlations.
#pragma once

#include <cstddef>
#include <vector>

namespace tessera::kernels::duplicate_correlation {

struct outcome {
    double consensus = 0;
    // limma's reason for a correlation of 0 without estimating it, or nullptr
    const char* warning = nullptr;
    std::vector<double> atanh_correlations;  // per feature, NaN where not estimated
};

// values: rows x n row-major (missing cells not finite); design: n x p
// row-major, full column rank; block: per sample in [0, blocks); weights:
// per sample or nullptr. cancel (may be null) is polled between features on
// the calling thread.
outcome estimate(const double* values, std::size_t rows, const double* design, std::size_t n,
                 std::size_t p, const int* block, std::size_t blocks, const double* weights,
                 bool (*cancel)(void*) = nullptr, void* context = nullptr);

// One feature's variance components (residual, block) from its values y
// (n, all used), design x (n x p row-major) and block indices (in [0, blocks),
// each level present at least once): mixedModel2Fit(y, X, Z, only.varcomp =
// TRUE, maxit = 20). NaN where it fails.
void variance_components(const double* y, const double* x, std::size_t n, std::size_t p,
                         const int* block, std::size_t blocks, double& residual, double& between);

}  // namespace tessera::kernels::duplicate_correlation
