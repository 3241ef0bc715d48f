#include "reception/drops.hpp"

#include <linux/sock_diag.h>

#include <cstring>

namespace ql {

void enable_drop_count(int fd) {
    int one = 1;
    (void)::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof one);
}

std::uint32_t socket_drops(int fd) {
    std::uint32_t meminfo[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof meminfo;
    if (::getsockopt(fd, SOL_SOCKET, SO_MEMINFO, meminfo, &len) != 0 || len <= SK_MEMINFO_DROPS * sizeof(std::uint32_t))
        return 0;
    return meminfo[SK_MEMINFO_DROPS];
}

bool drops_in(const msghdr& message, std::uint32_t& count) {
    for (const cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr;
         c = CMSG_NXTHDR(const_cast<msghdr*>(&message), const_cast<cmsghdr*>(c))) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL &&
            c->cmsg_len >= CMSG_LEN(sizeof count)) {
            std::memcpy(&count, CMSG_DATA(c), sizeof count);
            return true;
        }
    }
    return false;
}

}  // namespace ql
