#include "reception/drops.hpp"

#include <cstring>

#include "reception/udp_listing.hpp"
#include "tests/message_header.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstring>
#include <string>

using namespace ql;

TEST(Drops, CountFoundInControlDataOnlyWhenPresent) {
    alignas(cmsghdr) char control[drop_control_size + CMSG_SPACE(sizeof(int))] = {};
    msghdr m{};
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    cmsghdr* first = CMSG_FIRSTHDR(&m);
    first->cmsg_level = SOL_SOCKET;
    first->cmsg_type = SO_TIMESTAMP;  // another message first
    first->cmsg_len = CMSG_LEN(sizeof(int));
    cmsghdr* second = CMSG_NXTHDR(&m, first);
    second->cmsg_level = SOL_SOCKET;
    second->cmsg_type = SO_RXQ_OVFL;
    second->cmsg_len = CMSG_LEN(sizeof(std::uint32_t));
    std::uint32_t value = 77;
    std::memcpy(CMSG_DATA(second), &value, sizeof value);

    std::uint32_t count = 0;
    ASSERT_TRUE(drops_in(m, count));
    EXPECT_EQ(count, 77u);

    m.msg_controllen = 0;
    count = 5;
    EXPECT_FALSE(drops_in(m, count));
    EXPECT_EQ(count, 5u);
}

TEST(Drops, CountOfTheSocketFoundInTheListing) {
    const std::string listing =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode ref pointer drops\n"
        "  101: 00000000:EAC0 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 4242 2 0000000000000000 17\n"
        "  102: 0100007F:0035 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 99 2 0000000000000000 0\n";
    // The whole lines of the first len bytes, as the reader takes them.
    auto find = [&](std::size_t len, unsigned long inode, UdpLine& out) {
        const char* p = listing.data();
        const char* end = p + len;
        for (const char* eol; (eol = static_cast<const char*>(memchr(p, '\n', static_cast<std::size_t>(end - p)))); p = eol + 1)
            if (parse_udp_line(p, eol, out) && udp_line_of_inode(out, inode)) return true;
        return parse_udp_line(p, end, out) && udp_line_of_inode(out, inode);
    };
    UdpLine line;
    ASSERT_TRUE(find(listing.size(), 4242, line));
    EXPECT_EQ(line.drops, 17u);
    EXPECT_EQ(line.local_port, 60096u);
    EXPECT_EQ(line.rx_queue, 0u);
    EXPECT_FALSE(find(listing.size(), 4243, line));
    EXPECT_FALSE(find(40, 4242, line)) << "a cut line is no line";
    EXPECT_FALSE(find(listing.find('\n'), 0, line)) << "the heading is no socket";
}

TEST(Drops, NewlyLostSinceTheLastCountAcrossTheWrap) {
    DropCount d(10);
    EXPECT_EQ(d.newly_lost(10), 0u);
    EXPECT_EQ(d.newly_lost(25), 15u);
    EXPECT_EQ(d.newly_lost(25), 0u);
    DropCount w(0xFFFFFFF0u);
    EXPECT_EQ(w.newly_lost(5), 21u);
}

// A real socket with a small queue on loopback: what the next datagram carries
// is the kernel's own count.
TEST(Drops, KernelCountArrivesWithTheNextDatagram) {
    int rx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int small = 1;  // the kernel's minimum
    setsockopt(rx, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    bool attached = enable_drop_count(rx);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(rx, reinterpret_cast<sockaddr*>(&a), &len);
    int tx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    char payload[200] = {};
    for (int i = 0; i < 100; ++i) sendto(tx, payload, sizeof payload, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    std::uint32_t kernel = socket_drops(rx);
    ASSERT_GT(kernel, 0u) << "the small queue should have overflowed";

    // Empty the queue, then one more datagram carries the count.
    char buffer[256];
    while (recv(rx, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
    sendto(tx, payload, sizeof payload, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    alignas(cmsghdr) char control[drop_control_size];
    iovec part{buffer, sizeof buffer};
    msghdr m = message_into(part, control, sizeof control);
    ASSERT_EQ(recvmsg(rx, &m, 0), 200);
    std::uint32_t count = 0;
    // Without the option (qemu-user) the receiver reads the listing instead.
    if (attached) {
        ASSERT_TRUE(drops_in(m, count));
    } else {
        EXPECT_FALSE(drops_in(m, count));
        count = socket_drops(rx);
    }
    EXPECT_EQ(count, kernel);
    EXPECT_EQ(DropCount().newly_lost(count), kernel);
    close(tx);
    close(rx);
}
