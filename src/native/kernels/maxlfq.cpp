#include "maxlfq.hpp"

#include "median.hpp"
#include "ratio_graph.hpp"

#include <cmath>
#include <limits>

namespace tessera::kernels {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// The index of the lowest set bit of v (v != 0).
#if defined(__GNUC__) || defined(__clang__)
inline unsigned lowest_bit(std::uint64_t v) { return static_cast<unsigned>(__builtin_ctzll(v)); }
#else
inline unsigned lowest_bit(std::uint64_t v) {
    unsigned n = 0;
    for (; !(v & 1); v >>= 1) ++n;
    return n;
}
#endif

std::uint32_t root_of(std::vector<std::uint32_t>& parent, std::uint32_t i) {
    while (parent[i] != i) {
        parent[i] = parent[parent[i]];
        i = parent[i];
    }
    return i;
}

// The active runs (those with a measured feature), their log values and
// presence bits, and per run the most intense feature (log and linear).
void load_runs(const double* values, std::size_t features, std::size_t runs,
               maxlfq_workspace& ws, std::size_t words) {
    ws.active.clear();
    ws.measured.clear();
    ws.top.clear();
    ws.top_linear.clear();
    ws.logs.clear();
    ws.masks.clear();
    for (std::size_t j = 0; j < runs; ++j) {
        const double* column = values + j * features;
        std::uint32_t count = 0;
        double top = -std::numeric_limits<double>::infinity();
        for (std::size_t f = 0; f < features; ++f) {
            if (std::isnan(column[f])) continue;
            ++count;
            if (column[f] > top) top = column[f];
        }
        if (count == 0) continue;
        ws.active.push_back(static_cast<std::uint32_t>(j));
        ws.measured.push_back(count);
        ws.top_linear.push_back(top);
        ws.top.push_back(std::log(top));
        const std::size_t base = ws.masks.size();
        ws.masks.resize(base + words, 0);
        for (std::size_t f = 0; f < features; ++f) {
            const bool present = !std::isnan(column[f]);
            ws.logs.push_back(present ? std::log(column[f]) : nan);
            if (present) ws.masks[base + f / 64] |= std::uint64_t{1} << (f % 64);
        }
    }
}

// The median log-ratio of every pair of active runs that shares enough
// features: edges, per-run sums b and degrees, and the union of the runs.
void pair_ratios(std::size_t features, std::size_t words, std::size_t min_shared,
                 maxlfq_workspace& ws) {
    const std::size_t m = ws.active.size();
    ws.edges.clear();
    ws.b.assign(m, 0.0);
    ws.degree.assign(m, 0);
    ws.parent.resize(m);
    for (std::size_t i = 0; i < m; ++i) ws.parent[i] = static_cast<std::uint32_t>(i);
    ws.diffs.resize(features);
    std::size_t sets = m;  // once the runs are one connected set, unions are skipped
    const std::size_t needed = min_shared > 0 ? min_shared : 1;
    const std::uint64_t full = features >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << features) - 1;
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint64_t* mi = ws.masks.data() + i * words;
        const double* li = ws.logs.data() + i * features;
        for (std::size_t k = i + 1; k < m; ++k) {
            const std::uint64_t* mk = ws.masks.data() + k * words;
            const double* lk = ws.logs.data() + k * features;
            double* d = ws.diffs.data();
            std::size_t n = 0;
            if (words == 1 && (mi[0] & mk[0]) == full) {
                // both runs measured every feature
                for (std::size_t f = 0; f < features; ++f) d[f] = li[f] - lk[f];
                n = features;
            } else {
                for (std::size_t w = 0; w < words; ++w) {
                    for (std::uint64_t bits = mi[w] & mk[w]; bits; bits &= bits - 1) {
                        const std::size_t f = w * 64 + lowest_bit(bits);
                        d[n++] = li[f] - lk[f];
                    }
                }
            }
            if (n < needed) continue;
            const double r = median_in_place(d, n);
            ws.edges.emplace_back(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(k));
            ws.b[i] += r;
            ws.b[k] -= r;
            ++ws.degree[i];
            ++ws.degree[k];
            if (sets == 1) continue;
            const std::uint32_t a = root_of(ws.parent, static_cast<std::uint32_t>(i));
            const std::uint32_t c = root_of(ws.parent, static_cast<std::uint32_t>(k));
            if (a != c) {
                ws.parent[a > c ? a : c] = a > c ? c : a;
                --sets;
            }
        }
    }
}

// Solves each connected set of runs that has ratios; writes the
// log-abundances of their runs to ws.x (NaN for the others).
void solve_components(double ridge, maxlfq_workspace& ws) {
    const std::size_t m = ws.active.size();
    for (std::size_t i = 0; i < m; ++i) root_of(ws.parent, static_cast<std::uint32_t>(i));
    // number the sets by their root, then bucket runs and edges by set
    ws.number.assign(m, 0);
    std::size_t sets = 0;
    for (std::size_t i = 0; i < m; ++i)
        if (ws.parent[i] == i) ws.number[i] = static_cast<std::uint32_t>(sets++);
    ws.x.assign(m, nan);
    if (sets == 1 && !ws.edges.empty()) {
        // the common case: every run in one set, numbered as they are
        ratio_graph g;
        g.nodes = m;
        g.edges = ws.edges.data();
        g.edge_count = ws.edges.size();
        g.degree = ws.degree.data();
        g.b = ws.b.data();
        g.t = ws.top.data();
        solve_ratio_graph(g, ridge, ws.solver, ws.x.data());
        return;
    }
    ws.member_start.assign(sets + 1, 0);
    ws.edge_start.assign(sets + 1, 0);
    for (std::size_t i = 0; i < m; ++i) ++ws.member_start[ws.number[ws.parent[i]] + 1];
    for (const auto& e : ws.edges) ++ws.edge_start[ws.number[ws.parent[e.first]] + 1];
    for (std::size_t c = 0; c < sets; ++c) {
        ws.member_start[c + 1] += ws.member_start[c];
        ws.edge_start[c + 1] += ws.edge_start[c];
    }
    // members in run order; local[i] is run i's place within its set
    ws.members.resize(m);
    ws.local.resize(m);
    ws.fill.assign(ws.member_start.begin(), ws.member_start.end() - 1);
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint32_t c = ws.number[ws.parent[i]];
        ws.local[i] = ws.fill[c] - ws.member_start[c];
        ws.members[ws.fill[c]++] = static_cast<std::uint32_t>(i);
    }
    ws.component_edges.resize(ws.edges.size());
    ws.fill.assign(ws.edge_start.begin(), ws.edge_start.end() - 1);
    for (const auto& e : ws.edges) {
        const std::uint32_t c = ws.number[ws.parent[e.first]];
        ws.component_edges[ws.fill[c]++] = {ws.local[e.first], ws.local[e.second]};
    }
    for (std::size_t c = 0; c < sets; ++c) {
        if (ws.edge_start[c + 1] == ws.edge_start[c]) continue;  // one run without ratios
        const std::size_t first = ws.member_start[c], n = ws.member_start[c + 1] - first;
        ws.graph_b.resize(n);
        ws.graph_t.resize(n);
        ws.graph_x.resize(n);
        ws.graph_degree.resize(n);
        for (std::size_t k = 0; k < n; ++k) {
            const std::uint32_t i = ws.members[first + k];
            ws.graph_b[k] = ws.b[i];
            ws.graph_t[k] = ws.top[i];
            ws.graph_degree[k] = ws.degree[i];
        }
        ratio_graph g;
        g.nodes = n;
        g.edges = ws.component_edges.data() + ws.edge_start[c];
        g.edge_count = ws.edge_start[c + 1] - ws.edge_start[c];
        g.degree = ws.graph_degree.data();
        g.b = ws.graph_b.data();
        g.t = ws.graph_t.data();
        solve_ratio_graph(g, ridge, ws.solver, ws.graph_x.data());
        for (std::size_t k = 0; k < n; ++k) ws.x[ws.members[first + k]] = ws.graph_x[k];
    }
}

}  // namespace

void maxlfq(const double* values, std::size_t features, std::size_t runs,
            const maxlfq_settings& settings, maxlfq_workspace& ws, double* out) {
    for (std::size_t j = 0; j < runs; ++j) out[j] = nan;
    if (features == 0 || runs == 0) return;
    if (features == 1) {
        // every ratio is the feature's own, and its level is the feature itself
        for (std::size_t j = 0; j < runs; ++j) out[j] = values[j];
        return;
    }
    const std::size_t words = (features + 63) / 64;
    load_runs(values, features, runs, ws, words);
    const std::size_t m = ws.active.size();
    if (m == 0) return;
    pair_ratios(features, words, settings.min_shared, ws);
    solve_components(settings.ridge, ws);
    // a run without ratios keeps its most intense feature when it has enough of its own
    const std::size_t needed = settings.min_shared > 0 ? settings.min_shared : 1;
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint32_t j = ws.active[i];
        if (ws.degree[i] > 0)
            out[j] = std::exp(ws.x[i]);
        else if (ws.measured[i] >= needed)
            out[j] = ws.top_linear[i];
    }
}

}  // namespace tessera::kernels
