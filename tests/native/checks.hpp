// The kernel test programs' one harness: check() counts each expectation
// and prints the ones that fail; report() prints the tally and gives main's
// exit status.
#pragma once

#include <cstdio>
#include <string>

namespace checks {

inline int passed = 0;
inline int failed = 0;

inline void check(bool ok, const std::string& what) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAIL: %s\n", what.c_str());
    }
}

inline int report() {
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

}  // namespace checks
