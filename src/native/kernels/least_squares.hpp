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

// Householder QR with limited pivoting, step for step LINPACK's dqrdc2 (the
// decomposition of R's qr() and lm.fit): a column whose norm, downdated as
// the reduction proceeds, falls below tol times its original norm is moved
// to the end and left out of the rank.
class qr_factor {
public:
    // Factors the n x p column-major matrix a (copied).
    qr_factor(const double* a, std::size_t n, std::size_t p, double tol = 1e-7);
    qr_factor() = default;
    void factor(const double* a, std::size_t n, std::size_t p, double tol = 1e-7);

    std::size_t rows() const { return n_; }
    std::size_t cols() const { return p_; }
    std::size_t rank() const { return rank_; }
    // pivot()[j]: the original column at position j (the first rank() are estimable).
    const std::vector<std::size_t>& pivot() const { return pivot_; }
    // R[i][j] of the upper triangle, in pivoted order.
    double r(std::size_t i, std::size_t j) const { return qr_[j * n_ + i]; }
    // y (n values) replaced by the effects Q'y, as dqrsl computes them.
    void apply_qt(double* y) const;
    // y (n values) replaced by Qy (qr.qy).
    void apply_q(double* y) const;
    // Coefficients (p values, original order; NaN for the columns out of the
    // rank) from the effects of apply_qt.
    void solve(const double* effects, double* coef) const;
    // diag((R'R)^-1) of the estimable columns (p values, original order; NaN
    // for the others): the squared unscaled standard errors, chol2inv's diagonal.
    void inverse_diagonal(double* out) const;
    // (R'R)^-1 over the estimable columns, p x p row-major in original order
    // (NaN rows and columns for the others): chol2inv(qr, size = rank).
    void inverse(double* out) const;

private:
    // y replaced by H_j y, the j-th Householder reflection.
    void reflect(std::size_t j, double* y) const;

    std::vector<double> qr_, qraux_;
    std::vector<std::size_t> pivot_;
    std::size_t n_ = 0, p_ = 0, rank_ = 0;
};

// Least squares by the Gram matrix X'X (p x p), for designs whose columns
// are far from dependent: the columns are scaled to unit length and the
// Cholesky factor of the scaled Gram matrix is taken in column order, so
// that its diagonal is the share of each column's length that the columns
// before it do not explain, the quantity dqrdc2 compares with its
// tolerance. A share of (nearly) 0 leaves the column out as dqrdc2 would;
// a share small enough that squaring the condition number could cost
// digits, or that is too near the tolerance to decide, is refused, and the
// caller uses qr_factor instead.
class gram_factor {
public:
    // Factors g (p x p, row-major; only its lower triangle is read); false
    // when refused.
    bool factor(const double* g, std::size_t p);
    std::size_t rank() const { return kept_.size(); }
    // The estimable columns, in order.
    const std::vector<std::size_t>& kept() const { return kept_; }
    // b solving X'X b = c over the estimable columns, both rank() values in
    // the order of kept() (b and c distinct).
    void solve(const double* c, double* b) const;
    // diag((X'X)^-1) of the estimable columns (rank() values).
    void inverse_diagonal(double* out) const;
    // x'(X'X)^-1 x for x over the estimable columns (rank() values): a
    // row's leverage.
    double leverage(const double* x) const;

private:
    std::vector<double> l_;           // lower Cholesky factor of the scaled matrix, p x p rows
    std::vector<double> inverse_;     // its inverse, rank x rank lower
    std::vector<double> reciprocal_;  // 1 / diag(l_)
    std::vector<double> scale_;       // 1 / the lengths of the kept columns
    std::vector<std::size_t> kept_;
    std::vector<double> full_scale_;
};

// Cyclic Jacobi eigen-decomposition of a small symmetric matrix (k x k,
// row-major): eigenvalues decreasing, eigenvectors in the columns of vectors.
void symmetric_eigen(std::vector<double> a, std::size_t k, std::vector<double>& values,
                     std::vector<double>& vectors);

}  // namespace tessera::kernels::linalg
