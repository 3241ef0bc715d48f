#include "forwarding/mqtt_record.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <set>
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

MqttMessage built(std::string& buffer, const std::string& name, const std::string& text, const std::string& line,
                  int gmtoff = 3600) {
    MqttMessage m;
    mqtt_message(buffer, m, name.data(), name.size(), at(gmtoff), 1796000000, text.data(), text.size(), line.data(),
                 line.size());
    return m;
}

// Topic, a line feed, payload.
std::string message(const std::string& name, const std::string& text, const std::string& line, int gmtoff = 3600) {
    std::string buffer;
    MqttMessage m = built(buffer, name, text, line, gmtoff);
    return std::string(m.topic, m.topic_len) + "\n" + std::string(m.payload, m.payload_len);
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

// A plain name is its topic; any other gets one no other name can get, and
// every topic is a valid discovery node id.
TEST(MqttRecord, DeviceTopicsOneToOne) {
    struct Case {
        std::string name, topic;
    } cases[] = {
        {"Qln042", "Qln042"},
        {"Qln042__Pumpe1", "Qln042__Pumpe1"},
        {"Qln042_-Ab9", "Qln042_-Ab9"},
        {"Qln043_a b c", "Qln043_a_b_c_x5f6120622063"},
        {"Qln043_a/b/c", "Qln043_a_b_c_x5f612f622f63"},
        {"Qln043.", "Qln043__x2e____"},  // one byte: still longer than any plain name
        {"Qln043_-.b/#+\xB0", "Qln043_-_b_____x5f2d2e622f232bb0"},
        {"Qln043\n\"", "Qln043___x0a22_"},
    };
    std::set<std::string> seen;
    for (const Case& c : cases) {
        char out[device_topic_max + 1];
        std::size_t n = device_topic(out, c.name.data(), c.name.size());
        EXPECT_EQ(std::string(out, n), c.topic) << c.name;
        EXPECT_TRUE(seen.insert(c.topic).second) << c.topic;
        EXPECT_LE(n, device_topic_max);
        for (char ch : c.topic) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(ch)) || ch == '_' || ch == '-');
        bool plain = c.topic == c.name;
        EXPECT_EQ(plain, n <= 14) << "plain names are at most 14 long, the others at least 15";
    }
}

TEST(MqttRecord, NumbersTextsAndEmptyFields) {
    struct Case {
        const char* field;
        FieldKind kind;
    } cases[] = {
        {"21.5", FieldKind::number}, {"-3", FieldKind::number},   {"  007  ", FieldKind::number},
        {"", FieldKind::empty},      {"   ", FieldKind::empty},    {"1.", FieldKind::text},
        {".5", FieldKind::text},     {"+1", FieldKind::text},      {"1e3", FieldKind::text},
        {"-", FieldKind::text},      {"1 2", FieldKind::text},     {"on", FieldKind::text},
        {"1\t", FieldKind::text},    {"1.2.3", FieldKind::text},
    };
    for (const Case& c : cases) EXPECT_EQ(field_kind(c.field, std::strlen(c.field)), c.kind) << c.field;
}

TEST(MqttRecord, FactsForDiscovery) {
    std::string buffer;
    MqttMessage m = built(buffer, "Qln042 x", "21.5,on,,-3   ,x", "line");
    EXPECT_EQ(std::string(m.device_topic, m.device_topic_len), "Qln042_x_x2078_");
    EXPECT_EQ(std::string(m.topic, m.topic_len), "qlfwd/Qln042_x_x2078_");
    EXPECT_EQ(std::string(m.device_json, m.device_json_len), "Qln042 x");
    EXPECT_EQ(m.fields, 5u);
    FieldSet texts;
    texts.add(1);
    texts.add(4);
    EXPECT_TRUE(m.texts == texts);
    EXPECT_EQ(m.arrived, 1796000000);
    m = built(buffer, "Qln042", "", "line");
    EXPECT_EQ(m.fields, 1u) << "an empty text is one empty field";
    std::string many(149, ',');
    many += "x";
    m = built(buffer, "Qln042", many, "line");
    EXPECT_EQ(m.fields, 150u);
    EXPECT_FALSE(m.texts.has(99)) << "kinds are kept for f00 to f99 only";
}
