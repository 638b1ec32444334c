#include "median_polish.hpp"

#include "columnwise.hpp"

#include <cmath>
#include <limits>

namespace tessera::kernels {

namespace {

constexpr int max_sweeps = 10;
constexpr double tolerance = 0.01;

double median_of(const double* v, std::size_t n, std::vector<double>& scratch) {
    scratch.resize(n);
    bool huge = false;
    return nan_median(v, n, scratch.data(), huge);
}

// Takes each line's median out of the residuals into its effect: line i of
// `count` holds `length` cells, `stride` apart, from z + i * step.
void sweep(std::vector<double>& z, std::size_t count, std::size_t length, std::size_t step,
           std::size_t stride, std::vector<double>& effects, median_polish_workspace& ws) {
    ws.line.resize(length);
    for (std::size_t i = 0; i < count; ++i) {
        double* first = z.data() + i * step;
        // a contiguous line is read where it is; median_of copies before sorting
        const double* line = first;
        if (stride != 1) {
            for (std::size_t k = 0; k < length; ++k) ws.line[k] = first[k * stride];
            line = ws.line.data();
        }
        const double m = median_of(line, length, ws.scratch);
        for (std::size_t k = 0; k < length; ++k) first[k * stride] -= m;
        effects[i] += m;
    }
}

}  // namespace

void median_polish(const double* values, std::size_t features, std::size_t runs,
                   median_polish_workspace& ws, double* out) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t j = 0; j < runs; ++j) out[j] = nan;
    ws.runs.clear();
    ws.features.clear();
    for (std::size_t j = 0; j < runs; ++j) {
        for (std::size_t f = 0; f < features; ++f) {
            if (!std::isnan(values[j * features + f])) {
                ws.runs.push_back(j);
                break;
            }
        }
    }
    for (std::size_t f = 0; f < features; ++f) {
        for (std::size_t j : ws.runs) {
            if (!std::isnan(values[j * features + f])) {
                ws.features.push_back(f);
                break;
            }
        }
    }
    const std::size_t m = ws.runs.size(), n = ws.features.size();
    if (m == 0) return;
    if (n == 1) {
        for (std::size_t j : ws.runs) out[j] = values[j * features + ws.features[0]];
        return;
    }
    // residuals feature by feature: z[f * m + i] for used feature f and active run i
    std::vector<double>& z = ws.residuals;
    z.resize(n * m);
    for (std::size_t f = 0; f < n; ++f)
        for (std::size_t i = 0; i < m; ++i)
            z[f * m + i] = std::log2(values[ws.runs[i] * features + ws.features[f]]);
    std::vector<double>& row = ws.feature_effects;
    std::vector<double>& col = ws.run_effects;
    row.assign(n, 0.0);
    col.assign(m, 0.0);
    double overall = 0, previous = 0;
    for (int round = 0; round < max_sweeps; ++round) {
        sweep(z, n, m, m, 1, row, ws);
        double delta = median_of(col.data(), m, ws.scratch);
        for (double& c : col) c -= delta;
        overall += delta;
        sweep(z, m, n, 1, m, col, ws);
        delta = median_of(row.data(), n, ws.scratch);
        for (double& r : row) r -= delta;
        overall += delta;
        double sum = 0;
        for (double v : z)
            if (!std::isnan(v)) sum += std::fabs(v);
        const bool converged = sum == 0 || std::fabs(sum - previous) < tolerance * sum;
        previous = sum;
        if (converged) break;
    }
    for (std::size_t i = 0; i < m; ++i) out[ws.runs[i]] = std::exp2(overall + col[i]);
}

}  // namespace tessera::kernels
