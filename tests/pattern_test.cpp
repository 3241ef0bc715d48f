// The tests' own matcher: a wrong answer here would let other tests pass blind.
#include "tests/pattern.hpp"

#include <gtest/gtest.h>

using Groups = std::vector<std::string>;

TEST(Pattern, WholeTextOrNothing) {
    const Pattern stamp("[0-9]{4}\\.[0-9]{2},x");
    EXPECT_TRUE(stamp.matches("2026.12,x"));
    EXPECT_FALSE(stamp.matches("2026.12,x\n"));
    EXPECT_FALSE(stamp.matches(" 2026.12,x"));
    EXPECT_FALSE(stamp.matches("2026-12,x"));
    // A NUL inside the text is a byte like any other.
    EXPECT_FALSE(stamp.matches(std::string("2026.12,x\0", 10)));
    EXPECT_TRUE(Pattern("(a\n)+b").matches("a\na\nb"));
}

TEST(Pattern, GroupsOfTheFirstAndOfEveryMatch) {
    const Pattern number("n=([0-9]+);");
    EXPECT_EQ(number.first("x n=12; n=3;"), (Groups{"n=12;", "12"}));
    EXPECT_EQ(number.first("n=;"), Groups{});
    std::vector<Groups> all = number.all("n=1;n=22; n=333;");
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[2], (Groups{"n=333;", "333"}));
    // Only the text's own start is its start.
    EXPECT_EQ(Pattern("^a").all("aaa").size(), 1u);
}

TEST(Pattern, EveryMatchReplaced) {
    EXPECT_EQ(Pattern("[0-9]+").replace("a1b22c333", "#"), "a#b#c#");
    EXPECT_EQ(Pattern("<[^>]*>").replace("x <n> y <m>", "*"), "x * y *");
    EXPECT_EQ(Pattern("z").replace("abc", "#"), "abc");
}
