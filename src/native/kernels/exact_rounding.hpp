// Included by the kernels whose every intermediate result must be rounded to
// double exactly where numpy and scipy round it: no excess precision, no
// reassociation, and no fused multiply-add. The build passes
// -ffp-contract=off; these checks and pragmas keep a build that forgets it
// (or targets FMA hardware) from silently changing results. Include it after
// the other headers: the pragma holds from here to the end of the file.
#pragma once

#include <cfloat>

#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD != 0
#error "the exact kernels need FLT_EVAL_METHOD == 0 (no excess precision)"
#endif
#if defined(__FAST_MATH__)
#error "the exact kernels must not be built with -ffast-math"
#endif
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif
