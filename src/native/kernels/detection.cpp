#include "kernels/detection.hpp"

#include "kernels/special.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace tessera::kernels::detection {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Tables whose log weights differ by less than this are merged as equally
// probable (far inside tie_tolerance).
constexpr double weight_quantum = 1e-9;

// One class of partial tables: the samples measured so far, the log weight
// sum over the groups so far of log C(sizes[g], x[g]) (rounded to the
// quantum for merging: `key`), and how many tables share it.
struct partial {
    std::int64_t measured;
    std::int64_t key;
    double weight;
    double count;
};

// The conditional law of the table probability, for every total of measured
// samples: built group by group from the partial tables, merging those with
// the same measured total and weight (tables that differ by the order of
// groups of one size fall together, so groups of equal sizes cost what their
// multisets do, not their sequences). Built once for all the features of a
// call; not built (complete() false) past max_partial_tables.
class distribution {
public:
    distribution(const std::int64_t* sizes, std::size_t groups, bool (*should_stop)(void*),
                 void* context)
        : sizes_(sizes, sizes + groups) {
        std::int64_t everyone = 0;
        for (std::int64_t n : sizes_) everyone += n;
        log_factorial_.assign(static_cast<std::size_t>(everyone) + 1, 0.0);
        for (std::size_t n = 2; n < log_factorial_.size(); ++n)
            log_factorial_[n] = special::log_gamma(static_cast<double>(n) + 1.0);
        std::vector<partial> tables{{0, 0, 0.0, 1.0}}, next;
        for (std::int64_t n : sizes_) {
            if (should_stop && should_stop(context)) {
                stopped_ = true;
                return;
            }
            if (tables.size() * static_cast<std::size_t>(n + 1) > max_partial_tables) return;
            next.clear();
            for (const partial& t : tables) {
                for (std::int64_t x = 0; x <= n; ++x) {
                    const double w = t.weight + log_choose(n, x);
                    next.push_back({t.measured + x, std::llround(w / weight_quantum), w, t.count});
                }
            }
            std::sort(next.begin(), next.end(), [](const partial& a, const partial& b) {
                return a.measured != b.measured ? a.measured < b.measured : a.key < b.key;
            });
            tables.clear();
            for (const partial& t : next) {
                if (!tables.empty() && tables.back().measured == t.measured && tables.back().key == t.key)
                    tables.back().count += t.count;
                else
                    tables.push_back(t);
            }
        }
        // per total, the weights in increasing order and the probability of
        // the tables up to each (summed from the least probable)
        weights_.resize(static_cast<std::size_t>(everyone) + 1);
        tails_.resize(weights_.size());
        for (std::size_t first = 0; first < tables.size();) {
            const std::int64_t k = tables[first].measured;
            std::size_t end = first;
            while (end < tables.size() && tables[end].measured == k) ++end;
            std::sort(tables.begin() + static_cast<std::ptrdiff_t>(first),
                      tables.begin() + static_cast<std::ptrdiff_t>(end),
                      [](const partial& a, const partial& b) { return a.weight < b.weight; });
            auto& w = weights_[static_cast<std::size_t>(k)];
            auto& tail = tails_[static_cast<std::size_t>(k)];
            const double log_all = log_choose(everyone, k);
            double total = 0.0;
            for (std::size_t i = first; i < end; ++i) {
                total += tables[i].count * std::exp(tables[i].weight - log_all);
                w.push_back(tables[i].weight);
                tail.push_back(std::min(total, 1.0));
            }
            first = end;
        }
        complete_ = true;
    }

    bool complete() const { return complete_; }
    bool stopped() const { return stopped_; }
    std::int64_t samples() const { return static_cast<std::int64_t>(weights_.size()) - 1; }

    // The log weight of a table, summed in the order the law was built.
    double weight(const std::int64_t* measured) const {
        double w = 0.0;
        for (std::size_t g = 0; g < sizes_.size(); ++g) w += log_choose(sizes_[g], measured[g]);
        return w;
    }

    // The probability of the tables with `total` measured whose weight is at
    // most `bound` plus the tie tolerance.
    double tail(std::int64_t total, double bound) const {
        const auto& w = weights_[static_cast<std::size_t>(total)];
        const auto past = std::upper_bound(w.begin(), w.end(), bound + std::log1p(tie_tolerance));
        return past == w.begin() ? 0.0 : tails_[static_cast<std::size_t>(total)][static_cast<std::size_t>(past - w.begin() - 1)];
    }

    // The least weight of a table with `total` measured.
    double least_weight(std::int64_t total) const { return weights_[static_cast<std::size_t>(total)].front(); }

private:
    double log_choose(std::int64_t n, std::int64_t k) const {
        return log_factorial_[static_cast<std::size_t>(n)] -
               log_factorial_[static_cast<std::size_t>(k)] -
               log_factorial_[static_cast<std::size_t>(n - k)];
    }

    std::vector<std::int64_t> sizes_;
    std::vector<double> log_factorial_;       // log n! up to all samples
    std::vector<std::vector<double>> weights_, tails_;  // [total][class]
    bool complete_ = false, stopped_ = false;
};

std::int64_t sum(const std::int64_t* values, std::size_t n) {
    std::int64_t s = 0;
    for (std::size_t i = 0; i < n; ++i) s += values[i];
    return s;
}

}  // namespace

double exact_p(const std::int64_t* sizes, const std::int64_t* measured, std::size_t groups) {
    const distribution law(sizes, groups, nullptr, nullptr);
    return law.complete() ? law.tail(sum(measured, groups), law.weight(measured)) : nan;
}

double least_p(const std::int64_t* sizes, std::size_t groups, std::int64_t total) {
    const distribution law(sizes, groups, nullptr, nullptr);
    return law.complete() ? law.tail(total, law.least_weight(total)) : nan;
}

bool exact_tests(const std::int64_t* const* counts, const std::int64_t* sizes,
                 std::size_t groups, std::size_t rows, double* p, double* least,
                 bool (*should_stop)(void*), void* context) {
    const distribution law(sizes, groups, should_stop, context);
    if (law.stopped()) return false;
    std::vector<std::int64_t> measured(groups);
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t g = 0; g < groups; ++g) measured[g] = counts[g][r];
        const std::int64_t total = sum(measured.data(), groups);
        if (!law.complete() || total == 0 || total == law.samples()) {
            p[r] = least[r] = nan;
            continue;
        }
        p[r] = law.tail(total, law.weight(measured.data()));
        least[r] = law.tail(total, law.least_weight(total));
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
