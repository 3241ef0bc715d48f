#include "delivery/discovery.hpp"

#include <gtest/gtest.h>

#include <string>

#include <cstring>

#include "delivery/broker_address.hpp"
#include "delivery/old_configs.hpp"

using namespace ql;

TEST(Discovery, DeviceConfigExactly) {
    std::string topic, config;
    device_config_topic(topic, "Qln042_kitchen", 14);
    EXPECT_EQ(topic, "homeassistant/device/qlfwd_Qln042_kitchen/config");
    FieldSet texts;
    texts.add(1);
    std::string name = "Qln042 \\\"k\\\"";
    device_config(config, DeviceFacts{"Qln042_kitchen", 14, name.data(), name.size(), 2, texts});
    EXPECT_EQ(config,
              "{\"dev\":{\"identifiers\":[\"qlfwd_Qln042_kitchen\"],\"name\":\"Qln042 \\\"k\\\"\",\"model\":\"Quenlink\"},"
              "\"o\":{\"name\":\"qlfwd\",\"sw\":\"0.2\"},\"cmps\":{"
              "\"f00\":{\"p\":\"sensor\",\"name\":\"f00\",\"unique_id\":\"qlfwd_Qln042_kitchen_f00\","
              "\"value_template\":\"{{ (value_json.fields[0] | trim)[:255] if value_json.fields | length > 0 else None }}\","
              "\"state_class\":\"measurement\"},"
              "\"f01\":{\"p\":\"sensor\",\"name\":\"f01\",\"unique_id\":\"qlfwd_Qln042_kitchen_f01\","
              "\"value_template\":\"{{ (value_json.fields[1] | trim)[:255] if value_json.fields | length > 1 else None }}\"}},"
              "\"state_topic\":\"qlfwd/Qln042_kitchen\",\"availability_topic\":\"qlfwd/status\",\"qos\":1}");
    // Never more sensors than f00 to f99.
    device_config(config, DeviceFacts{"Qln042", 6, "Qln042", 6, 300, {}});
    EXPECT_NE(config.find("\"f99\":"), std::string::npos);
    EXPECT_EQ(config.find("\"f100\":"), std::string::npos);
    EXPECT_EQ(config.find("\"f00\":"), config.rfind("\"f00\":"));
}

TEST(Discovery, FirstReleaseConfigTopicsReadBack) {
    std::string topic;
    old_config_topic(topic, "Qln042_kitchen", 14, 7);
    EXPECT_EQ(topic, "homeassistant/sensor/qlfwd_Qln042_kitchen/f07/config");
    struct Case {
        const char* topic;
        bool ok;
        const char* device;
        unsigned field;
    } cases[] = {
        {"homeassistant/sensor/qlfwd_Qln042_kitchen/f07/config", true, "Qln042_kitchen", 7},
        {"homeassistant/sensor/qlfwd_Qln001/f99/config", true, "Qln001", 99},
        {"homeassistant/sensor/qlfwd_/f00/config", false, "", 0},
        {"homeassistant/sensor/other_Qln001/f00/config", false, "", 0},
        {"homeassistant/sensor/qlfwd_Qln001/f0/config", false, "", 0},
        {"homeassistant/sensor/qlfwd_Qln001/g01/config", false, "", 0},
        {"homeassistant/sensor/qlfwd_Qln 01/f01/config", false, "", 0},
        {"homeassistant/binary_sensor/qlfwd_Qln001/f01/config", false, "", 0},
        {"homeassistant/sensor/qlfwd_Qln001/f01/state", false, "", 0},
    };
    for (const Case& c : cases) {
        const char* device = nullptr;
        std::size_t len = 0;
        unsigned field = 0;
        ASSERT_EQ(parse_old_config_topic(c.topic, std::strlen(c.topic), device, len, field), c.ok) << c.topic;
        if (!c.ok) continue;
        EXPECT_EQ(std::string(device, len), c.device);
        EXPECT_EQ(field, c.field);
    }
}

TEST(Discovery, OldConfigsTakenOnceAndClearedOnesForgotten) {
    OldConfigs old;
    old.note("Qln042", 6, 0, true);
    old.note("Qln042", 6, 3, true);
    old.note("Qln042", 6, 3, false);  // cleared by another client meanwhile
    old.note("Qln043", 6, 1, true);
    FieldSet f = old.take("Qln042", 6);
    EXPECT_TRUE(f.has(0));
    EXPECT_FALSE(f.has(3));
    EXPECT_FALSE(old.take("Qln042", 6).has(0)) << "taken over once";
    EXPECT_TRUE(old.take("Qln043", 6).has(1));
    EXPECT_FALSE(old.take("Qln044", 6).has(0));
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
