// Home Assistant's device-based discovery for records sent to a broker: one
// retained config per device, with a sensor per field (f00 to f99), and the
// per-field configs of the first release it takes over. Pure.
#pragma once
#include <cstddef>
#include <string>

#include "common/mqtt_message.hpp"

namespace ql {

constexpr char birth_topic[] = "homeassistant/status";
// Where the first release put its configs: homeassistant/sensor/qlfwd_<device topic>/f<NN>/config.
constexpr char old_configs_filter[] = "homeassistant/sensor/+/+/config";
constexpr char migrate_payload[] = "{\"migrate_discovery\": true}";

// What a device's config says of it.
struct DeviceFacts {
    const char* topic;  // the device topic
    std::size_t topic_len;
    const char* json;   // the device name, JSON-escaped
    std::size_t json_len;
    unsigned fields;    // sensors f00 up to this one (at most discovery_fields_max)
    FieldSet texts;     // fields shown as text; the others as measurements
};

// "homeassistant/device/qlfwd_<device topic>/config"
void device_config_topic(std::string& out, const char* device_topic, std::size_t topic_len);

// {"dev":{…},"o":{…},"cmps":{"f00":{…},…},"state_topic":…,"availability_topic":"qlfwd/status","qos":1}
// A sensor's value is its field, blanks at either end left out, cut to 255
// characters, and None (unknown) in a record that has fewer fields.
void device_config(std::string& out, const DeviceFacts& device);

// "homeassistant/sensor/qlfwd_<device topic>/f<NN>/config"
void old_config_topic(std::string& out, const char* device_topic, std::size_t topic_len, unsigned field);

// The device topic and field of a first-release config topic; false for any other topic.
bool parse_old_config_topic(const char* topic, std::size_t len, const char*& device_topic, std::size_t& topic_len,
                            unsigned& field);

}  // namespace ql
