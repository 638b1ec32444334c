// Roll-up of a long table of feature quantities (one row per feature and
// run) to one quantity per protein and run: the rows grouped by protein, each
// protein's features x runs block built, and one method applied per protein,
// the proteins spread over the cores.
#pragma once

#include "maxlfq.hpp"
#include "permutation.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessera::kernels {

// A long table as integer codes: row i measures feature feature[i] of
// protein protein[i] in run run[i]. A code outside [0, count) (pandas' -1
// for a missing label) leaves its row out.
struct coded_rows {
    const std::int32_t* protein = nullptr;
    const std::int32_t* feature = nullptr;
    const std::int32_t* run = nullptr;
    const double* quantity = nullptr;  // linear; NaN, infinite or <= 0: not measured
    std::size_t rows = 0;
    std::size_t proteins = 0, features = 0, runs = 0;  // the number of codes of each
};

// The rows of each protein, in table order: rows order[start[p] .. start[p + 1]).
struct protein_rows {
    std::vector<std::size_t> start;
    std::vector<std::uint32_t> order;
    std::vector<std::int32_t> present;  // the proteins that have rows, ascending
};

// The most rows group_by_protein takes.
constexpr std::size_t max_rows = 0xFFFFFFFFu;

// Groups the rows that count (at most max_rows) by protein.
protein_rows group_by_protein(const coded_rows& table);

enum class rollup_method { maxlfq, median_polish, top_n, sum };

struct rollup_settings {
    rollup_method method = rollup_method::maxlfq;
    maxlfq_settings maxlfq;
    std::size_t top = 3;  // top_n: how many of the most intense features
};

// A feature with two rows in one run: the first such in protein order.
struct repeated_cell {
    std::int32_t protein = -1, feature = -1, run = -1;
};

enum class rollup_status { ok, cancelled, repeated };

// out (present.size() x runs, row by row) = each protein's quantity per run,
// NaN where it is not quantified. Methods, per protein and run:
//   maxlfq         see maxlfq.hpp;
//   median_polish  see median_polish.hpp;
//   top_n          the mean of the `top` largest quantities measured in the run
//                  (of all of them when fewer were measured);
//   sum            the sum of the quantities measured in the run.
// A feature measured in one run by two rows is refused (status repeated,
// `repeated` names it); the cancel hook is asked between proteins.
rollup_status roll_up(const coded_rows& table, const protein_rows& groups,
                      const rollup_settings& settings, const cancel_hook& cancel, double* out,
                      repeated_cell& repeated);

}  // namespace tessera::kernels
