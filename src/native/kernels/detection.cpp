#include "kernels/detection.hpp"

#include "kernels/parallel.hpp"
#include "kernels/special.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <map>
#include <vector>

namespace tessera::kernels::detection {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();

// The tables of one set of group sizes, as the network algorithm walks them
// (Mehta and Patel 1983): group by group, with the highest and lowest log
// weight, sum over g of log C(sizes[g], x[g]), that the groups still to
// place can add for each number of measured samples left to them, so that
// a partial table whose every completion is in the tail (or none is) is
// settled at once. Built once for all the features of a call.
class tables {
public:
    tables(const std::int64_t* sizes, std::size_t groups)
        : sizes_(sizes, sizes + groups), rest_(groups + 1, 0) {
        for (std::size_t g = groups; g-- > 0;) rest_[g] = rest_[g + 1] + sizes_[g];
        log_factorial_.resize(static_cast<std::size_t>(rest_[0]) + 1, 0.0);
        for (std::size_t n = 2; n < log_factorial_.size(); ++n)
            log_factorial_[n] = special::log_gamma(static_cast<double>(n) + 1.0);
        highest_.resize(groups + 1);
        lowest_.resize(groups + 1);
        highest_[groups] = lowest_[groups] = {0.0};
        for (std::size_t g = groups; g-- > 0;) {
            highest_[g].assign(static_cast<std::size_t>(rest_[g]) + 1, -infinity);
            lowest_[g].assign(static_cast<std::size_t>(rest_[g]) + 1, infinity);
            for (std::int64_t k = 0; k <= rest_[g]; ++k) {
                auto& hi = highest_[g][static_cast<std::size_t>(k)];
                auto& lo = lowest_[g][static_cast<std::size_t>(k)];
                for (std::int64_t x = first(g, k); x <= last(g, k); ++x) {
                    const double w = log_choose(sizes_[g], x);
                    const auto left = static_cast<std::size_t>(k - x);
                    hi = std::max(hi, w + highest_[g + 1][left]);
                    lo = std::min(lo, w + lowest_[g + 1][left]);
                }
            }
        }
    }

    std::int64_t samples() const { return rest_[0]; }

    // The log probability of a table given its margins.
    double log_probability(const std::int64_t* measured, std::int64_t total) const {
        double w = 0.0;
        for (std::size_t g = 0; g < sizes_.size(); ++g) w += log_choose(sizes_[g], measured[g]);
        return w - log_choose(rest_[0], total);
    }

    // The least log probability of a table with `total` samples measured.
    double least_log_probability(std::int64_t total) const {
        return lowest_[0][static_cast<std::size_t>(total)] - log_choose(rest_[0], total);
    }

    // The total probability of the tables with `total` samples measured
    // whose log probability is at most `bound`.
    double tail(std::int64_t total, double bound) const {
        const double log_all = log_choose(rest_[0], total);
        double sum = 0.0;
        walk(0, total, 0.0, bound + log_all, log_all, sum);
        return std::min(sum, 1.0);
    }

private:
    double log_choose(std::int64_t n, std::int64_t k) const {
        return log_factorial_[static_cast<std::size_t>(n)] -
               log_factorial_[static_cast<std::size_t>(k)] -
               log_factorial_[static_cast<std::size_t>(n - k)];
    }
    // The fewest and most measured samples group g can take when k are left
    // for it and the groups after it.
    std::int64_t first(std::size_t g, std::int64_t k) const {
        return std::max<std::int64_t>(0, k - rest_[g + 1]);
    }
    std::int64_t last(std::size_t g, std::int64_t k) const { return std::min(sizes_[g], k); }

    void walk(std::size_t g, std::int64_t k, double weight, double bound, double log_all,
              double& sum) const {
        const auto left = static_cast<std::size_t>(k);
        if (weight + highest_[g][left] <= bound) {
            // every completion: by Vandermonde's identity their weights sum to C(rest, k)
            sum += std::exp(weight + log_choose(rest_[g], k) - log_all);
            return;
        }
        if (weight + lowest_[g][left] > bound) return;
        for (std::int64_t x = first(g, k); x <= last(g, k); ++x)
            walk(g + 1, k - x, weight + log_choose(sizes_[g], x), bound, log_all, sum);
    }

    std::vector<std::int64_t> sizes_;
    std::vector<std::int64_t> rest_;                     // samples of groups g..end
    std::vector<double> log_factorial_;                  // log n! for n up to all samples
    std::vector<std::vector<double>> highest_, lowest_;  // [g][k]
};

std::int64_t sum(const std::int64_t* values, std::size_t n) {
    std::int64_t s = 0;
    for (std::size_t i = 0; i < n; ++i) s += values[i];
    return s;
}

// exact_p of a table of `all`, and least_p of its margins.
void test_table(const tables& all, const std::int64_t* measured, std::size_t groups, double& p,
                double& least) {
    const std::int64_t total = sum(measured, groups);
    const double slack = std::log1p(tie_tolerance);
    p = all.tail(total, all.log_probability(measured, total) + slack);
    least = all.tail(total, all.least_log_probability(total) + slack);
}

}  // namespace

double exact_p(const std::int64_t* sizes, const std::int64_t* measured, std::size_t groups) {
    const tables all(sizes, groups);
    double p = 0, least = 0;
    test_table(all, measured, groups, p, least);
    return p;
}

double least_p(const std::int64_t* sizes, std::size_t groups, std::int64_t total) {
    const tables all(sizes, groups);
    return all.tail(total, all.least_log_probability(total) + std::log1p(tie_tolerance));
}

bool exact_tests(const std::int64_t* const* counts, const std::int64_t* sizes,
                 std::size_t groups, std::size_t rows, double* p, double* least,
                 bool (*should_stop)(void*), void* context) {
    const tables all(sizes, groups);
    std::map<std::vector<std::int64_t>, std::size_t> index;
    std::vector<std::vector<std::int64_t>> patterns;
    std::vector<std::size_t> pattern_of(rows);
    std::vector<std::int64_t> key(groups);
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t g = 0; g < groups; ++g) key[g] = counts[g][r];
        const auto [it, added] = index.emplace(key, patterns.size());
        if (added) patterns.push_back(key);
        pattern_of[r] = it->second;
    }
    std::vector<double> pattern_p(patterns.size()), pattern_least(patterns.size());
    std::atomic<bool> stopped{false};
    parallel_for(patterns.size(), [&](std::size_t i) {
        if (stopped.load(std::memory_order_relaxed)) return;
        if (should_stop && should_stop(context)) {
            stopped = true;
            return;
        }
        const std::int64_t total = sum(patterns[i].data(), groups);
        if (total == 0 || total == all.samples())
            pattern_p[i] = pattern_least[i] = nan;
        else
            test_table(all, patterns[i].data(), groups, pattern_p[i], pattern_least[i]);
    });
    if (stopped) return false;
    for (std::size_t r = 0; r < rows; ++r) {
        p[r] = pattern_p[pattern_of[r]];
        least[r] = pattern_least[pattern_of[r]];
    }
    return true;
}

void choose_evidence(const double* intensity_p, const double* detection_p, const double* least,
                     double level, std::size_t rows, std::uint8_t* evidence, double* statistic) {
    for (std::size_t r = 0; r < rows; ++r) {
        const bool by_intensity = !std::isnan(intensity_p[r]);
        const bool by_detection = least[r] <= level;  // false for NaN
        evidence[r] = by_intensity ? (by_detection ? both : intensity)
                                   : (by_detection ? detection : none);
        statistic[r] = evidence[r] == both
                           ? -2.0 * (std::log(intensity_p[r]) + std::log(detection_p[r]))
                           : nan;
    }
}

void hurdle_answers(const std::uint8_t* evidence, const double* intensity_p,
                    const double* detection_p, const double* combined, std::size_t rows,
                    double* answer) {
    for (std::size_t r = 0; r < rows; ++r) {
        switch (evidence[r]) {
            case intensity: answer[r] = intensity_p[r]; break;
            case detection: answer[r] = detection_p[r]; break;
            case both: answer[r] = combined[r]; break;
            default: answer[r] = nan;
        }
    }
}

}  // namespace tessera::kernels::detection
