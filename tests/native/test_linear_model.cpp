// Standalone checks of the linear-model kernels: contrast expressions, the
// two least-squares routes (dqrdc2's QR and the Gram matrix) and where each
// leaves a coefficient out, the fit of features with gaps, contrasts.
//
// Expected numbers are exact in binary or follow from the arithmetic
// stated beside them; the agreement with limma itself is tests/test_contrasts.py's.
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "checks.hpp"
#include "kernels/contrast_expressions.hpp"
#include "kernels/duplicate_correlation.hpp"
#include "kernels/least_squares.hpp"
#include "kernels/linear_model.hpp"

using namespace tessera::kernels;

namespace {

using checks::check;

bool close(double a, double b, double tol) { return std::fabs(a - b) <= tol * std::max(1.0, std::fabs(b)); }

void test_contrast_expressions() {
    const std::vector<std::string> names = {"A", "B", "C", "(Intercept)"};
    struct good {
        const char* text;
        std::vector<double> weights;
    };
    const good goods[] = {
        {"B - A", {-1, 1, 0, 0}},
        {"C - (A + B)/2", {-0.5, -0.5, 1, 0}},
        {"-A*2 + .5e1*B", {-2, 5, 0, 0}},
        {"(A - B) / 3", {1.0 / 3, -1.0 / 3, 0, 0}},
        {"`(Intercept)` + +C", {0, 0, 1, 1}},
    };
    for (const good& g : goods) {
        const auto out = contrast_expressions::parse(g.text, names);
        check(out.error.empty() && out.weights == g.weights, std::string("parse ") + g.text + ": " + out.error);
    }
    const char* bad[][2] = {
        {"A * B", "a product of coefficients is not linear"},
        {"A / B", "a division by a coefficient is not linear"},
        {"A + 1", "a constant term is not a contrast of coefficients"},
        {"A - A", "it weighs every coefficient by 0"},
        {"3", "it has no coefficient"},
        {"D", "unknown coefficient 'D'"},
        {"(A", "a '(' is not closed"},
        {"`A", "a '`' is not closed"},
        {"A -", "the expression ends too early"},
        {"A B", "unexpected 'B' at position 3"},
        {"A / 0", "a division by 0"},
    };
    for (const auto& b : bad) {
        const auto out = contrast_expressions::parse(b[0], names);
        check(out.error == b[1], std::string("refuse ") + b[0] + ": got '" + out.error + "'");
    }
}

// y = 1 + 2 x exactly on x = 0..4, a column of zeros and a repeated column:
// both routes leave the last two out, as lm.fit does.
void test_routes_leave_out_the_same_columns() {
    const std::size_t n = 5, p = 4;
    std::vector<double> x(n * p);  // column-major: 1, x, 0, x again
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = 1;
        x[n + i] = static_cast<double>(i);
        x[2 * n + i] = 0;
        x[3 * n + i] = static_cast<double>(i);
    }
    const linalg::qr_factor qr(x.data(), n, p);
    check(qr.rank() == 2 && qr.pivot()[0] == 0 && qr.pivot()[1] == 1, "QR rank 2, columns 0 and 1");
    std::vector<double> y = {1, 3, 5, 7, 9}, coef(p);
    qr.apply_qt(y.data());
    qr.solve(y.data(), coef.data());
    check(close(coef[0], 1, 1e-14) && close(coef[1], 2, 1e-14) && std::isnan(coef[2]) && std::isnan(coef[3]),
          "QR coefficients 1, 2, NaN, NaN");
    std::vector<double> gram(p * p, 0.0);
    for (std::size_t a = 0; a < p; ++a)
        for (std::size_t b = 0; b < p; ++b)
            for (std::size_t i = 0; i < n; ++i) gram[a * p + b] += x[a * n + i] * x[b * n + i];
    linalg::gram_factor gf;
    check(gf.factor(gram.data(), p) && gf.kept() == std::vector<std::size_t>{0, 1}, "Gram keeps columns 0 and 1");
    const double c[2] = {25, 70};  // X'y over the kept columns
    double b[2];
    gf.solve(c, b);
    check(close(b[0], 1, 1e-13) && close(b[1], 2, 1e-13), "Gram coefficients 1, 2");
    double var[2], qr_var[4];
    gf.inverse_diagonal(var);
    qr.inverse_diagonal(qr_var);
    // (X'X)^-1 for x = 0..4 with an intercept: diag 0.6 and 0.1
    check(close(var[0], 0.6, 1e-13) && close(var[1], 0.1, 1e-13) && close(qr_var[0], 0.6, 1e-13) &&
              close(qr_var[1], 0.1, 1e-13) && std::isnan(qr_var[2]),
          "unscaled variances 0.6 and 0.1");
    // nearly dependent (1e-6 of its length unexplained): the Gram route declines
    std::vector<double> near = {1, 1, 1, 1 + 1e-10};
    check(!gf.factor(near.data(), 2), "Gram declines a nearly dependent column");
}

// Three groups of two, one feature with a gap in each way it can have one.
void test_fit_with_gaps() {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // design ~ 0 + group + b: group columns, then a covariate b
    const std::size_t n = 6, p = 4;
    const double design[n * p] = {1, 0, 0, 0, 1, 0, 0, 1, 0, 1, 0, 0, 0, 1, 0, 1, 0, 0, 1, 0, 0, 0, 1, 1};
    const double values[3 * n] = {
        1, 2, 3, 5, 8, 9,          // complete
        nan, nan, 3, 5, 8, 9,      // no value in group 1: its coefficient is out
        1, 2, 3, nan, 8, nan,      // b only where group 1 is: b is out, group 1 as well? no: kept
    };
    linear_model::model m;
    m.design = design;
    m.samples = n;
    m.coefs = p;
    linear_model::fit f;
    linear_model::lm_fit(values, 3, m, f);
    check(!f.complete, "gaps seen");
    check(f.df_residual[0] == 2 && f.n_obs[0] == 6, "complete row: df 2");
    check(std::isnan(f.coef[1 * p + 0]) && !std::isnan(f.coef[1 * p + 1]) && f.df_residual[1] == 1,
          "row without group 1: its coefficient NaN, df 1");
    // row 3: samples 0 1 2 4; b = (0 1 0 0): with group 1 (1 1 0 0) both estimable, df 0
    check(!std::isnan(f.coef[2 * p + 3]) && f.df_residual[2] == 0 && std::isnan(f.s2[2]),
          "row 3: df 0, no variance");
    // contrasts: group 2 - group 1 is NaN where group 1 is out
    const double contrasts[p * 1] = {-1, 1, 0, 0};
    double est[3], sd[3], cov[1];
    linear_model::contrasts_fit(f, 3, p, contrasts, 1, est, sd, cov);
    check(!std::isnan(est[0]) && std::isnan(est[1]) && std::isnan(sd[1]) && !std::isnan(est[2]),
          "a contrast needing an inestimable coefficient is NaN");
    check(linear_model::dependent_columns(design, n, p).empty(), "the design has full rank");
    const double twice[n * 2] = {1, 2, 1, 2, 0, 0, 0, 0, 1, 2, 1, 2};
    check(linear_model::dependent_columns(twice, n, 2) == std::vector<std::size_t>{1},
          "a column twice another is dependent");
}

// One-way random effects, balanced (4 blocks of 3, intercept only): REML's
// variance components are the ANOVA ones, within MSW and between
// (MSB - MSW) / 3, which glmgam.fit's iteration reaches to its tolerance.
void test_variance_components_balanced() {
    const double y[12] = {4.1, 3.7, 4.4, 6.0, 5.2, 5.9, 2.9, 3.8, 3.1, 5.0, 4.6, 5.5};
    const double x[12] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
    const int block[12] = {0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3};
    double grand = 0, means[4] = {0, 0, 0, 0};
    for (int i = 0; i < 12; ++i) {
        grand += y[i] / 12;
        means[block[i]] += y[i] / 3;
    }
    double ssw = 0, ssb = 0;
    for (int i = 0; i < 12; ++i) ssw += (y[i] - means[block[i]]) * (y[i] - means[block[i]]);
    for (double m : means) ssb += 3 * (m - grand) * (m - grand);
    const double msw = ssw / 8, msb = ssb / 3;
    double within = 0, between = 0;
    duplicate_correlation::variance_components(y, x, 12, 1, block, 4, within, between);
    check(close(within, msw, 1e-6) && close(between, (msb - msw) / 3, 1e-6),
          "balanced REML: within " + std::to_string(within) + " vs " + std::to_string(msw) +
              ", between " + std::to_string(between) + " vs " + std::to_string((msb - msw) / 3));
}

}  // namespace

int main() {
    test_variance_components_balanced();
    test_contrast_expressions();
    test_routes_leave_out_the_same_columns();
    test_fit_with_gaps();
    return checks::report();
}
