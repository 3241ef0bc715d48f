// A record as a message to the broker, as forwarding builds it and the MQTT
// transport sends it: its topic and payload, and what Home Assistant's
// discovery needs to know of it, so that nothing is read back from the JSON.
// The texts are views into their builder's buffer (or a queue entry).
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>

namespace ql {

constexpr char topic_root[] = "qlfwd/";
// A plain name is its own topic (14 bytes at most); any other name gets its
// cleaned form, "_x" and its label in hexadecimal: 6 + 8 + 2 + 16.
constexpr std::size_t device_topic_max = 32;
constexpr std::size_t topic_max = sizeof topic_root - 1 + device_topic_max;
// The device name as a JSON string's contents: a byte takes 6 at most ("\u0001").
constexpr std::size_t device_json_max = 6 * 14;

// Sensors are made for fields f00 to f99 only.
constexpr unsigned discovery_fields_max = 100;

// One bit per field, f00 to f99.
struct FieldSet {
    std::uint64_t bits[2] = {};
    void add(unsigned field) {
        if (field < 128) bits[field / 64] |= std::uint64_t{1} << (field % 64);
    }
    bool has(unsigned field) const { return field < 128 && (bits[field / 64] >> (field % 64) & 1) != 0; }
    // Those of other not here yet.
    bool adds(const FieldSet& other) const {
        return (other.bits[0] & ~bits[0]) != 0 || (other.bits[1] & ~bits[1]) != 0;
    }
    FieldSet& operator|=(const FieldSet& other) {
        bits[0] |= other.bits[0];
        bits[1] |= other.bits[1];
        return *this;
    }
    bool operator==(const FieldSet&) const = default;
};

struct MqttMessage {
    const char* topic = nullptr;  // "qlfwd/<device topic>"
    std::size_t topic_len = 0;
    const char* payload = nullptr;
    std::size_t payload_len = 0;
    const char* device_topic = nullptr;  // the topic after "qlfwd/", a valid discovery node id
    std::size_t device_topic_len = 0;
    const char* device_json = nullptr;  // the device name, JSON-escaped, without quotes
    std::size_t device_json_len = 0;
    unsigned fields = 0;   // how many fields the record has
    FieldSet texts;        // its fields that are neither a number nor empty
    std::time_t arrived = 0;
    // The topic is this device's own (not shared with another name): false
    // only for records an earlier release queued under a cleaned name.
    bool own_topic = true;
};

}  // namespace ql
