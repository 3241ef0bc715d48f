#include "common/notify.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <string>

#include "tests/temp_dir.hpp"

using namespace ql;

TEST(Notify, AddressOfAPathOrAnAbstractName) {
    sockaddr_un a;
    ASSERT_EQ(notify_address("/run/systemd/notify", a), offsetof(sockaddr_un, sun_path) + 20);
    EXPECT_STREQ(a.sun_path, "/run/systemd/notify");
    ASSERT_EQ(notify_address("@abstract", a), offsetof(sockaddr_un, sun_path) + 9);
    EXPECT_EQ(a.sun_path[0], '\0');
    EXPECT_EQ(std::string(a.sun_path + 1, 8), "abstract");
}

TEST(Notify, UnusableValuesGiveNoAddress) {
    sockaddr_un a;
    EXPECT_EQ(notify_address(nullptr, a), 0u);
    EXPECT_EQ(notify_address("", a), 0u);
    EXPECT_EQ(notify_address("/", a), 0u);
    EXPECT_EQ(notify_address("relative/path", a), 0u);
    EXPECT_EQ(notify_address(("/" + std::string(sizeof a.sun_path, 'x')).c_str(), a), 0u);
}

// The whole path once: the variable is taken out of the environment and the
// message reaches the socket it names.
// A manager's socket in dir, named by NOTIFY_SOCKET; its descriptor.
static int manager_socket(const TempDir& dir) {
    std::string path = dir / "notify";
    int listener = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a;
    socklen_t len = notify_address(path.c_str(), a);
    EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), len), 0);
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    return listener;
}

TEST(Notify, SendsToTheSocketAndHidesTheVariable) {
    TempDir dir;
    int listener = manager_socket(dir);
    ASSERT_TRUE(notify_open());
    EXPECT_EQ(getenv("NOTIFY_SOCKET"), nullptr);
    EXPECT_TRUE(notify_enabled());
    notify_send("READY=1", 7);
    char got[64] = {};
    ASSERT_EQ(recv(listener, got, sizeof got, MSG_DONTWAIT), 7);
    EXPECT_STREQ(got, "READY=1");
    close(listener);
}

// A manager that does not read (busy, or hung) never holds the receiver: the
// status lines it has no room for are left out, the newest comes later.
TEST(Notify, ManagerThatDoesNotReadNeverBlocks) {
    TempDir dir;
    int listener = manager_socket(dir);
    ASSERT_TRUE(notify_open());
    // Far more than the socket's queue holds (net.unix.max_dgram_qlen, 10 by default).
    for (int i = 0; i < 2000; ++i) notify_send("STATUS=0 empfangen", 18);
    char got[64] = {};
    EXPECT_EQ(recv(listener, got, sizeof got, MSG_DONTWAIT), 18);
    close(listener);
}
