// Limits of one datagram, shared by reception and forwarding.
#pragma once
#include <cstddef>

namespace ql {

constexpr std::size_t datagram_max = 1500;  // bytes used of one datagram; the rest is cut

}  // namespace ql
