#include "reception/socket.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/settings.hpp"
#include "reception/drops.hpp"

#include <algorithm>
#include <fstream>

using namespace ql;

// Ports here are ephemeral ones: the fixed port belongs to the end-to-end tests'
// own network namespaces.
TEST(Socket, OpensCloseOnExecAndClosesOnce) {
    ASSERT_EQ(open_socket(0), 0);
    int fd = quenlink_socket;
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    close_socket();
    EXPECT_EQ(quenlink_socket, -1);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    close_socket();
    EXPECT_EQ(quenlink_socket, -1);
}

TEST(Socket, BindFailureClosesTheSocket) {
    int holder = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t len = sizeof address;
    getsockname(holder, reinterpret_cast<sockaddr*>(&address), &len);

    int probe = dup(0);  // the lowest free descriptor: where the failed socket was
    close(probe);
    EXPECT_EQ(open_socket(ntohs(address.sin_port)), 2);
    EXPECT_EQ(quenlink_socket, -1);
    EXPECT_EQ(fcntl(probe, F_GETFD), -1) << "the unbound socket was left open";
    close(holder);
}

TEST(Socket, DescriptorZeroIsClosedToo) {
    int saved_stdin = dup(0);
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_EQ(dup2(s, 0), 0);
    close(s);
    quenlink_socket = 0;
    close_socket();
    EXPECT_EQ(quenlink_socket, -1);
    EXPECT_EQ(fcntl(0, F_GETFD), -1);
    dup2(saved_stdin, 0);
    close(saved_stdin);
}

TEST(Socket, AsksForALargeQueueAndTheDropCount) {
    ASSERT_EQ(open_socket(0), 0);
    int fd = quenlink_socket;
    int size = 0, ovfl = 0;
    socklen_t len = sizeof size;
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &len), 0);
    len = sizeof ovfl;
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &ovfl, &len), 0);
    close_socket();
    // qemu-user refuses the option; the receiver then reads the count from /proc.
    if (drop_count_attached()) {
        EXPECT_EQ(ovfl, 1);
    }
    // The kernel doubles what it grants; without the privilege it caps at rmem_max.
    long cap = receive_buffer_bytes;
    if (geteuid() != 0) {
        std::ifstream in("/proc/sys/net/core/rmem_max");
        long rmem_max = 0;
        in >> rmem_max;
        cap = std::min(cap, rmem_max);
    }
    EXPECT_EQ(size, 2 * cap);
}
