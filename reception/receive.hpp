// The receive loop: one datagram at a time, checked, then handed on.
#pragma once
#include "common/datagram.hpp"

namespace ql {

// Each accepted datagram goes to hand_on.
// 0: ended because terminate was set; 1: the socket was closed under it.
// Reports datagrams the kernel dropped (queue full) under -d, keeps the counts,
// and publishes them to a service manager where there is one.
int receive_socket(HandOn hand_on);

}  // namespace ql
