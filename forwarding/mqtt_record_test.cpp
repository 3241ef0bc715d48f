#include "forwarding/mqtt_record.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace ql;

namespace {

std::tm at(int gmtoff) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 8;
    t.tm_hour = 14;
    t.tm_min = 3;
    t.tm_sec = 59;
    t.tm_gmtoff = gmtoff;
    return t;
}

std::string message(const std::string& name, const std::string& text, const std::string& line, int gmtoff = 3600) {
    std::string out;
    mqtt_message(out, name.data(), name.size(), at(gmtoff), text.data(), text.size(), line.data(), line.size());
    return out;
}

}  // namespace

TEST(MqttRecord, TopicAndPayloadExactly) {
    EXPECT_EQ(message("Qln042_kitchen", "21.5,60", "2026.12.08_14:03:59,Quenlink,Qln042_kitchen,21.5,60"),
              "qlfwd/Qln042_kitchen\n"
              "{\"time\":\"2026-12-08T14:03:59+01:00\",\"device\":\"Qln042_kitchen\",\"fields\":[\"21.5\",\"60\"],"
              "\"record\":\"2026.12.08_14:03:59,Quenlink,Qln042_kitchen,21.5,60\"}");
}

TEST(MqttRecord, TimeOffsets) {
    struct Case {
        int gmtoff;
        const char* text;
    } cases[] = {{0, "2026-12-08T14:03:59+00:00"}, {3600, "2026-12-08T14:03:59+01:00"},
                 {-16200, "2026-12-08T14:03:59-04:30"}, {20700, "2026-12-08T14:03:59+05:45"}};
    for (const Case& c : cases) {
        char out[iso_time_len + 1];
        iso_time(out, at(c.gmtoff));
        EXPECT_STREQ(out, c.text);
    }
}

TEST(MqttRecord, EscapesAndReadsLatin1) {
    struct Case {
        std::string bytes;
        std::string json;
    } cases[] = {
        {"\xB0", "\xC2\xB0"},          // degree sign
        {"\xFF", "\xC3\xBF"},
        {"\"\\", "\\\"\\\\"},
        {"\x01\n\x1F\x7F", "\\u0001\\u000a\\u001f\\u007f"},
        {"a;b{}", "a;b{}"},
    };
    for (const Case& c : cases) {
        std::string out;
        append_json_text(out, c.bytes.data(), c.bytes.size());
        EXPECT_EQ(out, c.json);
    }
}

TEST(MqttRecord, DeviceTopicKeepsOnlyWordBytesAndDashes) {
    char out[device_topic_max + 1];
    std::string name = "Qln042_-.b/#+\xB0";
    EXPECT_EQ(device_topic(out, name.data(), name.size()), name.size());
    EXPECT_STREQ(out, "Qln042_-_b____");
}
