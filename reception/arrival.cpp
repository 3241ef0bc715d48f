#include "reception/arrival.hpp"

#include <cstring>

// The kernel's two forms of the option (asm-generic numbers, the same on
// every architecture this runs on); older headers know only the native one.
#ifndef SO_TIMESTAMP_OLD
#define SO_TIMESTAMP_OLD 29
#endif
#ifndef SO_TIMESTAMP_NEW
#define SO_TIMESTAMP_NEW 63
#endif

namespace ql {

bool enable_arrival_stamp(int fd) {
    int one = 1;
    // qemu-user and kernels before 5.1 refuse the 64-bit form.
    if (::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP_NEW, &one, sizeof one) == 0) return true;
    return ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP_OLD, &one, sizeof one) == 0;
}

bool arrival_in(const msghdr& message, std::time_t& arrived) {
    for (const cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr;
         c = CMSG_NXTHDR(const_cast<msghdr*>(&message), const_cast<cmsghdr*>(c))) {
        if (c->cmsg_level != SOL_SOCKET) continue;
        if (c->cmsg_type == SO_TIMESTAMP_NEW && c->cmsg_len >= CMSG_LEN(2 * sizeof(std::int64_t))) {
            std::int64_t seconds;
            std::memcpy(&seconds, CMSG_DATA(c), sizeof seconds);
            arrived = static_cast<std::time_t>(seconds);
            return true;
        }
        // The native form: a struct timeval of the kernel's long.
        if (c->cmsg_type == SO_TIMESTAMP_OLD && c->cmsg_len >= CMSG_LEN(2 * sizeof(long))) {
            long seconds;
            std::memcpy(&seconds, CMSG_DATA(c), sizeof seconds);
            arrived = static_cast<std::time_t>(seconds);
            return true;
        }
    }
    return false;
}

}  // namespace ql
