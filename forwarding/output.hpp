// Hands one accepted datagram on: record line, then the record file (mode 0)
// or the command file and one run of nc (modes 1 and 2).
#pragma once
#include <ctime>

#include "common/datagram.hpp"

namespace ql {

// True when the output was written (and nc ran to its end).
bool output_datagram(const Accepted& datagram, std::time_t now);

}  // namespace ql
