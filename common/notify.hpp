// The service manager's notification socket (NOTIFY_SOCKET): readiness and a
// status line. Where the variable is not set, every call here does nothing.
// The documented protocol is one datagram to a named socket; these few lines
// spare the receiver a link dependency on libsystemd, so the same binary runs
// unchanged where systemd is absent (tests, containers, other init systems).
#pragma once
#include <cstddef>

struct sockaddr_un;

namespace ql {

// Takes NOTIFY_SOCKET from the environment (and removes it, so that the shell
// and nc never see it) and opens a datagram socket for it. True when set.
bool notify_open();

bool notify_enabled();

// Sends one message such as "READY=1\nSTATUS=..."; failures are ignored, as
// the receiver goes on without a manager.
void notify_send(const char* message, std::size_t len);

// The address of a NOTIFY_SOCKET value: a path ("/run/...") or an abstract
// name ("@..."). Returns the address length, or 0 when the value is unusable.
unsigned notify_address(const char* value, sockaddr_un& out);

}  // namespace ql
