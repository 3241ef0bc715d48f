// A violated property aborts, which libFuzzer reports as a finding.
#pragma once
#include <cstdio>
#include <cstdlib>

namespace fuzz {

inline void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "property violated: %s\n", what);
        std::abort();
    }
}

// For the shared checks, which name the property they found violated.
inline void require(const char* violated) { require(violated == nullptr, violated); }

}  // namespace fuzz
