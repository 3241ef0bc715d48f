#include "sender/datagram.hpp"

#include <gtest/gtest.h>

#include "reception/checks.hpp"

using namespace ql;

namespace {

Checked check(const std::string& d) { return check_datagram(d.c_str(), d.size()); }

}  // namespace

TEST(SenderDatagram, LongDatagramPassesTheReceiversChecks) {
    std::string d = long_datagram("__Pumpe1", ",21.5,on");
    ASSERT_EQ(d.size(), 160u);
    EXPECT_EQ(d.substr(0, 23), "QLSEND __Pumpe1,21.5,on");
    EXPECT_EQ(d.substr(23, 133), std::string(133, ' '));
    Checked c = check(d);
    EXPECT_EQ(c.verdict, Verdict::valid);
    EXPECT_TRUE(c.is_long);
}

TEST(SenderDatagram, ShortLabelPaddedOnTheLeft) {
    EXPECT_EQ(long_datagram("P1", "x").substr(0, 16), "QLSEND ______P1x");
    EXPECT_EQ(long_datagram("", "x").substr(0, 16), "QLSEND ________x");
    EXPECT_EQ(long_datagram("123456789", "x"), "");
}

TEST(SenderDatagram, WrongChecksumIsRejected) {
    std::string d = long_datagram("__Pumpe1", ",1", true);
    Checked c = check(d);
    EXPECT_EQ(c.verdict, Verdict::bad_checksum);
    EXPECT_EQ(d.substr(156), c.got);
}

TEST(SenderDatagram, LongestText) {
    std::string text(1500 - 4 - 15, 'a');
    for (std::size_t i = 1; i < text.size(); i += 2) text[i] = '\x9f';  // keeps the sum to four digits
    std::string d = long_datagram("__Pumpe1", text);
    EXPECT_EQ(d.size(), 1500u);
    EXPECT_EQ(check(d).verdict, Verdict::valid);
    EXPECT_EQ(long_datagram("__Pumpe1", text + "a"), "");
}

TEST(SenderDatagram, SumPastFourDigitsIsNotAcceptable) {
    EXPECT_TRUE(checksum_acceptable(long_datagram_sum("__Pumpe1", ",21.5,on")));
    std::string letters(600, 'z');  // 600 * 0x7A alone is past 0xFFFF
    std::int32_t sum = long_datagram_sum("__Pumpe1", letters);
    EXPECT_GT(sum, 0xFFFF);
    EXPECT_FALSE(checksum_acceptable(sum));
    EXPECT_EQ(check(long_datagram("__Pumpe1", letters)).verdict, Verdict::bad_checksum)
        << "such a datagram can never be accepted, which is why qlsend refuses it";
    std::int32_t negative = long_datagram_sum("__Pumpe1", std::string(100, '\x80'));
    EXPECT_LT(negative, 0);
    EXPECT_FALSE(checksum_acceptable(negative));
    EXPECT_FALSE(checksum_acceptable(-1));
    EXPECT_TRUE(checksum_acceptable(0xFFFF));
}

TEST(SenderDatagram, TellsWhyAReceiverWouldDropTheBytes) {
    EXPECT_STREQ(dropped_because(""), "empty");
    EXPECT_STREQ(dropped_because("hello,world"), "fewer than 14 bytes");
    EXPECT_EQ(dropped_because("hello,world,42"), nullptr);
    EXPECT_STREQ(dropped_because("QLSEND _____qL=ack"), "\"qL=\" at offset 12 marks an acknowledgement");
    EXPECT_EQ(dropped_because(long_datagram("__Pumpe1", ",21.5,on")), nullptr);
}
