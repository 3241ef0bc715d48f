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

// A file the receiver keeps for itself beside the output files: in the
// prefix's directory, named "." + the prefix's last part + name, so that
// neither ls nor a reader's Qln* glob sees it ("/var/lib/qlfwd/" and
// "qlfwd-queue" give "/var/lib/qlfwd/.qlfwd-queue"). Returns the length; name
// is the part after it when not null.
constexpr std::size_t hidden_name_max = 33;  // a name given to it, at most
constexpr std::size_t hidden_path_max = path_max + 1 + hidden_name_max;
std::size_t hidden_path(char out[hidden_path_max + 1], const char* prefix, const char* name,
                        const char** base = nullptr);

}  // namespace ql
