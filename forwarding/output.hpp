// Hands one accepted datagram on: record line, stamped with its arrival, then
// the record file (mode 0), the command file and the delivery queue (modes 1
// and 2), or the delivery queue as an MQTT message (mode 3).
#pragma once
#include "common/datagram.hpp"

namespace ql {

Outcome output_datagram(const Accepted& datagram);

}  // namespace ql
