// The one UDP endpoint: an IPv4 datagram socket on every local address.
#pragma once
#include <cstdint>

namespace ql {

// 0: created and bound; 1: no socket; 2: created but not bound (closed again).
int open_socket(std::uint16_t port);

// Closes the socket if open and marks it closed; safe any number of times,
// also from the SIGTERM handler.
void close_socket();

}  // namespace ql
