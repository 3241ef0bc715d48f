// The receiver's port as a service manager binds it before handing it over,
// for the tests and the benchmark that play the manager.
#pragma once

namespace ql {

// A UDP socket bound to 0.0.0.0:60096, close-on-exec. With buffer > 0 its
// receive queue is set to that size (SO_RCVBUFFORCE where allowed, else
// SO_RCVBUF); with 0 it keeps the system default. -1 when it cannot be bound.
int bind_endpoint(int buffer = 0);

}  // namespace ql
