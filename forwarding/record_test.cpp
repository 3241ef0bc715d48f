#include "forwarding/record.hpp"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

using namespace ql;

namespace {

std::string name_of(unsigned octet, const std::string& text, bool is_long) {
    char out[device_name_max + 1];
    std::size_t n = device_name(out, octet, device_label(text.data(), text.size(), is_long));
    EXPECT_EQ(n, std::string(out).size());
    return std::string(out, n);
}

std::string line_of(const std::string& name, const std::string& text, bool append) {
    char out[record_line_max + 1];
    std::size_t n = record_line(out, "2026.12.08_03:04:05", name.data(), name.size(), text.data(), text.size(),
                                append);
    return std::string(out, n);
}

}  // namespace

TEST(DeviceName, OctetAndLabel) {
    EXPECT_EQ(name_of(7, "0123456789abcdef", false), "Qln007");
    EXPECT_EQ(name_of(255, "ABCDEFG__Pumpe1,rest", true), "Qln255__Pumpe1");
    EXPECT_EQ(name_of(0, "ABCDEFG__Pumpe1", true), "Qln000__Pumpe1");
    // Short datagrams carry no label even when their text is long enough.
    EXPECT_EQ(name_of(42, "ABCDEFG__Pumpe1,rest", false), "Qln042");
}

TEST(DeviceName, LabelShortenedByShortText) {
    EXPECT_EQ(name_of(42, "ABCDEFGxyz", true), "Qln042xyz");
    EXPECT_EQ(name_of(42, "ABCDEFG", true), "Qln042");
    EXPECT_EQ(name_of(42, "", true), "Qln042");
    EXPECT_EQ(name_of(42, "ABCDEFG12345678", true), "Qln04212345678");
}

TEST(DeviceName, LabelKeptAsReceived) {
    EXPECT_EQ(name_of(42, "ABCDEFG../a b;\x01tail", true), "Qln042../a b;\x01");
    EXPECT_EQ(name_of(42, "ABCDEFG-\xff-", true), "Qln042-\xff-");
}

TEST(TimeStamp, Format) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 0;
    t.tm_mday = 2;
    t.tm_hour = 3;
    t.tm_min = 4;
    t.tm_sec = 5;
    char out[stamp_len + 1];
    time_stamp(out, t);
    EXPECT_STREQ(out, "2026.01.02_03:04:05");
    t.tm_mon = 11;
    t.tm_mday = 31;
    t.tm_hour = 23;
    t.tm_min = 59;
    t.tm_sec = 60;  // a leap second
    time_stamp(out, t);
    EXPECT_STREQ(out, "2026.12.31_23:59:60");
}

// Past 2038 on 32-bit hosts too: the seconds are held and converted in 64 bits.
TEST(TimeStamp, AfterTwentyThirtyEight) {
    std::tm wanted{};
    wanted.tm_year = 2040 - 1900;
    wanted.tm_mday = 1;
    wanted.tm_hour = 12;
    wanted.tm_isdst = -1;
    std::time_t t = std::mktime(&wanted);
    ASSERT_GT(static_cast<long long>(t), 2147483647LL);
    std::tm local{};
    ASSERT_NE(localtime_r(&t, &local), nullptr);
    char out[stamp_len + 1];
    time_stamp(out, local);
    EXPECT_STREQ(out, "2040.01.01_12:00:00");
}

TEST(RecordLine, Fields) {
    EXPECT_EQ(line_of("Qln042", "a,b", false), "2026.12.08_03:04:05,Quenlink,Qln042,a,b");
    EXPECT_EQ(line_of("Qln042", "a,b", true), "2026.12.08_03:04:05,Quenlink,Qln042,a,b\n");
    // A text that ends in its own line end keeps it, and nothing is added.
    EXPECT_EQ(line_of("Qln042", "a\r\n", false), "2026.12.08_03:04:05,Quenlink,Qln042,a\r\n");
}

TEST(RecordLine, EmptyTextKeepsTrailingComma) {
    EXPECT_EQ(line_of("Qln042", "", false), "2026.12.08_03:04:05,Quenlink,Qln042,");
    EXPECT_EQ(line_of("Qln042", "", true), "2026.12.08_03:04:05,Quenlink,Qln042,\n");
}

TEST(RecordLine, LongestFits) {
    std::string name = "Qln255ABCDEFGH";
    std::string text(datagram_max, 'z');
    std::string line = line_of(name, text, true);
    EXPECT_EQ(line.size(), record_line_max);
    EXPECT_EQ(line.substr(0, 45), "2026.12.08_03:04:05,Quenlink,Qln255ABCDEFGH,z");
    EXPECT_EQ(line.back(), '\n');
}
