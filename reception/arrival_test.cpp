#include "reception/arrival.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstring>

#include "tests/message_header.hpp"

using namespace ql;

namespace {

// One control message of the given type and payload in a message's control data.
template <typename T>
msghdr with_message(char* control, std::size_t room, int type, const T& payload) {
    msghdr m{};
    m.msg_control = control;
    m.msg_controllen = room;
    cmsghdr* c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = type;
    c->cmsg_len = CMSG_LEN(sizeof payload);
    std::memcpy(CMSG_DATA(c), &payload, sizeof payload);
    m.msg_controllen = CMSG_SPACE(sizeof payload);
    return m;
}

}  // namespace

TEST(Arrival, SecondsOfEitherFormPastTwentyThirtyEight) {
    alignas(cmsghdr) char control[arrival_control_size + 64] = {};
    std::int64_t wide[2] = {2208988800, 500000};  // 2040-01-01 00:00:00 UTC
    std::time_t arrived = 0;
    msghdr m = with_message(control, sizeof control, 63 /* SO_TIMESTAMP_NEW */, wide);
    ASSERT_TRUE(arrival_in(m, arrived));
    EXPECT_EQ(static_cast<std::int64_t>(arrived), 2208988800);
    long native[2] = {1765200000, 0};
    m = with_message(control, sizeof control, 29 /* SO_TIMESTAMP_OLD */, native);
    ASSERT_TRUE(arrival_in(m, arrived));
    EXPECT_EQ(static_cast<long>(arrived), 1765200000);
    std::uint32_t other = 5;
    m = with_message(control, sizeof control, SO_RXQ_OVFL, other);
    arrived = 7;
    EXPECT_FALSE(arrival_in(m, arrived));
    EXPECT_EQ(arrived, 7);
}

// The kernel's own stamp, on a real socket: the moment it was sent, not read.
// The kernel turns stamping on in deferred work and says nothing when it is
// done; a datagram before that is stamped when read. So the measurement is
// taken again, three times at most: a kernel that never stamps on arrival
// fails all three. (In the receiver that touches only a datagram in the
// first moments after the bind.)
TEST(Arrival, KernelStampIsTheMomentOfArrival) {
    int rx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_TRUE(enable_arrival_stamp(rx));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(rx, reinterpret_cast<sockaddr*>(&a), &len);
    int tx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::time_t sent = 0, arrived = 0;
    for (int tries = 0; tries < 3 && (tries == 0 || arrived < sent || arrived > sent + 1); ++tries) {
        sent = time(nullptr);
        sendto(tx, "x", 1, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
        sleep(2);
        char buffer[8];
        alignas(cmsghdr) char control[arrival_control_size];
        iovec part{buffer, sizeof buffer};
        msghdr m = message_into(part, control, sizeof control);
        ASSERT_EQ(recvmsg(rx, &m, 0), 1);
        ASSERT_TRUE(arrival_in(m, arrived));
    }
    EXPECT_GE(arrived, sent);
    EXPECT_LE(arrived, sent + 1);
    close(rx);
    close(tx);
}
