// The monotonic clock in milliseconds, for deadlines and intervals that a
// change of the wall clock must not move.
#pragma once
#include <cstdint>

namespace ql {

std::int64_t monotonic_ms();

}  // namespace ql
