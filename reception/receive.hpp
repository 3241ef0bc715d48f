// The receive loop: one datagram at a time, checked, then handed on.
#pragma once

namespace ql {

// 0: ended because terminate was set; 1: the socket was closed under it.
int receive_socket();

}  // namespace ql
