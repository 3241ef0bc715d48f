// The per-field configs that the first release left retained on the broker
// (homeassistant/sensor/qlfwd_<device topic>/f<NN>/config), as the broker
// hands them over at subscribe: which fields of which device have one, so that
// a device announced now takes its old entities over. Bounded: beyond
// old_devices_max devices the rest are not remembered (and stay as they are).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/mqtt_message.hpp"

namespace ql {

class OldConfigs {
public:
    static constexpr unsigned old_devices_max = 4096;

    OldConfigs() { clear(); }
    void clear() {
        for (auto& e : entries_) e.topic_len = 0;
        count_ = 0;
    }
    // A config there (present) or cleared.
    void note(const char* topic, std::size_t len, unsigned field, bool present) {
        Entry* e = find(topic, len, present);
        if (e == nullptr) return;
        if (present)
            e->fields.add(field);
        else
            e->fields.bits[field / 64] &= ~(std::uint64_t{1} << (field % 64));
    }
    // The device's old fields, forgotten here (they are about to be taken over).
    FieldSet take(const char* topic, std::size_t len) {
        Entry* e = find(topic, len, false);
        if (e == nullptr) return {};
        FieldSet f = e->fields;
        e->fields = FieldSet{};
        return f;
    }

private:
    struct Entry {
        char topic[device_topic_max];
        unsigned char topic_len;  // 0: free
        FieldSet fields;
    };
    static constexpr unsigned size = 2 * old_devices_max;  // a power of two

    Entry* find(const char* topic, std::size_t len, bool make) {
        if (len == 0 || len > device_topic_max) return nullptr;
        std::uint32_t h = 2166136261u;
        for (std::size_t i = 0; i < len; ++i) h = (h ^ static_cast<unsigned char>(topic[i])) * 16777619u;
        for (unsigned at = h & (size - 1);; at = (at + 1) & (size - 1)) {
            Entry& e = entries_[at];
            if (e.topic_len == 0) {
                if (!make || count_ == old_devices_max) return nullptr;
                std::memcpy(e.topic, topic, len);
                e.topic_len = static_cast<unsigned char>(len);
                e.fields = FieldSet{};
                ++count_;
                return &e;
            }
            if (e.topic_len == len && std::memcmp(e.topic, topic, len) == 0) return &e;
        }
    }

    Entry entries_[size];
    unsigned count_ = 0;
};

}  // namespace ql
