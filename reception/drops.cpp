#include "reception/drops.hpp"

#include <sys/stat.h>

#include <cstring>

#include "reception/udp_listing.hpp"

namespace ql {

static bool attached = false;

bool enable_drop_count(int fd) {
    int one = 1;
    attached = ::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof one) == 0;
    return attached;
}

bool drop_count_attached() { return attached; }

std::uint32_t socket_drops(int fd) {
    struct stat st {};
    UdpLine line;
    if (::fstat(fd, &st) != 0 || !find_udp_line(udp_line_of_inode, static_cast<unsigned long>(st.st_ino), line)) return 0;
    return line.drops;
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
