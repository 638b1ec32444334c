// Sample quality weights, as limma's arrayWeights estimates them with its
// defaults (prior.n = 10, one weight per sample, the weights' log-linear
// model contr.sum): by REML over all features when no value is missing,
// else gene by gene, each feature's score moving the weights in turn.
#pragma once

#include <cstddef>
#include <vector>

namespace tessera::kernels::array_weights {

// The weight of each sample (n values, 1 when the table cannot say more:
// fewer than two features, or fewer than two residual df in the design).
// values: rows x n row-major, missing cells not finite; design: n x p
// row-major, of full column rank. cancel (may be null) is polled every few
// hundred features; true stops the work (the weights are then meaningless).
std::vector<double> estimate(const double* values, std::size_t rows, const double* design,
                             std::size_t n, std::size_t p, bool (*cancel)(void*) = nullptr,
                             void* context = nullptr);

}  // namespace tessera::kernels::array_weights
