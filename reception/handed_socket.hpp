// The socket a service manager hands over (LISTEN_PID and LISTEN_FDS, the
// socket at descriptor 3), so that the port and the datagrams queued on it
// outlive a restart of the receiver. The documented protocol in a few lines,
// rather than libsystemd's sd_listen_fds: no link dependency, and the check of
// what was handed over is ours to make.
#pragma once
#include <cstdint>

namespace ql {

constexpr int handed_fd = 3;

enum class Handed {
    none,        // not for this process: create and bind a socket as usual
    one,         // exactly one socket, at descriptor 3
    wrong_count  // meant for this process, but not exactly one socket
};

// Pure: what the two variables (either may be null) say to the process self.
Handed handed_from(const char* listen_pid, const char* listen_fds, long self);

// Reads the variables once and removes them (with LISTEN_FDNAMES) from the
// environment, so that the shell and nc never see them; a handed socket is
// made close-on-exec. Call before anything is started.
void take_handed_socket();

// What take_handed_socket found.
Handed handed_socket();

// True when fd is an IPv4 UDP socket bound to the port.
bool is_endpoint_socket(int fd, std::uint16_t port);

}  // namespace ql
