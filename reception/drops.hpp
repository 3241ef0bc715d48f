// The kernel's count of datagrams dropped because the receive queue was full
// (SO_RXQ_OVFL), and how many of them are new since the last report.
#pragma once
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

namespace ql {

// Room for the drop count's control message; recvmsg's msg_control.
constexpr std::size_t drop_control_size = CMSG_SPACE(sizeof(std::uint32_t));

// Asks the kernel to attach the drop count to every datagram received after a
// drop. False where it cannot (qemu-user passes no such option on): the count
// is then read from /proc, every so often, by socket_drops.
bool enable_drop_count(int fd);
// What the last enable_drop_count found.
bool drop_count_attached();

// The socket's drop count now, from its line in /proc/self/net/udp (0 where
// it cannot be read). Not for every datagram: it reads the whole listing.
std::uint32_t socket_drops(int fd);

// Pure: the drop count in a received message's control data, if it carries one.
bool drops_in(const msghdr& message, std::uint32_t& count);

// The counter wraps at 2^32; differences stay right across the wrap.
class DropCount {
public:
    explicit DropCount(std::uint32_t start = 0) : seen_(start) {}
    // Datagrams lost since the count last seen; the new count becomes the last seen.
    std::uint32_t newly_lost(std::uint32_t count) {
        std::uint32_t lost = count - seen_;
        seen_ = count;
        return lost;
    }

private:
    std::uint32_t seen_;
};

}  // namespace ql
