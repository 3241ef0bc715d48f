// The directory an output prefix writes into: "/var/lib/qlfwd/" and
// "/var/lib/qlfwd/site-" both write into "/var/lib/qlfwd"; "/x" into "/"; a
// prefix without "/" into ".". Pure.
#pragma once
#include <cstddef>

#include "common/settings.hpp"

namespace ql {

constexpr std::size_t prefix_directory_max = path_max;

// Writes it to out (prefix_directory_max + 1 bytes) and returns out.
const char* prefix_directory(const char* prefix, char out[prefix_directory_max + 1]);

}  // namespace ql
