#include "reception/handed_socket.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace ql;

TEST(HandedSocket, OnlyForThisProcessAndExactlyOne) {
    EXPECT_EQ(handed_from(nullptr, nullptr, 42), Handed::none);
    EXPECT_EQ(handed_from("42", nullptr, 42), Handed::none);
    EXPECT_EQ(handed_from(nullptr, "1", 42), Handed::none);
    EXPECT_EQ(handed_from("41", "1", 42), Handed::none) << "meant for another process";
    EXPECT_EQ(handed_from("42x", "1", 42), Handed::none);
    EXPECT_EQ(handed_from("42", "1", 42), Handed::one);
    EXPECT_EQ(handed_from("42", "2", 42), Handed::wrong_count);
    EXPECT_EQ(handed_from("42", "0", 42), Handed::wrong_count);
    EXPECT_EQ(handed_from("42", "one", 42), Handed::wrong_count);
    EXPECT_EQ(handed_from("42", "", 42), Handed::wrong_count);
}

namespace {
int bound(int family, int type, std::uint16_t& port) {
    int fd = socket(family, type | SOCK_CLOEXEC, 0);
    if (family == AF_INET) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    } else {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin6_port);
    }
    return fd;
}
}  // namespace

TEST(HandedSocket, EndpointIsAnIpv4UdpSocketOnThePort) {
    std::uint16_t port = 0;
    int udp = bound(AF_INET, SOCK_DGRAM, port);
    EXPECT_TRUE(is_endpoint_socket(udp, port));
    EXPECT_FALSE(is_endpoint_socket(udp, static_cast<std::uint16_t>(port + 1)));
    close(udp);

    int tcp = bound(AF_INET, SOCK_STREAM, port);
    EXPECT_FALSE(is_endpoint_socket(tcp, port));
    close(tcp);

    int udp6 = bound(AF_INET6, SOCK_DGRAM, port);
    if (udp6 >= 0) {
        EXPECT_FALSE(is_endpoint_socket(udp6, port));
    }
    close(udp6);

    int unbound = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    EXPECT_FALSE(is_endpoint_socket(unbound, 0)) << "an unbound socket has port 0 but no address to serve";
    close(unbound);
    EXPECT_FALSE(is_endpoint_socket(-1, 0));
}
