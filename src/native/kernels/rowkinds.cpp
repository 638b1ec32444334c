#include "kernels/rowkinds.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace tessera::kernels {
// n is small: a sort is cheap.
bool has_ties(double* values, std::size_t n) {
    std::sort(values, values + n);
    for (std::size_t i = 1; i < n; ++i)
        if (values[i] == values[i - 1]) return true;
    return false;
}

void two_sample_kinds(const double* xs, std::size_t nx, const double* ys, std::size_t ny,
                      std::size_t rows, row_kind* kinds) {
    std::vector<double> pooled(nx + ny);
    for (std::size_t r = 0; r < rows; ++r) {
        const double* x = xs + r * nx;
        const double* y = ys + r * ny;
        std::copy(x, x + nx, pooled.begin());
        std::copy(y, y + ny, pooled.begin() + static_cast<std::ptrdiff_t>(nx));
        const bool missing =
            std::any_of(pooled.begin(), pooled.end(), [](double v) { return std::isnan(v); });
        kinds[r] = missing                          ? row_kind::missing
                   : has_ties(pooled.data(), nx + ny) ? row_kind::tied
                                                     : row_kind::distinct;
    }
}

void paired_kinds(const double* xs, const double* ys, std::size_t n, std::size_t rows,
                  row_kind* kinds) {
    std::vector<double> magnitude(n);
    for (std::size_t r = 0; r < rows; ++r) {
        const double* x = xs + r * n;
        const double* y = ys + r * n;
        bool missing = false, nonfinite = false, zero = false;
        for (std::size_t i = 0; i < n; ++i) {
            missing = missing || std::isnan(x[i]) || std::isnan(y[i]);
            const double d = x[i] - y[i];
            nonfinite = nonfinite || !std::isfinite(d);
            zero = zero || d == 0.0;
            magnitude[i] = std::fabs(d);
        }
        kinds[r] = missing                                      ? row_kind::missing
                   : nonfinite                                  ? row_kind::nonfinite
                   : zero || has_ties(magnitude.data(), n)       ? row_kind::tied
                                                                : row_kind::distinct;
    }
}

const char* rank_method(row_kind kind, bool paired, std::size_t nx, std::size_t ny) {
    // wilcoxon: exact up to 50 pairs without ties or zeros; with them the
    // normal approximation above 13 pairs, else a sign-flip enumeration of
    // its own. mannwhitneyu: exact when one sample has at most 8 values and
    // nothing ties, else the normal approximation.
    switch (kind) {
        case row_kind::distinct:
            if (paired) return nx > 50 ? "asymptotic" : "exact";
            return nx > 8 && ny > 8 ? "asymptotic" : "exact";
        case row_kind::tied:
            return !paired || nx > 13 ? "asymptotic" : nullptr;
        default:
            return nullptr;
    }
}

}  // namespace tessera::kernels
