#include "reception/own_addresses.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>

using namespace ql;

namespace {

sockaddr_in v4(const char* dotted) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, dotted, &a.sin_addr);
    return a;
}

std::uint32_t addr(const char* dotted) { return v4(dotted).sin_addr.s_addr; }

}  // namespace

TEST(OwnAddresses, CollectsIpv4EntriesOnly) {
    sockaddr_in lo = v4("127.0.0.1"), eth = v4("10.1.2.3");
    sockaddr_in6 six{};
    six.sin6_family = AF_INET6;
    ifaddrs e4{}, e3{}, e2{}, e1{};
    e1.ifa_addr = reinterpret_cast<sockaddr*>(&lo);
    e1.ifa_next = &e2;
    e2.ifa_addr = nullptr;  // an interface without an address
    e2.ifa_next = &e3;
    e3.ifa_addr = reinterpret_cast<sockaddr*>(&six);
    e3.ifa_next = &e4;
    e4.ifa_addr = reinterpret_cast<sockaddr*>(&eth);

    OwnAddresses own;
    collect_own_addresses(own, &e1);
    EXPECT_EQ(own.count, 2u);
    EXPECT_TRUE(is_own_address(own, addr("127.0.0.1")));
    EXPECT_TRUE(is_own_address(own, addr("10.1.2.3")));
    EXPECT_FALSE(is_own_address(own, addr("127.0.0.42")));
    EXPECT_FALSE(is_own_address(own, addr("10.1.2.4")));
}

TEST(OwnAddresses, EmptyListDropsNothing) {
    OwnAddresses own;
    collect_own_addresses(own, nullptr);
    EXPECT_FALSE(is_own_address(own, addr("127.0.0.1")));
}

TEST(OwnAddresses, TakenAgainAfterAMinute) {
    OwnAddresses own;
    EXPECT_TRUE(own_addresses_stale(own, 1000));  // never taken
    own.taken = true;
    own.taken_at = 1000;
    EXPECT_FALSE(own_addresses_stale(own, 1000));
    EXPECT_FALSE(own_addresses_stale(own, 1060));
    EXPECT_TRUE(own_addresses_stale(own, 1061));
    EXPECT_TRUE(own_addresses_stale(own, 999));  // a clock that went back
}

TEST(OwnAddresses, TakesTheSystemsList) {
    OwnAddresses own;
    take_own_addresses(own, 5);
    EXPECT_TRUE(own.taken);
    EXPECT_EQ(own.taken_at, 5);
    EXPECT_TRUE(is_own_address(own, addr("127.0.0.1")));
}
