// The monotonic clock in milliseconds, for deadlines and intervals that a
// change of the wall clock must not move.
#pragma once
#include <cstdint>

namespace ql {

std::int64_t monotonic_ms();
std::int64_t monotonic_us();
// Where a clock is handed in (tests set their own): monotonic_ms or its stand-in.
using MonotonicClock = std::int64_t (*)();

}  // namespace ql
