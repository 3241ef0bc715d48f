// The delivery of modes 1 and 2. Every command text goes into a queue file
// beside the output files before its first attempt and leaves it only when a
// run of nc has delivered it (ended by itself, status 0, within its limit) or
// it is given up (the run was ended at the limit, the queue was full, the
// entry was damaged). Runs of nc go one at a time, in arrival order, beside
// reception; while the server is away the oldest text is tried again after
// 1 s, doubling up to 30 s. It keeps counts (weitergegeben, Ausgabefehler,
// in Warteschlange) and prints its own events under -d.
#pragma once
#include <cstddef>

#include "common/datagram.hpp"
#include "common/side_work.hpp"

namespace ql {

// Opens the queue under the settings' prefix and takes over what an earlier
// run left there, to be delivered first. Call once the endpoint is open.
void delivery_open();

// Queues one command text: queued, or failed (reported) when it cannot be kept.
Outcome delivery_enqueue(const char* text, std::size_t len);

// What the receive loop runs beside reception.
SideWork delivery_work();

// At the stop: a running nc may finish (up to its limit); the rest stays queued.
void delivery_finish();

}  // namespace ql
