#include "common/notify.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace ql {

namespace {
int notify_fd = -1;
sockaddr_un notify_to{};
socklen_t notify_to_len = 0;
}  // namespace

unsigned notify_address(const char* value, sockaddr_un& out) {
    out = {};
    out.sun_family = AF_UNIX;
    std::size_t len = value == nullptr ? 0 : std::strlen(value);
    if (len < 2 || len > sizeof out.sun_path || (value[0] != '/' && value[0] != '@')) return 0;
    if (value[0] == '/' && len == sizeof out.sun_path) return 0;  // no room for the terminator
    std::memcpy(out.sun_path, value, len);
    if (value[0] == '@') out.sun_path[0] = '\0';  // abstract: no terminator counts
    return static_cast<unsigned>(offsetof(sockaddr_un, sun_path) + len + (value[0] == '/' ? 1 : 0));
}

bool notify_open() {
    const char* value = std::getenv("NOTIFY_SOCKET");
    if (value == nullptr) return false;
    notify_to_len = notify_address(value, notify_to);
    ::unsetenv("NOTIFY_SOCKET");
    if (notify_to_len == 0) return false;
    notify_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return notify_fd >= 0;
}

bool notify_enabled() { return notify_fd >= 0; }

void notify_send(const char* message, std::size_t len) {
    if (notify_fd < 0) return;
    (void)::sendto(notify_fd, message, len, MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&notify_to),
                   notify_to_len);
}

}  // namespace ql
