// The receive loop: the datagrams waiting, each checked, then handed on in order.
#pragma once
#include "common/datagram.hpp"
#include "common/side_work.hpp"

namespace ql {

// Each accepted datagram goes to hand_on; side work (if any) runs beside
// reception, whenever it is due, never holding up a receive.
// 0: ended because terminate was set; 1: the socket was closed under it.
// Reports datagrams the kernel dropped (queue full) under -d, keeps the counts,
// and publishes them to a service manager where there is one (with the queue's
// count where queue_counts is set).
int receive_socket(HandOn hand_on, SideWork side = {}, bool queue_counts = false);

}  // namespace ql
