#include "rollup.hpp"

#include "median_polish.hpp"
#include "parallel.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <numeric>

namespace tessera::kernels {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Work (cells and pairs of runs touched) between two checks of the cancel hook.
constexpr std::size_t check_every = std::size_t{1} << 18;

bool counts(const coded_rows& t, std::size_t i) {
    return t.protein[i] >= 0 && static_cast<std::size_t>(t.protein[i]) < t.proteins &&
           t.feature[i] >= 0 && static_cast<std::size_t>(t.feature[i]) < t.features &&
           t.run[i] >= 0 && static_cast<std::size_t>(t.run[i]) < t.runs;
}

// One worker's memory: a protein's block and the methods' scratch.
struct worker_memory {
    std::vector<std::int32_t> local_of;  // feature code -> column of the block, -1 when unused
    std::vector<std::int32_t> features;  // the block's feature codes, by first row
    std::vector<double> block;           // quantities run by run: block[j * features + f]
    std::vector<std::uint8_t> seen;      // cells that already have a row
    std::vector<double> line;
    maxlfq_workspace maxlfq;
    median_polish_workspace polish;
};

// Fills m.block with protein p's rows; false (and the cell in `repeated`)
// when a feature has two rows in one run.
bool load_block(const coded_rows& t, const protein_rows& g, std::int32_t p, worker_memory& m,
                repeated_cell& repeated) {
    if (m.local_of.size() != t.features) m.local_of.assign(t.features, -1);
    m.features.clear();
    const std::uint32_t* first = g.order.data() + g.start[static_cast<std::size_t>(p)];
    const std::uint32_t* last = g.order.data() + g.start[static_cast<std::size_t>(p) + 1];
    for (const std::uint32_t* r = first; r != last; ++r) {
        std::int32_t& local = m.local_of[static_cast<std::size_t>(t.feature[*r])];
        if (local < 0) {
            local = static_cast<std::int32_t>(m.features.size());
            m.features.push_back(t.feature[*r]);
        }
    }
    const std::size_t width = m.features.size();
    m.block.assign(width * t.runs, nan);
    m.seen.assign(width * t.runs, 0);
    bool ok = true;
    for (const std::uint32_t* r = first; r != last && ok; ++r) {
        const std::size_t f = static_cast<std::size_t>(m.local_of[static_cast<std::size_t>(t.feature[*r])]);
        const std::size_t cell = static_cast<std::size_t>(t.run[*r]) * width + f;
        if (m.seen[cell]) {
            repeated = {p, t.feature[*r], t.run[*r]};
            ok = false;
        }
        m.seen[cell] = 1;
        const double q = t.quantity[*r];
        if (q > 0 && std::isfinite(q)) m.block[cell] = q;
    }
    for (std::int32_t code : m.features) m.local_of[static_cast<std::size_t>(code)] = -1;
    return ok;
}

void top_n(const double* block, std::size_t features, std::size_t runs, std::size_t top,
           std::vector<double>& line, double* out) {
    line.resize(features);
    for (std::size_t j = 0; j < runs; ++j) {
        std::size_t n = 0;
        for (std::size_t f = 0; f < features; ++f)
            if (!std::isnan(block[j * features + f])) line[n++] = block[j * features + f];
        const std::size_t k = std::min(n, top);
        if (k == 0) {
            out[j] = nan;
            continue;
        }
        std::partial_sort(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(k),
                          line.begin() + static_cast<std::ptrdiff_t>(n), std::greater<double>());
        double s = 0;
        for (std::size_t i = 0; i < k; ++i) s += line[i];
        out[j] = s / static_cast<double>(k);
    }
}

void sum(const double* block, std::size_t features, std::size_t runs, double* out) {
    for (std::size_t j = 0; j < runs; ++j) {
        double s = 0;
        bool any = false;
        for (std::size_t f = 0; f < features; ++f) {
            const double v = block[j * features + f];
            if (std::isnan(v)) continue;
            s += v;
            any = true;
        }
        out[j] = any ? s : nan;
    }
}

}  // namespace

protein_rows group_by_protein(const coded_rows& table) {
    protein_rows g;
    g.start.assign(table.proteins + 1, 0);
    for (std::size_t i = 0; i < table.rows; ++i)
        if (counts(table, i)) ++g.start[static_cast<std::size_t>(table.protein[i]) + 1];
    for (std::size_t p = 0; p < table.proteins; ++p) {
        if (g.start[p + 1] > 0) g.present.push_back(static_cast<std::int32_t>(p));
        g.start[p + 1] += g.start[p];
    }
    g.order.resize(g.start[table.proteins]);
    std::vector<std::size_t> next(g.start.begin(), g.start.end() - 1);
    for (std::size_t i = 0; i < table.rows; ++i)
        if (counts(table, i))
            g.order[next[static_cast<std::size_t>(table.protein[i])]++] = static_cast<std::uint32_t>(i);
    return g;
}

rollup_status roll_up(const coded_rows& table, const protein_rows& groups,
                      const rollup_settings& settings, const cancel_hook& cancel, double* out,
                      repeated_cell& repeated) {
    const std::size_t proteins = groups.present.size(), runs = table.runs;
    // the largest proteins first, so that no core is left with one at the end
    std::vector<std::uint32_t> schedule(proteins);
    std::iota(schedule.begin(), schedule.end(), 0u);
    auto size_of = [&](std::uint32_t i) {
        const auto p = static_cast<std::size_t>(groups.present[i]);
        return groups.start[p + 1] - groups.start[p];
    };
    std::stable_sort(schedule.begin(), schedule.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return size_of(a) > size_of(b); });
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false}, cancelled{false}, twice{false};
    parallel_for(worker_count(proteins), [&](std::size_t) {
        worker_memory m;
        repeated_cell ignored;
        std::size_t work = check_every;  // check before the first protein
        for (std::size_t k; !stop.load(std::memory_order_relaxed) &&
                            (k = next.fetch_add(1, std::memory_order_relaxed)) < proteins;) {
            if (cancel.should_stop && work >= check_every) {
                work = 0;
                if (cancel.should_stop(cancel.context)) {
                    cancelled = true;
                    stop = true;
                    break;
                }
            }
            const std::uint32_t i = schedule[k];
            const std::int32_t p = groups.present[i];
            if (!load_block(table, groups, p, m, ignored)) {
                twice = true;
                stop = true;
                break;
            }
            const std::size_t width = m.features.size();
            double* row = out + static_cast<std::size_t>(i) * runs;
            switch (settings.method) {
                case rollup_method::maxlfq:
                    maxlfq(m.block.data(), width, runs, settings.maxlfq, m.maxlfq, row);
                    break;
                case rollup_method::median_polish:
                    median_polish(m.block.data(), width, runs, m.polish, row);
                    break;
                case rollup_method::top_n:
                    top_n(m.block.data(), width, runs, settings.top, m.line, row);
                    break;
                case rollup_method::sum:
                    sum(m.block.data(), width, runs, row);
                    break;
            }
            work += size_of(i) + width * runs + m.maxlfq.edges.size();
        }
    });
    if (cancelled) return rollup_status::cancelled;
    if (!twice) return rollup_status::ok;
    // the first repeated cell in protein order, whichever worker met one
    worker_memory m;
    for (std::int32_t p : groups.present)
        if (!load_block(table, groups, p, m, repeated)) break;
    return rollup_status::repeated;
}

}  // namespace tessera::kernels
