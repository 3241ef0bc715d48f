#include "reception/handed_socket.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace ql {

namespace {
Handed taken = Handed::none;

// A whole positive decimal number, or -1.
long whole_number(const char* text) {
    if (text == nullptr || *text < '0' || *text > '9') return -1;
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    return errno != 0 || *end != '\0' ? -1 : value;
}
}  // namespace

Handed handed_from(const char* listen_pid, const char* listen_fds, long self) {
    if (listen_fds == nullptr || whole_number(listen_pid) != self) return Handed::none;
    return whole_number(listen_fds) == 1 ? Handed::one : Handed::wrong_count;
}

void take_handed_socket() {
    taken = handed_from(std::getenv("LISTEN_PID"), std::getenv("LISTEN_FDS"), static_cast<long>(::getpid()));
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    if (taken == Handed::one) (void)::fcntl(handed_fd, F_SETFD, FD_CLOEXEC);
}

Handed handed_socket() { return taken; }

bool is_endpoint_socket(int fd, std::uint16_t port) {
    int domain = 0, type = 0, protocol = 0;
    socklen_t len = sizeof domain;
    if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0 || domain != AF_INET) return false;
    len = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_DGRAM) return false;
    len = sizeof protocol;
    if (::getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &len) != 0 || protocol != IPPROTO_UDP) return false;
    sockaddr_in bound{};
    len = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len) != 0) return false;
    return bound.sin_family == AF_INET && bound.sin_port != 0 && ntohs(bound.sin_port) == port;
}

}  // namespace ql
