// Smoothing for the trended prior: natural cubic splines, R's lowess and
// approx.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "kernels/summaries.hpp"

namespace tessera::kernels::smoothing {

// Natural cubic splines with the given knots (boundary knots first and last),
// the space of R's splines::ns(x, df, intercept = TRUE). The fitted values of a
// least-squares fit do not depend on the basis, so this one is the
// truncated-power form on x scaled to [0, 1] by the boundary knots, which is
// well conditioned for the at most four knots used and linear beyond them.
struct natural_spline {
    std::vector<double> knots;  // scaled to [0, 1]
    double lo = 0, span = 1;

    natural_spline(const std::vector<double>& raw) : lo(raw.front()), span(raw.back() - raw.front()) {
        for (double k : raw) knots.push_back((k - lo) / span);
    }

    std::size_t size() const { return knots.size(); }

    void basis(double x, double* row) const {
        const double u = (x - lo) / span;
        const std::size_t last = knots.size() - 1;
        auto cube = [](double v) { return v > 0 ? v * v * v : 0.0; };
        auto d = [&](std::size_t j) {
            return (cube(u - knots[j]) - cube(u - knots[last])) / (knots[last] - knots[j]);
        };
        row[0] = 1.0;
        row[1] = u;
        for (std::size_t j = 0; j + 2 < knots.size(); ++j) row[2 + j] = d(j) - d(last - 1);
    }
};

// R's lowess (Cleveland's clowess) of y on increasing x: local linear fits
// with tricube weights over the nearest span * n points, robustness
// iterations with bisquare weights, fits only every `delta` in x with
// linear interpolation between.
std::vector<double> lowess(const std::vector<double>& x, const std::vector<double>& y, double span,
                           int iterations, double delta);

// limma's loessFit without weights: lowess of y on x with 3 robustness
// iterations, returned in the input order.
std::vector<double> lowess_trend(const std::vector<double>& y, const std::vector<double>& x,
                                 double span);

// R's approx(x, y, xout, rule = 2, ties = mean) at one point.
struct interpolator {
    std::vector<double> ux, uy;

    interpolator(const std::vector<double>& x, const std::vector<double>& y) {
        std::vector<std::size_t> order = summaries::stable_order(x);
        for (std::size_t i = 0; i < order.size();) {
            std::size_t j = i;
            std::vector<double> tied;
            while (j < order.size() && x[order[j]] == x[order[i]]) tied.push_back(y[order[j++]]);
            ux.push_back(x[order[i]]);
            uy.push_back(summaries::r_mean(tied));
            i = j;
        }
    }

    double operator()(double v) const {
        if (std::isnan(v)) return std::numeric_limits<double>::quiet_NaN();
        const std::size_t last = ux.size() - 1;
        if (v <= ux[0]) return uy[0];
        if (v >= ux[last]) return uy[last];
        std::size_t i = 0, j = last;
        while (i < j - 1) {
            const std::size_t ij = (i + j) / 2;
            if (v < ux[ij])
                j = ij;
            else
                i = ij;
        }
        if (v == ux[j]) return uy[j];
        if (v == ux[i]) return uy[i];
        return uy[i] + (uy[j] - uy[i]) * ((v - ux[i]) / (ux[j] - ux[i]));
    }
};

}  // namespace tessera::kernels::smoothing
