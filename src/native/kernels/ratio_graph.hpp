// Least squares over a connected graph of log-ratios: values x on the nodes
// whose differences follow the ratios on the edges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tessera::kernels {

// One connected graph: nodes 0..nodes-1, each edge (i, k) once with i != k.
struct ratio_graph {
    std::size_t nodes = 0;
    const std::pair<std::uint32_t, std::uint32_t>* edges = nullptr;
    std::size_t edge_count = 0;
    const std::uint32_t* degree = nullptr;  // edges at each node
    const double* b = nullptr;  // per node: the ratios r_ik of its edges (i, k) minus those of (k, i)
    const double* t = nullptr;  // per node: the value it is pulled toward
};

// Scratch memory of solve_ratio_graph.
struct ratio_graph_workspace {
    std::vector<double> dense, vectors;
};

// x minimising  sum over edges (x_i - x_k - r_ik)^2 + ridge * sum_i d_i (x_i - t_i)^2
// (ridge >= 0, d the degrees), on the level sum_i d_i x_i = sum_i d_i t_i, which
// the minimum meets for any ridge > 0 and which picks the solution for ridge 0.
// A complete graph is solved in closed form; others by conjugate gradients on
// the normal equations, or a Cholesky factorisation when the graph is small
// or the gradients do not converge.
void solve_ratio_graph(const ratio_graph& g, double ridge, ratio_graph_workspace& ws, double* x);

}  // namespace tessera::kernels
