#include "delivery/mqtt_entry.hpp"

#include <gtest/gtest.h>

#include <string>

using namespace ql;

namespace {

std::string view(const char* p, std::size_t n) { return std::string(p, n); }

}  // namespace

TEST(MqttEntry, WhatTheTransportNeedsComesBackAsItWent) {
    std::string topic = "qlfwd/Qln042_x5f6b____", json = "Qln042 \\\"k\\u0001", payload = "{\"time\":\"T\"}";
    MqttMessage m;
    m.topic = topic.data();
    m.topic_len = topic.size();
    m.device_topic = topic.data() + 6;
    m.device_topic_len = topic.size() - 6;
    m.device_json = json.data();
    m.device_json_len = json.size();
    m.payload = payload.data();
    m.payload_len = payload.size();
    m.fields = 130;
    m.texts.add(0);
    m.texts.add(99);
    m.arrived = 1796000000;
    std::string entry;
    encode_mqtt_entry(entry, m);
    EXPECT_EQ(entry.find('\0'), std::string::npos) << "no zero byte, as every queued text";
    // The form queues written by this release hold, byte for byte.
    EXPECT_EQ(entry, "M1 1796000000 130 00000008000000000000000000000001 " + topic + " " + json + "\n" + payload);
    MqttMessage back;
    ASSERT_TRUE(decode_mqtt_entry(entry.data(), entry.size(), back));
    EXPECT_EQ(view(back.topic, back.topic_len), topic);
    EXPECT_EQ(view(back.device_topic, back.device_topic_len), "Qln042_x5f6b____");
    EXPECT_EQ(view(back.device_json, back.device_json_len), json);
    EXPECT_EQ(view(back.payload, back.payload_len), payload);
    EXPECT_EQ(back.fields, 130u);
    EXPECT_TRUE(back.texts == m.texts);
    EXPECT_EQ(back.arrived, m.arrived);
    EXPECT_TRUE(back.own_topic);
    // Cut anywhere before its payload, it is no entry.
    for (std::size_t cut = 0; cut < entry.find('\n'); ++cut)
        EXPECT_FALSE(decode_mqtt_entry(entry.data(), cut, back)) << cut;
    // A digit of its text fields that is no lower-case hex digit makes it no entry.
    for (char bad : {'A', 'g', ' '}) {
        std::string damaged = entry;
        damaged[damaged.find(" 0000") + 5] = bad;
        EXPECT_FALSE(decode_mqtt_entry(damaged.data(), damaged.size(), back)) << bad;
    }
}

// As the first release queued it: topic, line feed, payload; the facts are
// read from the payload, once, at its sending.
TEST(MqttEntry, FirstReleaseEntriesAreRead) {
    std::string entry =
        "qlfwd/Qln042__x_\n{\"time\":\"2026-12-08T14:03:59+01:00\",\"device\":\"Qln042_\\\"x\\\"\",\"fields\":"
        "[\"a\\\\\\\"\",\"21.5\",\"\",\" -3 \",\"1.\"],\"record\":\"line\"}";
    MqttMessage m;
    ASSERT_TRUE(decode_mqtt_entry(entry.data(), entry.size(), m));
    EXPECT_EQ(view(m.topic, m.topic_len), "qlfwd/Qln042__x_");
    EXPECT_EQ(view(m.device_json, m.device_json_len), "Qln042_\\\"x\\\"");
    EXPECT_EQ(view(m.payload, m.payload_len), entry.substr(entry.find('\n') + 1));
    EXPECT_EQ(m.fields, 5u);
    EXPECT_TRUE(m.texts.has(0));
    EXPECT_FALSE(m.texts.has(1));
    EXPECT_FALSE(m.texts.has(2)) << "empty: no text";
    EXPECT_FALSE(m.texts.has(3));
    EXPECT_TRUE(m.texts.has(4));
    EXPECT_FALSE(m.own_topic) << "its topic was the cleaned name, which another name may share";
    std::string plain = "qlfwd/Qln042\n{\"time\":\"T\",\"device\":\"Qln042\",\"fields\":[\"1\"],\"record\":\"r\"}";
    ASSERT_TRUE(decode_mqtt_entry(plain.data(), plain.size(), m));
    EXPECT_TRUE(m.own_topic);
    for (std::size_t cut = 0; cut < entry.find("],\"record\":\"") + 12; ++cut)
        EXPECT_FALSE(decode_mqtt_entry(entry.data(), cut, m)) << cut;
    for (std::string bad : {"", "M1 ", "M1 1 2 zz", "qlfwd/a+b\n{}", "setreading x\r\nquit\n"})
        EXPECT_FALSE(decode_mqtt_entry(bad.data(), bad.size(), m)) << bad;
}
