#include "own_address.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <cstring>
#include <string>

using namespace ql;

namespace {

std::string cleaned(const std::string& read) {
    char telip[telip_max + 1] = {};
    std::memcpy(telip, read.data(), std::min(read.size(), telip_max));
    clean_detected(telip);
    return telip;
}

sockaddr_in v4(const char* dotted) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, dotted, &a.sin_addr);
    return a;
}

std::string settled(const std::string& detected, const ifaddrs* list) {
    char telip[telip_max + 1] = {};
    std::strcpy(telip, detected.c_str());
    settle_detected(telip, list);
    return telip;
}

}  // namespace

TEST(OwnAddress, ReadTextCutAtLineEndAndOddBytes) {
    EXPECT_EQ(cleaned("10.0.0.5\n"), "10.0.0.5");
    EXPECT_EQ(cleaned("10.0.0.5 fe80\n"), "10.0.0.5 fe80");
    EXPECT_EQ(cleaned("10.0.0.5\xc3x"), "10.0.0.5");
    EXPECT_EQ(cleaned("\n"), "");
    EXPECT_EQ(cleaned("192.168.100.200 10.0.0.1 172.16.0.1\n"), "192.168.100.200 10.0.0.1 ");  // 25 characters
}

TEST(OwnAddress, ShortTextReplaced) {
    sockaddr_in lo = v4("127.0.0.1"), host = v4("10.9.8.7"), other = v4("10.9.8.8");
    sockaddr_in6 six{};
    six.sin6_family = AF_INET6;
    ifaddrs e3{}, e2{}, e1{};
    e1.ifa_addr = reinterpret_cast<sockaddr*>(&lo);
    e1.ifa_next = &e2;
    e2.ifa_addr = reinterpret_cast<sockaddr*>(&six);
    e2.ifa_next = &e3;
    e3.ifa_addr = reinterpret_cast<sockaddr*>(&host);
    ifaddrs e4{};
    e4.ifa_addr = reinterpret_cast<sockaddr*>(&other);
    e3.ifa_next = &e4;

    EXPECT_EQ(settled("", &e1), "10.9.8.7");
    EXPECT_EQ(settled("fe80", &e1), "10.9.8.7");
    EXPECT_EQ(settled("1.2.3.", &e1), "10.9.8.7");    // six characters
    EXPECT_EQ(settled("1.2.3.4", &e1), "1.2.3.4");    // seven stay
    EXPECT_EQ(settled("", &e2), "10.9.8.7");
    // Only loopback, or nothing at all: the fixed fallback.
    e1.ifa_next = nullptr;
    EXPECT_EQ(settled("", &e1), "192.168.1.10");
    EXPECT_EQ(settled("", nullptr), "192.168.1.10");
}
