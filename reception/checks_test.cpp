#include "reception/checks.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using namespace ql;

namespace {

// A long datagram: body padded with 'x' to at least 156 bytes, then its checksum.
std::string with_checksum(std::string body) {
    while (body.size() < long_min - 4) body += 'x';
    char digits[9];
    checksum_digits(char_sum(body.data(), body.size()), digits);
    return body + digits;
}

Checked check(const std::string& bytes) {
    std::string buffer = bytes;  // the receive buffer always ends in a zero byte
    return check_datagram(buffer.c_str(), bytes.size());
}

}  // namespace

TEST(Checks, SizeLimits) {
    EXPECT_EQ(check("").verdict, Verdict::empty);
    EXPECT_EQ(check(std::string(13, 'a')).verdict, Verdict::too_short);
    EXPECT_EQ(check(std::string(1, 'a')).verdict, Verdict::too_short);
    Checked fourteen = check(std::string(14, 'a'));
    EXPECT_EQ(fourteen.verdict, Verdict::valid);
    EXPECT_FALSE(fourteen.is_long);
    EXPECT_EQ(fourteen.text_len, 14u);
}

TEST(Checks, AcknowledgementDroppedAtAnyLength) {
    EXPECT_EQ(check("0123456789abqL=").verdict, Verdict::acknowledgement);
    // Long and with a wrong checksum: still an acknowledgement, checked first.
    EXPECT_EQ(check("0123456789abqL=" + std::string(200, 'z')).verdict, Verdict::acknowledgement);
    EXPECT_EQ(check("0123456789abqL" + std::string(10, 'z')).verdict, Verdict::valid);
    EXPECT_EQ(check("0123456789abcqL=" + std::string(10, 'z')).verdict, Verdict::valid);
}

TEST(Checks, ShortBelowThresholdKeepsWholeText) {
    std::string bytes(159, 'a');
    Checked c = check(bytes);
    EXPECT_EQ(c.verdict, Verdict::valid);
    EXPECT_FALSE(c.is_long);
    EXPECT_EQ(c.text_len, 159u);
}

TEST(Checks, LongChecksumVerifiedAndCut) {
    std::string bytes = with_checksum("ABCDEFG__Pumpe1,1,2");
    ASSERT_EQ(bytes.size(), 160u);
    Checked c = check(bytes);
    EXPECT_EQ(c.verdict, Verdict::valid);
    EXPECT_TRUE(c.is_long);
    EXPECT_EQ(c.full_len, 160u);
    EXPECT_EQ(c.text_len, 156u);
}

TEST(Checks, WrongChecksumReportsReceivedAndComputedDigits) {
    std::string body(156, 'x');  // 156 * 0x78 = 0x4920
    Checked c = check(body + "4921");
    EXPECT_EQ(c.verdict, Verdict::bad_checksum);
    EXPECT_STREQ(c.got, "4921");
    EXPECT_STREQ(c.want, "4920");
    EXPECT_EQ(c.full_len, 160u);
}

TEST(Checks, LowerCaseDigitsMatchOnlyWithoutLetters) {
    std::string body(156, 'x');  // sum 4920: all decimal digits
    EXPECT_EQ(check(body + "4920").verdict, Verdict::valid);
    std::string lettered = std::string(155, 'x') + "z";  // 155*0x78 + 0x7A = 0x4922
    EXPECT_EQ(check(lettered + "4922").verdict, Verdict::valid);
    std::string with_letter = std::string(156, 'y');  // 156 * 0x79 = 0x49BC
    EXPECT_EQ(check(with_letter + "49BC").verdict, Verdict::valid);
    Checked lower = check(with_letter + "49bc");
    EXPECT_EQ(lower.verdict, Verdict::bad_checksum);
    EXPECT_STREQ(lower.want, "49BC");
}

TEST(Checks, FiveDigitAndNegativeSumsNeverMatch) {
    std::string big(600, '~');  // 600 * 0x7E = 0x12750
    Checked five = check(big + "2750");
    EXPECT_EQ(five.verdict, Verdict::bad_checksum);
    EXPECT_STREQ(five.want, "12750");

    std::string negative(156, '\xff');  // 156 * -1
    Checked neg = check(negative + "FF64");
    EXPECT_EQ(neg.verdict, Verdict::bad_checksum);
    EXPECT_STREQ(neg.want, "FFFFFF64");
    EXPECT_FALSE(checksum_matches(-156, "FF64"));
}

TEST(Checks, ZeroByteEndsTextButNotSizeTests) {
    std::string text = "0123456789abcdef";
    char digits[9];
    checksum_digits(char_sum(text.data(), text.size()), digits);
    std::string bytes = text + digits + std::string(1, '\0') + std::string(200, 'q');
    Checked c = check(bytes);
    EXPECT_TRUE(c.is_long);  // 221 bytes received
    EXPECT_EQ(c.verdict, Verdict::valid);
    EXPECT_EQ(c.full_len, 20u);
    EXPECT_EQ(c.text_len, 16u);

    // A short datagram keeps its text up to the zero byte only.
    Checked s = check(std::string("0123456789abcdef") + '\0' + "tail");
    EXPECT_EQ(s.verdict, Verdict::valid);
    EXPECT_EQ(s.text_len, 16u);
}

TEST(Checks, LongWithTextOfFewerThanFourCharactersIsInvalid) {
    for (std::string text : {"", "a", "abc"}) {
        std::string bytes = text + '\0' + std::string(200, 'q');
        Checked c = check(bytes);
        EXPECT_EQ(c.verdict, Verdict::bad_checksum) << text;
        EXPECT_EQ(c.text_len, 0u);
        EXPECT_EQ(std::string(c.got), text);
    }
}

TEST(Checks, DigitsFormat) {
    char out[9];
    checksum_digits(0, out);
    EXPECT_STREQ(out, "0000");
    checksum_digits(0xAB, out);
    EXPECT_STREQ(out, "00AB");
    checksum_digits(-1, out);
    EXPECT_STREQ(out, "FFFFFFFF");
    EXPECT_TRUE(checksum_matches(0xAB, "00AB"));
    EXPECT_FALSE(checksum_matches(0xAB, "00ab"));
    EXPECT_FALSE(checksum_matches(0x10000, "0000"));
}
