// The one UDP endpoint: an IPv4 datagram socket on every local address, or the
// one a service manager handed over.
#pragma once
#include <cstdint>

namespace ql {

constexpr int receive_buffer_bytes = 8 * 1024 * 1024;

// 0: open (created and bound, or handed over and checked); 1: no socket;
// 2: created but not bound (closed again); 3: a handed-over socket that cannot
// serve (message on standard error). Asks for an 8 MiB receive queue on a
// socket it creates, and for the kernel's drop count and arrival stamp on either.
int open_socket(std::uint16_t port);

// The system's error number of open_socket's last result 1 or 2.
int open_socket_error();

// Closes the socket if open and marks it closed; safe any number of times,
// also from the SIGTERM handler.
void close_socket();

}  // namespace ql
