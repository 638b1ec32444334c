#include "kernels/linear_model.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>

#include "kernels/least_squares.hpp"
#include "kernels/parallel.hpp"

namespace tessera::kernels::linear_model {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Upper Cholesky factor U (U'U = a) of a small symmetric positive-definite
// matrix (m x m, row-major), as LAPACK's dpotrf computes it.
std::vector<double> cholesky_upper(const std::vector<double>& a, std::size_t m) {
    std::vector<double> u(m * m, 0.0);
    for (std::size_t j = 0; j < m; ++j) {
        double s = a[j * m + j];
        for (std::size_t k = 0; k < j; ++k) s -= u[k * m + j] * u[k * m + j];
        u[j * m + j] = std::sqrt(s);
        for (std::size_t i = j + 1; i < m; ++i) {
            double t = a[j * m + i];
            for (std::size_t k = 0; k < j; ++k) t -= u[k * m + j] * u[k * m + i];
            u[j * m + i] = t / u[j * m + j];
        }
    }
    return u;
}

// The whitening of gls.series for a set of samples: per block, the members
// (positions among the samples) and the Cholesky factor of their covariance,
// the correlation matrix scaled by 1/sqrt(weight) on both sides.
struct whitening {
    std::vector<std::vector<std::size_t>> members;
    std::vector<std::vector<double>> factor;

    // samples: the columns taken part, in order; weights may be null.
    void build(const model& m, const std::vector<std::size_t>& samples, const double* weights) {
        members.assign(m.blocks, {});
        factor.clear();
        for (std::size_t i = 0; i < samples.size(); ++i)
            members[static_cast<std::size_t>(m.block[samples[i]])].push_back(i);
        members.erase(std::remove_if(members.begin(), members.end(),
                                     [](const auto& v) { return v.empty(); }),
                      members.end());
        for (const auto& group : members) {
            const std::size_t size = group.size();
            std::vector<double> v(size * size);
            for (std::size_t a = 0; a < size; ++a)
                for (std::size_t b = 0; b < size; ++b) {
                    double x = a == b ? 1.0 : m.correlation;
                    if (weights) {
                        // wrs * t(wrs * t(V)): column b scaled first, then row a
                        const double wa = 1 / std::sqrt(weights[samples[group[a]]]);
                        const double wb = 1 / std::sqrt(weights[samples[group[b]]]);
                        x = x * wb * wa;
                    }
                    v[a * size + b] = x;
                }
            factor.push_back(cholesky_upper(v, size));
        }
    }

    // y (one value per sample taken part) replaced by U'^-1 y, block by block.
    void apply(double* y) const {
        for (std::size_t g = 0; g < members.size(); ++g) {
            const auto& idx = members[g];
            const auto& u = factor[g];
            const std::size_t size = idx.size();
            for (std::size_t i = 0; i < size; ++i) {
                double s = y[idx[i]];
                for (std::size_t k = 0; k < i; ++k) s -= u[k * size + i] * y[idx[k]];
                y[idx[i]] = s / u[i * size + i];
            }
        }
    }
};

// The design's rows at `samples`, transformed as the values will be
// (scaled by sqrt(weight), or whitened), column-major.
std::vector<double> transformed_design(const model& m, const std::vector<std::size_t>& samples,
                                       const double* weights, const whitening* white) {
    const std::size_t n = samples.size(), p = m.coefs;
    std::vector<double> x(n * p);
    std::vector<double> column(n);
    for (std::size_t j = 0; j < p; ++j) {
        for (std::size_t i = 0; i < n; ++i) {
            const double v = m.design[samples[i] * p + j];
            column[i] = weights && !white ? v * std::sqrt(weights[samples[i]]) : v;
        }
        if (white) white->apply(column.data());
        std::copy(column.begin(), column.end(), x.begin() + j * n);
    }
    return x;
}

// The covariance of the coefficients lmFit reports (see fit::cov).
void design_covariance(const model& m, bool complete, fit& out) {
    std::vector<std::size_t> all(m.samples);
    std::iota(all.begin(), all.end(), 0);
    const double* weights = complete ? m.weights : nullptr;
    whitening white;
    if (m.block) white.build(m, all, weights);
    const std::vector<double> x = transformed_design(m, all, weights, m.block ? &white : nullptr);
    const linalg::qr_factor qr(x.data(), m.samples, m.coefs);
    out.cov.assign(m.coefs * m.coefs, nan);
    qr.inverse(out.cov.data());
}

// Group means of a cell-means design: the arithmetic of the group-means
// fit the moderated tests have always used (sums and counts, residuals
// about the means), so that their numbers do not move by a rounding.
void cell_means_fit(const double* values, std::size_t rows, const model& m, fit& out) {
    const std::size_t n = m.samples, p = m.coefs;
    std::vector<int> group(n, -1);
    std::vector<double> size(p, 0.0);
    for (std::size_t c = 0; c < n; ++c)
        for (std::size_t j = 0; j < p; ++j)
            if (m.design[c * p + j] == 1.0) {
                group[c] = static_cast<int>(j);
                size[j] += 1;
            }
    std::vector<double> count(rows * p);
    group_means(values, rows, n, group.data(), p, out.coef.data(), count.data(), out.s2.data(),
                out.df_residual.data(), out.amean.data());
    for_row_blocks(rows, [&](std::size_t r) {
        double total = 0;
        for (std::size_t j = 0; j < p; ++j) {
            const double k = count[r * p + j];
            out.stdev_unscaled[r * p + j] = k > 0 ? std::sqrt(1.0 / k) : nan;
            total += k;
        }
        out.n_obs[r] = total;
    });
    out.cov.assign(p * p, 0.0);
    for (std::size_t j = 0; j < p; ++j) out.cov[j * p + j] = 1.0 / size[j];
}

// One row's least squares by the Gram route: the normal equations
// X'X b = X'y, then one refinement from the residuals, b += (X'X)^-1 X'e.
// x: the k rows of the estimable columns (k x rank, row-major); b gets the
// rank coefficients; returns the residual sum of squares |e - X delta|^2.
// R > 0 fixes the rank when compiling, so that the sums over the columns
// stay in registers; R = 0 takes any rank, with work (3 rank values) for them.
template <std::size_t R>
long double gram_fit_row(const double* __restrict x, const double* __restrict y, std::size_t k,
                         std::size_t rank, const linalg::gram_factor& gf, double* __restrict b,
                         double* __restrict work) {
    if (R > 0) rank = R;
    double fixed[R > 0 ? 3 * R : 1];
    double* __restrict c = R > 0 ? fixed : work;
    double* __restrict delta = c + rank;
    double* __restrict first = delta + rank;
    std::fill(c, c + rank, 0.0);
    for (std::size_t q = 0; q < k; ++q) {
        const double* row = x + q * rank;
        for (std::size_t j = 0; j < rank; ++j) c[j] += row[j] * y[q];
    }
    gf.solve(c, first);
    std::fill(c, c + rank, 0.0);
    long double ss = 0;
    for (std::size_t q = 0; q < k; ++q) {
        const double* row = x + q * rank;
        double fitted = 0;
        for (std::size_t j = 0; j < rank; ++j) fitted += row[j] * first[j];
        const double e = y[q] - fitted;
        ss += static_cast<long double>(e) * e;
        for (std::size_t j = 0; j < rank; ++j) c[j] += row[j] * e;
    }
    gf.solve(c, delta);
    // |e - X delta|^2 = |e|^2 - delta'X'e, as X'X delta = X'e
    long double shrink = 0;
    for (std::size_t j = 0; j < rank; ++j) shrink += static_cast<long double>(delta[j]) * c[j];
    for (std::size_t j = 0; j < rank; ++j) b[j] = first[j] + delta[j];
    return ss - shrink;
}

// gram_fit_row, its rank fixed when compiling for the designs of up to 10
// estimable columns.
long double gram_fit(const double* x, const double* y, std::size_t k, std::size_t rank,
                     const linalg::gram_factor& gf, double* b, double* work) {
    switch (rank) {
        case 1: return gram_fit_row<1>(x, y, k, rank, gf, b, work);
        case 2: return gram_fit_row<2>(x, y, k, rank, gf, b, work);
        case 3: return gram_fit_row<3>(x, y, k, rank, gf, b, work);
        case 4: return gram_fit_row<4>(x, y, k, rank, gf, b, work);
        case 5: return gram_fit_row<5>(x, y, k, rank, gf, b, work);
        case 6: return gram_fit_row<6>(x, y, k, rank, gf, b, work);
        case 7: return gram_fit_row<7>(x, y, k, rank, gf, b, work);
        case 8: return gram_fit_row<8>(x, y, k, rank, gf, b, work);
        case 9: return gram_fit_row<9>(x, y, k, rank, gf, b, work);
        case 10: return gram_fit_row<10>(x, y, k, rank, gf, b, work);
        default: return gram_fit_row<0>(x, y, k, rank, gf, b, work);
    }
}

// Buffers of one pattern's fit, kept by each thread from pattern to pattern.
struct pattern_scratch {
    std::vector<std::size_t> obs;
    std::vector<double> xr, gram, y, var, xk, b, work;
    linalg::gram_factor gf;
};

}  // namespace

void group_means(const double* values, std::size_t rows, std::size_t cols, const int* group,
                 std::size_t groups, double* coef, double* count, double* s2,
                 double* df_residual, double* amean) {
    const std::size_t blocks = (rows + block_rows - 1) / block_rows;
    parallel_for(blocks, [&](std::size_t b) {
        std::vector<double> sum(groups), n(groups);
        const std::size_t end = std::min(rows, (b + 1) * block_rows);
        for (std::size_t r = b * block_rows; r < end; ++r) {
            const double* row = values + r * cols;
            std::fill(sum.begin(), sum.end(), 0.0);
            std::fill(n.begin(), n.end(), 0.0);
            double total = 0, total_n = 0;
            // missing cells add zeros: no branch on the data, whose gaps fall at random
            for (std::size_t c = 0; c < cols; ++c) {
                const int g = group[c];
                if (g < 0) continue;
                const bool finite = std::isfinite(row[c]);
                const double v = finite ? row[c] : 0.0;
                sum[g] += v;
                n[g] += finite;
                total += v;
                total_n += finite;
            }
            double present = 0;
            double* m = coef + r * groups;
            for (std::size_t g = 0; g < groups; ++g) {
                m[g] = n[g] > 0 ? sum[g] / n[g] : nan;
                count[r * groups + g] = n[g];
                if (n[g] > 0) present += 1;
            }
            double rss = 0;
            for (std::size_t c = 0; c < cols; ++c) {
                const int g = group[c];
                if (g < 0) continue;
                const double d = std::isfinite(row[c]) ? row[c] - m[g] : 0.0;
                rss += d * d;
            }
            const double df = total_n - present;
            df_residual[r] = df;
            s2[r] = df > 0 ? rss / df : nan;
            amean[r] = total_n > 0 ? total / total_n : nan;
        }
    });
}

bool is_cell_means(const double* design, std::size_t samples, std::size_t coefs) {
    for (std::size_t c = 0; c < samples; ++c) {
        std::size_t ones = 0;
        for (std::size_t j = 0; j < coefs; ++j) {
            const double v = design[c * coefs + j];
            if (v == 1.0)
                ++ones;
            else if (v != 0.0)
                return false;
        }
        if (ones != 1) return false;
    }
    return true;
}

std::vector<std::size_t> dependent_columns(const double* design, std::size_t samples,
                                           std::size_t coefs) {
    std::vector<double> x(samples * coefs);
    for (std::size_t c = 0; c < samples; ++c)
        for (std::size_t j = 0; j < coefs; ++j) x[j * samples + c] = design[c * coefs + j];
    const linalg::qr_factor qr(x.data(), samples, coefs);
    std::vector<std::size_t> out(qr.pivot().begin() + qr.rank(), qr.pivot().end());
    std::sort(out.begin(), out.end());
    return out;
}

void lm_fit(const double* values, std::size_t rows, const model& m, fit& out,
            bool (*cancel)(void*), void* context) {
    const std::size_t n = m.samples, p = m.coefs;
    out.coef.assign(rows * p, nan);
    out.stdev_unscaled.assign(rows * p, nan);
    out.s2.assign(rows, nan);
    out.df_residual.assign(rows, 0.0);
    out.amean.assign(rows, nan);
    out.n_obs.assign(rows, 0.0);
    // which cells are measured, one bit each, and whether any is not
    const std::size_t words = (n + 63) / 64;
    std::vector<std::uint64_t> mask(rows * words, 0);
    std::atomic<bool> gaps{false};
    for_row_blocks(rows, [&](std::size_t r) {
        const double* row = values + r * n;
        std::uint64_t* bits = mask.data() + r * words;
        bool gap = false;
        // no branch on the data, whose gaps fall at random
        for (std::size_t c = 0; c < n; ++c) {
            const bool finite = std::isfinite(row[c]);
            bits[c / 64] |= static_cast<std::uint64_t>(finite) << (c % 64);
            gap |= !finite;
        }
        if (gap) gaps.store(true, std::memory_order_relaxed);
    });
    out.complete = !gaps.load();
    if (!m.weights && !m.block && is_cell_means(m.design, n, p)) {
        cell_means_fit(values, rows, m, out);
        return;
    }
    design_covariance(m, out.complete, out);

    // rows grouped by their pattern of measured cells
    std::vector<std::size_t> order(rows);
    std::iota(order.begin(), order.end(), 0);
    if (words == 1) {
        // one word per row: sort the (pattern, row) pairs themselves
        std::vector<std::pair<std::uint64_t, std::size_t>> keyed(rows);
        for (std::size_t r = 0; r < rows; ++r) keyed[r] = {mask[r], r};
        std::sort(keyed.begin(), keyed.end());
        for (std::size_t r = 0; r < rows; ++r) order[r] = keyed[r].second;
    } else {
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            const std::uint64_t* ka = mask.data() + a * words;
            const std::uint64_t* kb = mask.data() + b * words;
            for (std::size_t w = 0; w < words; ++w)
                if (ka[w] != kb[w]) return ka[w] < kb[w];
            return a < b;
        });
    }
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < rows; ++i)
        if (i == 0 || !std::equal(mask.begin() + order[i] * words, mask.begin() + (order[i] + 1) * words,
                                  mask.begin() + order[i - 1] * words))
            starts.push_back(i);
    starts.push_back(rows);

    std::vector<double> full_gram(p * p, 0.0);
    for (std::size_t c = 0; c < n; ++c) {
        const double* row = m.design + c * p;
        for (std::size_t a = 0; a < p; ++a)
            for (std::size_t b = 0; b < p; ++b) full_gram[a * p + b] += row[a] * row[b];
    }
    // one pattern's factorisation, and the fit of its rows rows_of[0, count)
    auto fit_rows = [&](const std::size_t* rows_of, std::size_t count) {
        const std::uint64_t* bits = mask.data() + rows_of[0] * words;
        thread_local pattern_scratch sc;
        std::vector<std::size_t>& obs = sc.obs;
        obs.resize(n);
        std::size_t k = 0;
        // no branch on the data, whose gaps fall at random
        for (std::size_t c = 0; c < n; ++c) {
            obs[k] = c;
            k += bits[c / 64] >> (c % 64) & 1;
        }
        obs.resize(k);
        if (k == 0) return;  // nothing measured: NaN, df 0
        whitening white;
        if (m.block) white.build(m, obs, m.weights);
        const bool plain = !m.weights && !m.block;
        // the design's rows, transformed as the values are (row-major)
        std::vector<double>& xr = sc.xr;
        if (!plain) {
            const std::vector<double> xc = transformed_design(m, obs, m.weights, m.block ? &white : nullptr);
            xr.resize(k * p);
            for (std::size_t i = 0; i < k; ++i)
                for (std::size_t j = 0; j < p; ++j) xr[i * p + j] = xc[j * k + i];
        }
        auto x_row = [&](std::size_t i) { return plain ? m.design + obs[i] * p : xr.data() + i * p; };
        // the lower triangle of the Gram matrix, all that gram_factor reads
        std::vector<double>& gram = sc.gram;
        gram.assign(p * p, 0.0);
        if (plain && 2 * k > n) {
            // the whole design's Gram matrix less the rows not measured
            gram = full_gram;
            for (std::size_t c = 0, i = 0; c < n; ++c) {
                if (i < k && obs[i] == c) {
                    ++i;
                    continue;
                }
                const double* row = m.design + c * p;
                for (std::size_t a = 0; a < p; ++a)
                    for (std::size_t b = 0; b <= a; ++b) gram[a * p + b] -= row[a] * row[b];
            }
        } else {
            for (std::size_t i = 0; i < k; ++i) {
                const double* row = x_row(i);
                for (std::size_t a = 0; a < p; ++a)
                    for (std::size_t b = 0; b <= a; ++b) gram[a * p + b] += row[a] * row[b];
            }
        }
        linalg::gram_factor& gf = sc.gf;
        std::vector<double>& y = sc.y;
        std::vector<double>& var = sc.var;
        y.resize(k);
        var.resize(p);
        auto load_row = [&](std::size_t r) {
            const double* row = values + r * n;
            double total = 0;
            for (std::size_t c = 0; c < k; ++c) {
                const double v = row[obs[c]];
                total += v;
                y[c] = m.weights && !m.block ? v * std::sqrt(m.weights[obs[c]]) : v;
            }
            out.amean[r] = static_cast<double>(total / k);
            out.n_obs[r] = static_cast<double>(k);
            if (m.block) white.apply(y.data());
        };
        if (gf.factor(gram.data(), p)) {
            const std::vector<std::size_t>& kept = gf.kept();
            const std::size_t rank = kept.size();
            gf.inverse_diagonal(var.data());
            // the estimable columns of the rows, contiguous
            std::vector<double>& xk = sc.xk;
            xk.resize(k * rank);
            for (std::size_t q = 0; q < k; ++q) {
                const double* row = x_row(q);
                if (rank == p)
                    std::copy(row, row + p, xk.data() + q * p);
                else
                    for (std::size_t j = 0; j < rank; ++j) xk[q * rank + j] = row[kept[j]];
            }
            const double df = static_cast<double>(k - rank);
            for (std::size_t j = 0; j < rank; ++j) var[j] = std::sqrt(var[j]);
            std::vector<double>& b = sc.b;
            b.resize(rank);
            sc.work.resize(3 * rank);
            for (std::size_t i = 0; i < count; ++i) {
                const std::size_t r = rows_of[i];
                load_row(r);
                const long double ss = gram_fit(xk.data(), y.data(), k, rank, gf, b.data(), sc.work.data());
                double* coef = out.coef.data() + r * p;
                double* su = out.stdev_unscaled.data() + r * p;
                for (std::size_t j = 0; j < rank; ++j) {
                    coef[kept[j]] = b[j];
                    su[kept[j]] = var[j];
                }
                out.df_residual[r] = df;
                if (k > rank) out.s2[r] = static_cast<double>(ss / (k - rank));
            }
            return;
        }
        // near-dependent columns: Householder QR, as lm.fit
        std::vector<double> x(k * p);
        for (std::size_t i = 0; i < k; ++i)
            for (std::size_t j = 0; j < p; ++j) x[j * k + i] = x_row(i)[j];
        const linalg::qr_factor qr(x.data(), k, p);
        var.assign(p, nan);
        qr.inverse_diagonal(var.data());
        const std::size_t rank = qr.rank();
        const double df = static_cast<double>(k - rank);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t r = rows_of[i];
            load_row(r);
            qr.apply_qt(y.data());
            qr.solve(y.data(), out.coef.data() + r * p);
            for (std::size_t j = 0; j < p; ++j)
                out.stdev_unscaled[r * p + j] = std::isnan(var[j]) ? nan : std::sqrt(var[j]);
            out.df_residual[r] = df;
            if (k > rank) {
                // mean square of the effects beyond the rank, as lm.series takes sigma
                long double ss = 0;
                for (std::size_t c = rank; c < k; ++c) ss += static_cast<long double>(y[c]) * y[c];
                out.s2[r] = static_cast<double>(ss / (k - rank));
            }
        }
    };
    // Tasks: the rows of a shared pattern in chunks that share its
    // factorisation; rows whose pattern is their own in row order, so that
    // they are read from memory in sequence.
    struct task {
        std::size_t begin, end;
        bool own_patterns;
    };
    std::vector<std::size_t> sequence;
    std::vector<task> tasks;
    std::vector<std::size_t> singles;
    constexpr std::size_t chunk = 256;
    for (std::size_t g = 0; g + 1 < starts.size(); ++g) {
        const std::size_t first = starts[g], last = starts[g + 1];
        if (last - first == 1) {
            singles.push_back(order[first]);
            continue;
        }
        for (std::size_t i = first; i < last; i += chunk) {
            const std::size_t begin = sequence.size();
            for (std::size_t j = i; j < std::min(last, i + chunk); ++j) sequence.push_back(order[j]);
            tasks.push_back({begin, sequence.size(), false});
        }
    }
    std::sort(singles.begin(), singles.end());
    for (std::size_t i = 0; i < singles.size(); i += chunk / 4) {
        const std::size_t begin = sequence.size();
        sequence.insert(sequence.end(), singles.begin() + i,
                        singles.begin() + std::min(singles.size(), i + chunk / 4));
        tasks.push_back({begin, sequence.size(), true});
    }
    std::atomic<bool> stopped{false};
    parallel_for(tasks.size(), [&](std::size_t t) {
        if (stopped.load(std::memory_order_relaxed)) return;
        if (cancel && cancel(context)) {
            stopped = true;
            return;
        }
        const task& job = tasks[t];
        if (job.own_patterns) {
            for (std::size_t i = job.begin; i < job.end; ++i) fit_rows(&sequence[i], 1);
        } else {
            fit_rows(&sequence[job.begin], job.end - job.begin);
        }
    });
}

void contrasts_fit(const fit& f, std::size_t rows, std::size_t coefs, const double* contrasts,
                   std::size_t k, double* estimate, double* stdev_unscaled,
                   double* contrast_cov) {
    // coefficients no contrast uses are left out, with their correlations
    std::vector<std::size_t> used;
    for (std::size_t j = 0; j < coefs; ++j) {
        bool any = false;
        for (std::size_t c = 0; c < k; ++c) any = any || contrasts[j * k + c] != 0;
        if (any) used.push_back(j);
    }
    const std::size_t q = used.size();
    std::vector<double> cov(q * q), cor(q * q), cm(q * k);
    for (std::size_t a = 0; a < q; ++a) {
        for (std::size_t b = 0; b < q; ++b) cov[a * q + b] = f.cov[used[a] * coefs + used[b]];
        for (std::size_t c = 0; c < k; ++c) cm[a * k + c] = contrasts[used[a] * k + c];
    }
    // cov2cor
    std::vector<double> is(q);
    for (std::size_t a = 0; a < q; ++a) is[a] = std::sqrt(1 / cov[a * q + a]);
    bool orthogonal = true;
    for (std::size_t a = 0; a < q; ++a)
        for (std::size_t b = 0; b < q; ++b) {
            cor[a * q + b] = a == b ? 1.0 : is[a] * cov[a * q + b] * is[b];
            // the threshold of contrasts.fit
            if (b < a && !(std::fabs(cor[a * q + b]) < 1e-14)) orthogonal = false;
        }
    // the contrasts' covariance: crossprod(chol(cov) %*% contrasts)
    const std::vector<double> u = cholesky_upper(cov, q);
    std::vector<double> uc(q * k, 0.0);
    for (std::size_t i = 0; i < q; ++i)
        for (std::size_t c = 0; c < k; ++c) {
            double s = 0;
            for (std::size_t m = 0; m < q; ++m) s += u[i * q + m] * cm[m * k + c];
            uc[i * k + c] = s;
        }
    for (std::size_t a = 0; a < k; ++a)
        for (std::size_t b = 0; b < k; ++b) {
            double s = 0;
            for (std::size_t i = 0; i < q; ++i) s += uc[i * k + a] * uc[i * k + b];
            contrast_cov[a * k + b] = s;
        }
    // the Cholesky factor of the correlation, for designs whose coefficients correlate
    const std::vector<double> rc = orthogonal ? std::vector<double>() : cholesky_upper(cor, q);
    for_row_blocks(rows, [&](std::size_t r) {
        // a coefficient the feature cannot estimate counts as 0 with standard
        // error 1e30, which makes every contrast using it NaN below
        thread_local std::vector<double> b, su;
        b.resize(q);
        su.resize(q);
        for (std::size_t a = 0; a < q; ++a) {
            const double coef = f.coef[r * coefs + used[a]];
            const bool missing = std::isnan(coef);
            b[a] = missing ? 0.0 : coef;
            su[a] = missing ? 1e30 : f.stdev_unscaled[r * coefs + used[a]];
        }
        for (std::size_t c = 0; c < k; ++c) {
            double est = 0;
            for (std::size_t a = 0; a < q; ++a) est += b[a] * cm[a * k + c];
            double sd;
            if (orthogonal) {
                double s = 0;
                for (std::size_t a = 0; a < q; ++a) s += su[a] * su[a] * (cm[a * k + c] * cm[a * k + c]);
                sd = std::sqrt(s);
            } else {
                double s = 0;
                for (std::size_t i = 0; i < q; ++i) {
                    double t = 0;
                    for (std::size_t a = i; a < q; ++a) t += rc[i * q + a] * (su[a] * cm[a * k + c]);
                    s += t * t;
                }
                sd = std::sqrt(s);
            }
            // the cut of contrasts.fit
            const bool na = sd > 1e20;
            estimate[r * k + c] = na ? nan : est;
            stdev_unscaled[r * k + c] = na ? nan : sd;
        }
    });
}

}  // namespace tessera::kernels::linear_model
