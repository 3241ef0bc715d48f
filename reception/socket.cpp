#include "reception/socket.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/diag.hpp"
#include "common/settings.hpp"

namespace ql {

int open_socket(std::uint16_t port) {
    diag("> Oeffne socket\n");
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    quenlink_socket = fd;
    if (fd < 0) {
        diag("Fehler: konnte Socket nicht oeffnen\n");
        return 1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return 0;
    int error = errno;
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
