// Home Assistant discovery for records sent to a broker: what a queued message
// says about its device, and the retained config that makes one of its fields
// a sensor. Pure.
#pragma once
#include <cstddef>
#include <string>

namespace ql {

// Configs are made for fields f00 to f99; a datagram with more has no sensor for the rest.
constexpr unsigned discovery_fields_max = 100;

// A queued message, "<topic>" LF "<payload>", taken apart.
struct MessageFacts {
    const char* topic;  // "qlfwd/<device topic>"
    std::size_t topic_len;
    const char* payload;
    std::size_t payload_len;
    const char* device;  // the "device" string's contents, JSON-escaped as in the payload
    std::size_t device_len;
    unsigned fields;  // how many strings "fields" holds
};

// False when the text is not a message as the receiver queues it.
bool message_facts(const char* text, std::size_t len, MessageFacts& out);

// "homeassistant/sensor/qlfwd_<device topic>/f<NN>/config"
void discovery_topic(std::string& out, const char* device_topic, std::size_t topic_len, unsigned field);

// The config of field N of a device: a sensor whose value is fields[N] of the
// device's messages, unavailable while qlfwd/status is "offline".
void discovery_config(std::string& out, const char* device_topic, std::size_t topic_len, const char* device_json,
                      std::size_t device_len, unsigned field);

}  // namespace ql
