#include "reception/socket.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/diag.hpp"
#include "common/settings.hpp"
#include "reception/arrival.hpp"
#include "reception/drops.hpp"
#include "reception/handed_socket.hpp"

namespace ql {

// Devices that power up together send in bursts; the default queue (about
// 200 KiB) holds a few hundred datagrams, and the rest would be lost.
static void ask_receive_buffer(int fd) {
    int size = receive_buffer_bytes;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

// The manager's socket keeps its own buffer size (the unit's ReceiveBuffer=).
static int adopt_handed_socket(std::uint16_t port) {
    if (handed_socket() == Handed::wrong_count) {
        std::fputs("qlfwd: LISTEN_FDS nennt nicht genau einen Socket\n", stderr);
        return 3;
    }
    if (!is_endpoint_socket(handed_fd, port)) {
        std::fprintf(stderr, "qlfwd: der uebergebene Socket (Deskriptor %d) ist kein IPv4-UDP-Socket an Port %u\n",
                     handed_fd, static_cast<unsigned>(port));
        return 3;
    }
    // The receive must block; a manager may hand the socket over non-blocking.
    int flags = ::fcntl(handed_fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK)) (void)::fcntl(handed_fd, F_SETFL, flags & ~O_NONBLOCK);
    enable_drop_count(handed_fd);
    (void)enable_arrival_stamp(handed_fd);
    quenlink_socket = handed_fd;
    return 0;
}

static int socket_error = 0;

int open_socket_error() { return socket_error; }

int open_socket(std::uint16_t port) {
    diag("> Oeffne socket\n");
    if (handed_socket() != Handed::none) return adopt_handed_socket(port);
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    quenlink_socket = fd;
    if (fd < 0) {
        socket_error = errno;
        diag("Fehler: konnte Socket nicht oeffnen\n");
        return 1;
    }
    ask_receive_buffer(fd);
    enable_drop_count(fd);
    (void)enable_arrival_stamp(fd);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return 0;
    int error = errno;
    socket_error = error;
    diag("Fehler: konnte Socket nicht anbinden, %s (errno=%i)", std::strerror(error), error);
    // Closed quietly: the bind message and main's own line share one output line.
    quenlink_socket = -1;
    ::close(fd);
    return 2;
}

void close_socket() {
    // Descriptor 0 is a valid socket when the program was started with standard input closed.
    int fd = quenlink_socket.exchange(-1);
    if (fd >= 0) {
        diag_safe("> schliesse socket\n");
        ::close(fd);
    }
}

}  // namespace ql
