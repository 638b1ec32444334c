#include "ratio_graph.hpp"

#include <cmath>
#include <limits>

namespace tessera::kernels {

namespace {

// Graphs up to this many nodes are factorised directly: a few microseconds,
// and no question of convergence.
constexpr std::size_t direct_limit = 40;

// The normal equations A x = rhs of the problem, with the level added as
// d d^T / S (S the sum of the degrees) on both sides: the solution is the
// same, since it meets d^T x = d^T t, and the matrix is positive definite
// with its smallest eigenvalue set by the graph alone, not by the ridge, so
// a small ridge does not slow the gradients down.
struct normal_equations {
    const ratio_graph& g;
    double ridge;
    double degree_sum = 0;  // S
    double level = 0;       // d^T t / S

    normal_equations(const ratio_graph& graph, double r) : g(graph), ridge(r) {
        for (std::size_t i = 0; i < g.nodes; ++i) {
            degree_sum += g.degree[i];
            level += g.degree[i] * g.t[i];
        }
        level /= degree_sum;
    }
    double d(std::size_t i) const { return g.degree[i]; }
    double diagonal(std::size_t i) const { return d(i) * (1.0 + ridge) + d(i) * d(i) / degree_sum; }
    double rhs(std::size_t i) const { return g.b[i] + ridge * d(i) * g.t[i] + d(i) * level; }

    // y = A x
    void apply(const double* x, double* y) const {
        double dx = 0;
        for (std::size_t i = 0; i < g.nodes; ++i) dx += d(i) * x[i];
        dx /= degree_sum;
        for (std::size_t i = 0; i < g.nodes; ++i) y[i] = d(i) * (1.0 + ridge) * x[i] + d(i) * dx;
        for (std::size_t e = 0; e < g.edge_count; ++e) {
            const auto [i, k] = g.edges[e];
            y[i] -= x[k];
            y[k] -= x[i];
        }
    }
};

void solve_complete(const ratio_graph& g, double ridge, double* x) {
    // A = L + ridge D + d d^T / S with L = nI - J and d = n - 1: x follows
    // from the sum of x, which is the sum of t
    const double n = static_cast<double>(g.nodes);
    double t_sum = 0;
    for (std::size_t i = 0; i < g.nodes; ++i) t_sum += g.t[i];
    const double pull = ridge * (n - 1.0);
    for (std::size_t i = 0; i < g.nodes; ++i) x[i] = (g.b[i] + pull * g.t[i] + t_sum) / (n + pull);
}

// Cholesky factorisation of the dense normal equations; false when a pivot
// is not positive (rounding on a graph far too ill-conditioned to matter).
bool solve_direct(const normal_equations& eq, ratio_graph_workspace& ws, double* x) {
    const std::size_t n = eq.g.nodes;
    ws.dense.assign(n * n, 0.0);
    double* a = ws.dense.data();
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < i; ++k) a[i * n + k] = eq.d(i) * eq.d(k) / eq.degree_sum;
        a[i * n + i] = eq.diagonal(i);
        x[i] = eq.rhs(i);
    }
    for (std::size_t e = 0; e < eq.g.edge_count; ++e) {
        const auto [i, k] = eq.g.edges[e];
        a[i > k ? i * n + k : k * n + i] -= 1.0;
    }
    // lower triangle in place: a = L L^T
    for (std::size_t j = 0; j < n; ++j) {
        double pivot = a[j * n + j];
        for (std::size_t k = 0; k < j; ++k) pivot -= a[j * n + k] * a[j * n + k];
        if (!(pivot > 0.0)) return false;
        pivot = std::sqrt(pivot);
        a[j * n + j] = pivot;
        for (std::size_t i = j + 1; i < n; ++i) {
            double s = a[i * n + j];
            for (std::size_t k = 0; k < j; ++k) s -= a[i * n + k] * a[j * n + k];
            a[i * n + j] = s / pivot;
        }
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < i; ++k) x[i] -= a[i * n + k] * x[k];
        x[i] /= a[i * n + i];
    }
    for (std::size_t i = n; i-- > 0;) {
        for (std::size_t k = i + 1; k < n; ++k) x[i] -= a[k * n + i] * x[k];
        x[i] /= a[i * n + i];
    }
    return true;
}

// Conjugate gradients with the diagonal as preconditioner, from x = t; false
// when the residual has not fallen to rounding level within 4n + 50 steps.
bool solve_iterative(const normal_equations& eq, ratio_graph_workspace& ws, double* x) {
    const std::size_t n = eq.g.nodes;
    ws.vectors.assign(4 * n, 0.0);
    double* r = ws.vectors.data();
    double* z = r + n;
    double* p = z + n;
    double* q = p + n;
    for (std::size_t i = 0; i < n; ++i) x[i] = eq.g.t[i];
    eq.apply(x, q);
    // the residual is judged against the size of the terms that make it up
    double scale = 0, rz = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double rhs = eq.rhs(i);
        r[i] = rhs - q[i];
        scale += rhs * rhs + q[i] * q[i];
        z[i] = r[i] / eq.diagonal(i);
        p[i] = z[i];
        rz += r[i] * z[i];
    }
    const double tolerance = 1e-28 * scale;  // squared: a relative residual of 1e-14
    const std::size_t limit = 4 * n + 50;
    for (std::size_t step = 0;; ++step) {
        double rr = 0;
        for (std::size_t i = 0; i < n; ++i) rr += r[i] * r[i];
        if (rr <= tolerance) return true;
        if (step == limit) return false;
        eq.apply(p, q);
        double pq = 0;
        for (std::size_t i = 0; i < n; ++i) pq += p[i] * q[i];
        if (!(pq > 0.0)) return false;
        const double alpha = rz / pq;
        double rz_next = 0;
        for (std::size_t i = 0; i < n; ++i) {
            x[i] += alpha * p[i];
            r[i] -= alpha * q[i];
            z[i] = r[i] / eq.diagonal(i);
            rz_next += r[i] * z[i];
        }
        const double beta = rz_next / rz;
        rz = rz_next;
        for (std::size_t i = 0; i < n; ++i) p[i] = z[i] + beta * p[i];
    }
}

}  // namespace

void solve_ratio_graph(const ratio_graph& g, double ridge, ratio_graph_workspace& ws, double* x) {
    const std::size_t n = g.nodes;
    if (n == 1) {
        x[0] = g.t[0];
        return;
    }
    if (g.edge_count == n * (n - 1) / 2) {
        solve_complete(g, ridge, x);
        return;
    }
    const normal_equations eq(g, ridge);
    if (n > direct_limit && solve_iterative(eq, ws, x)) return;
    if (solve_direct(eq, ws, x)) return;
    for (std::size_t i = 0; i < n; ++i) x[i] = std::numeric_limits<double>::quiet_NaN();
}

}  // namespace tessera::kernels
