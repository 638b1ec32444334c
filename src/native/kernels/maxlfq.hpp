// MaxLFQ of one protein (Cox et al., MCP 2014): the median log-ratio of every
// pair of runs over the features both measured, then per-run log-abundances
// by least squares over those ratios within each connected set of runs.
#pragma once

#include "ratio_graph.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tessera::kernels {

// What counts as a ratio and how the level of a protein is anchored.
struct maxlfq_settings {
    // Fewest features two runs must share for their ratio to count.
    std::size_t min_shared = 1;
    // Weight of the pull of each run toward its most intense feature (see maxlfq).
    double ridge = 1e-4;
};

// Scratch memory of maxlfq, kept from one protein to the next.
struct maxlfq_workspace {
    // per active run: log values (run by run), presence bits, the most
    // intense feature (log and linear), features measured, ratio sums, degree
    std::vector<double> logs, top, top_linear, b, x;
    std::vector<std::uint64_t> masks;
    std::vector<std::uint32_t> active, measured, degree;
    std::vector<double> diffs;  // the log-ratios of one pair of runs
    // connected sets: union-find parents, their numbers, their runs and edges
    std::vector<std::uint32_t> parent, number, members, member_start, edge_start, fill, local;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> edges, component_edges;
    // one connected set as a graph, and the solver's memory
    std::vector<double> graph_b, graph_t, graph_x;
    std::vector<std::uint32_t> graph_degree;
    ratio_graph_workspace solver;
};

// The protein's quantity in each run from its features' quantities.
//
// `values` holds the linear quantities run by run: values[j * features + f]
// is feature f in run j, NaN where it was not measured (no other value is
// allowed). Writes out[j] for j < runs: linear, NaN where the protein is not
// quantified.
//
// r_jk is the median of log(v_fj / v_fk) over the features f both runs
// measured, when there are at least min_shared of them. The log-abundances x
// minimise
//     sum over pairs with a ratio (x_j - x_k - r_jk)^2
//         + ridge * sum over runs d_j (x_j - t_j)^2
// where d_j is the number of ratios of run j and t_j the log of the most
// intense feature measured in run j. The second term sets the level of every
// connected set of runs: its d-weighted mean of x - t is zero. With ridge 0
// the ratios are the exact least-squares ones and that level rule still
// holds; ridge > 0 also pulls each ratio slightly (by about ridge times the
// spread of x - t). A run with no ratio gets t_j when it measured at least
// min_shared features, else NaN. A protein with one feature gets its
// quantities unchanged.
void maxlfq(const double* values, std::size_t features, std::size_t runs,
            const maxlfq_settings& settings, maxlfq_workspace& ws, double* out);

}  // namespace tessera::kernels
