// The devices a broker hears of: which are kept (their records retained,
// announced to Home Assistant), at most devices_max of them whoever sends; a
// device is kept from its second record on, so a label that never comes again
// leaves nothing on the broker. What each was last announced as, and when it
// last sent, so that a kept device silent for 30 days can be retired. The
// list survives restarts as a text file. Pure: the caller gives the time and
// does the writing.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "common/mqtt_message.hpp"

namespace ql {

constexpr unsigned devices_max = 1024;
constexpr std::time_t retire_after_s = 30 * 24 * 3600;

struct Device {
    char topic[device_topic_max + 1];
    unsigned char topic_len;
    char json[device_json_max + 1];  // the device name, JSON-escaped
    unsigned char json_len;
    unsigned fields;    // sensors announced: the most fields seen, at most discovery_fields_max
    FieldSet texts;     // fields announced as text
    std::time_t last_seen;
    bool seen;          // it sent since the start
    bool announced;     // on this connection
    bool more_said;     // that it has more fields than sensors, said
    bool retiring;      // silent too long: to be cleared from the broker
};

// What to do with one record.
struct RecordPlan {
    bool retain = false;
    Device* announce = nullptr;  // whose config goes out first (new, changed, or not yet on this connection)
    bool refused = false;        // a device more than devices_max: not kept
    Device* more_fields = nullptr;  // has more fields than sensors, not said before
};

class DeviceTable {
public:
    DeviceTable();

    // The record, as it is about to be sent; now: the wall clock.
    RecordPlan plan(const MqttMessage& message, std::time_t now);

    unsigned count() const { return count_; }
    Device& at(unsigned i) { return devices_[i]; }
    Device* find(const char* topic, std::size_t len);
    // Devices refused since the start.
    std::uint64_t refused() const { return refused_; }

    // A new connection: every device is announced again before its next record.
    void forget_announcements();
    // Marks the devices silent for retire_after_s as retiring; how many are.
    unsigned mark_silent(std::time_t now);
    void remove(Device* device);

    // The list changed in what a restart must know (devices kept, removed,
    // announced otherwise); or only when they last sent.
    bool changed() const { return changed_; }
    bool seen_changed() const { return seen_changed_; }
    void saved() { changed_ = seen_changed_ = false; }

    // The file: "qlfwd mqtt devices 1", then a line a device:
    // <topic> <last seen> <fields> <texts, 32 hex digits> "<name, JSON-escaped>"
    void write(std::string& out) const;
    // Takes a file's text; false, with the number of the first line found
    // wrong (1: the first), when it is not such a file: then nothing is taken.
    bool read(const char* text, std::size_t len, unsigned& bad_line);

private:
    struct Candidate {
        std::uint64_t hash;
        std::uint64_t age;
        unsigned fields;
        FieldSet texts;
        bool refused;
    };
    static constexpr unsigned index_size = 2 * devices_max;  // a power of two
    static constexpr unsigned sets = 512, ways = 8;

    Device* add(const char* topic, std::size_t topic_len, const char* json, std::size_t json_len);
    void reindex();
    Candidate* candidate(std::uint64_t hash, bool make);

    Device devices_[devices_max];
    unsigned count_ = 0;
    std::int16_t index_[index_size];  // -1: empty
    Candidate candidates_[sets * ways] = {};
    std::uint64_t clock_ = 0;
    std::uint64_t refused_ = 0;
    bool changed_ = false, seen_changed_ = false;
};

}  // namespace ql
