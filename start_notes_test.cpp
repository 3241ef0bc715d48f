#include "start_notes.hpp"

#include <gtest/gtest.h>

using namespace ql;

TEST(StartNotes, WhatLooksLikeAnAddress) {
    for (const char* yes : {"127.0.0.1", "192.168.1.5", "fhem", "server.local", "pi-3", "10.1"})
        EXPECT_TRUE(looks_like_address(yes)) << yes;
    for (const char* no : {"", "-d", "-a", "127", "out/", "a b", ".x", "x;y", "/tmp/"})
        EXPECT_FALSE(looks_like_address(no)) << no;
}
