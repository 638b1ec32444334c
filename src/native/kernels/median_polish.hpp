// Tukey's median polish of one protein's features x runs table of logs.
#pragma once

#include <cstddef>
#include <vector>

namespace tessera::kernels {

// Scratch memory of median_polish, kept from one protein to the next.
struct median_polish_workspace {
    std::vector<double> residuals, feature_effects, run_effects, line, scratch;
    std::vector<std::size_t> runs, features;
};

// The protein's quantity in each run. The log2 quantities (values as maxlfq
// takes them: run by run, NaN where not measured) of the features and runs
// with a measured value are split into an overall level, feature effects,
// run effects and residuals by median polish: at most 10 sweeps, each taking
// the feature medians out of the residuals, then the run medians (NaN left
// out), moving the median of the other effects into the overall level after
// each half, and stopping once the sum of the absolute residuals changes by
// less than 1%. out[j] = 2^(overall + effect of run j), NaN for a run
// without a measured feature. With one measured feature, out is its
// quantities unchanged.
void median_polish(const double* values, std::size_t features, std::size_t runs,
                   median_polish_workspace& ws, double* out);

}  // namespace tessera::kernels
