#include "common/status.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace ql;

TEST(Status, TextNamesTheFourCountsThenTheFailures) {
    char text[status_text_max + 1];
    Counts c;
    EXPECT_EQ(std::string(text, status_text(text, c)),
              "0 empfangen, 0 weitergegeben, 0 verworfen, 0 verloren, 0 Ausgabefehler");
    c = {12345, 12000, 300, 40, 5};
    EXPECT_EQ(std::string(text, status_text(text, c)),
              "12345 empfangen, 12000 weitergegeben, 300 verworfen, 40 verloren, 5 Ausgabefehler");
    c.queued = 7;
    EXPECT_EQ(std::string(text, status_text(text, c, true)),
              "12345 empfangen, 12000 weitergegeben, 300 verworfen, 40 verloren, 5 Ausgabefehler, 7 in Warteschlange");
    std::uint64_t most = ~std::uint64_t{0};
    c = {most, most, most, most, most, most};
    std::size_t len = status_text(text, c, true);
    EXPECT_EQ(std::string(text, len).substr(0, 31), "18446744073709551615 empfangen,");
    EXPECT_LE(len, status_text_max);
}

TEST(Status, PublishedAtOnceThenOnlyWhenChangedAndAtMostOncePerSecond) {
    StatusSchedule s;
    Counts c;
    EXPECT_TRUE(s.due(c, 5000)) << "the first counts go out at once";
    s.published(c, 5000);
    EXPECT_FALSE(s.due(c, 9000)) << "unchanged counts are not sent again";
    c.received = 1;
    EXPECT_FALSE(s.due(c, 5999));
    EXPECT_TRUE(s.due(c, 6000));
    s.published(c, 6000);
    c.lost = 3;
    EXPECT_FALSE(s.due(c, 6500));
    EXPECT_TRUE(s.due(c, 7000));
    // The loop wakes when they are due, not at a pace of its own.
    EXPECT_EQ(s.due_at(c), 7000);
    s.published(c, 7000);
    EXPECT_EQ(s.due_at(c), -1) << "nothing to wake for";
    c.failed = 1;
    EXPECT_EQ(s.due_at(c), 8000);
    EXPECT_EQ(StatusSchedule{}.due_at(c), 0) << "the first counts at once";
}
