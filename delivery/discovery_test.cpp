#include "delivery/discovery.hpp"

#include <gtest/gtest.h>

#include <string>

#include "delivery/broker_address.hpp"
#include "forwarding/mqtt_record.hpp"

using namespace ql;

TEST(Discovery, FactsOfAQueuedMessage) {
    std::tm t{};
    std::string name = "Qln042_\"x\"";
    std::string text = "a\\\",b,,\xB0";
    std::string m;
    mqtt_message(m, name.data(), name.size(), t, text.data(), text.size(), "line", 4);
    MessageFacts f{};
    ASSERT_TRUE(message_facts(m.data(), m.size(), f));
    EXPECT_EQ(std::string(f.topic, f.topic_len), "qlfwd/Qln042__x_");
    EXPECT_EQ(std::string(f.device, f.device_len), "Qln042_\\\"x\\\"");
    EXPECT_EQ(f.fields, 4u);
    EXPECT_EQ(std::string(f.payload, f.payload_len), m.substr(m.find('\n') + 1));
    // Cut before its fields have ended, it is no message.
    for (std::size_t cut = 0; cut < m.find("],\"record\":\"") + 12; ++cut)
        EXPECT_FALSE(message_facts(m.data(), cut, f)) << cut;
}

TEST(Discovery, ConfigExactly) {
    std::string topic, config;
    discovery_topic(topic, "Qln042_kitchen", 14, 3);
    EXPECT_EQ(topic, "homeassistant/sensor/qlfwd_Qln042_kitchen/f03/config");
    discovery_config(config, "Qln042_kitchen", 14, "Qln042_kitchen", 14, 3);
    EXPECT_EQ(config,
              "{\"name\":\"f03\",\"unique_id\":\"qlfwd_Qln042_kitchen_f03\",\"state_topic\":\"qlfwd/Qln042_kitchen\","
              "\"value_template\":\"{{ value_json.fields[3] }}\",\"availability_topic\":\"qlfwd/status\","
              "\"device\":{\"identifiers\":[\"qlfwd_Qln042_kitchen\"],\"name\":\"Qln042_kitchen\",\"model\":\"Quenlink\"}}");
}

TEST(BrokerAddress, ParsedOrRefused) {
    struct Case {
        const char* text;
        bool tls;
        bool ok;
        const char* user;
        const char* host;
        unsigned port;
    } cases[] = {
        {"", false, true, "", "127.0.0.1", 1883},
        {"", true, true, "", "127.0.0.1", 8883},
        {"site@192.168.1.5", false, true, "site", "192.168.1.5", 1883},
        {"broker.local:1884", true, true, "", "broker.local", 1884},
        {"a@b@host:65535", false, true, "a@b", "host", 65535},
        {"host:0", false, false, "", "", 0},
        {"host:65536", false, false, "", "", 0},
        {"host:", false, false, "", "", 0},
        {"host:12a", false, false, "", "", 0},
        {"@host", false, false, "", "", 0},
        {"user@", false, false, "", "", 0},
        {"us er@host", false, false, "", "", 0},
        {"ho st", false, false, "", "", 0},
        {"host/x", false, false, "", "", 0},
        {"u@-host", false, false, "", "", 0},
        {":1883", false, false, "", "", 0},
    };
    for (const Case& c : cases) {
        BrokerAddress a;
        EXPECT_EQ(parse_broker_address(c.text, c.tls, a), c.ok) << c.text;
        if (!c.ok) continue;
        EXPECT_STREQ(a.user, c.user) << c.text;
        EXPECT_STREQ(a.host, c.host) << c.text;
        EXPECT_EQ(a.port, c.port) << c.text;
    }
    BrokerAddress a;
    EXPECT_TRUE(parse_broker_address(std::string(broker_address_max, 'h').c_str(), false, a));
    EXPECT_FALSE(parse_broker_address(std::string(broker_address_max + 1, 'h').c_str(), false, a));
}
