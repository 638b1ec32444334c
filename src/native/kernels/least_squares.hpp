// Least squares and small dense linear algebra for the moderated tests.
#pragma once

#include <cstddef>
#include <limits>
#include <vector>

namespace tessera::kernels::linalg {

// Least squares of y on the n x p matrix a (column-major) by Householder QR:
// coefficients (0 for columns dependent on earlier ones, as R's lm.fit leaves
// them out), fitted values, and the mean square of the effects beyond the
// rank (the residual variance of R's lm.fit).
struct least_squares {
    std::vector<double> coef, fitted;
    double residual_variance = std::numeric_limits<double>::quiet_NaN();
};

// Least squares of y on a (n x p, column-major) by Householder QR.
least_squares householder_fit(std::vector<double> a, std::vector<double> y, std::size_t n,
                              std::size_t p);

// Cyclic Jacobi eigen-decomposition of a small symmetric matrix (k x k,
// row-major): eigenvalues decreasing, eigenvectors in the columns of vectors.
void symmetric_eigen(std::vector<double> a, std::size_t k, std::vector<double>& values,
                     std::vector<double>& vectors);

}  // namespace tessera::kernels::linalg
