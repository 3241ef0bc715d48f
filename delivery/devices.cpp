#include "delivery/devices.hpp"

#include <cstring>

namespace ql {

namespace {

std::uint64_t hash_of(const char* bytes, std::size_t len) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i < len; ++i) h = (h ^ static_cast<unsigned char>(bytes[i])) * 1099511628211ull;
    return h == 0 ? 1 : h;  // 0 marks a free candidate
}

unsigned clamp_fields(unsigned fields) { return fields < discovery_fields_max ? fields : discovery_fields_max; }

constexpr char file_start[] = "qlfwd mqtt devices 1\n";

bool topic_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

}  // namespace

DeviceTable::DeviceTable() { reindex(); }

void DeviceTable::reindex() {
    for (auto& slot : index_) slot = -1;
    for (unsigned i = 0; i < count_; ++i) {
        unsigned at = static_cast<unsigned>(hash_of(devices_[i].topic, devices_[i].topic_len)) & (index_size - 1);
        while (index_[at] >= 0) at = (at + 1) & (index_size - 1);
        index_[at] = static_cast<std::int16_t>(i);
    }
}

Device* DeviceTable::find(const char* topic, std::size_t len) {
    unsigned at = static_cast<unsigned>(hash_of(topic, len)) & (index_size - 1);
    for (; index_[at] >= 0; at = (at + 1) & (index_size - 1)) {
        Device& d = devices_[index_[at]];
        if (d.topic_len == len && std::memcmp(d.topic, topic, len) == 0) return &d;
    }
    return nullptr;
}

Device* DeviceTable::add(const char* topic, std::size_t topic_len, const char* json, std::size_t json_len) {
    if (count_ == devices_max || topic_len > device_topic_max || json_len > device_json_max) return nullptr;
    Device& d = devices_[count_];
    d = Device{};
    std::memcpy(d.topic, topic, topic_len);
    d.topic_len = static_cast<unsigned char>(topic_len);
    std::memcpy(d.json, json, json_len);
    d.json_len = static_cast<unsigned char>(json_len);
    unsigned at = static_cast<unsigned>(hash_of(topic, topic_len)) & (index_size - 1);
    while (index_[at] >= 0) at = (at + 1) & (index_size - 1);
    index_[at] = static_cast<std::int16_t>(count_++);
    changed_ = true;
    return &d;
}

DeviceTable::Candidate* DeviceTable::candidate(std::uint64_t hash, bool make) {
    Candidate* set = candidates_ + (hash % sets) * ways;
    Candidate* oldest = set;
    for (unsigned i = 0; i < ways; ++i) {
        if (set[i].hash == hash) return &set[i];
        if (set[i].age < oldest->age) oldest = &set[i];
    }
    if (!make) return nullptr;
    // The one heard of longest ago makes room: a flood of labels only pushes out its own.
    *oldest = Candidate{hash, ++clock_, 0, {}, false};
    return oldest;
}

RecordPlan DeviceTable::plan(const MqttMessage& m, std::time_t now) {
    RecordPlan plan;
    // Records an earlier release queued under a name others may share are kept nowhere.
    if (!m.own_topic) return plan;
    std::time_t when = m.arrived > 0 ? m.arrived : now;
    unsigned fields = clamp_fields(m.fields);
    Device* d = find(m.device_topic, m.device_topic_len);
    if (d == nullptr) {
        std::uint64_t hash = hash_of(m.device_topic, m.device_topic_len);
        Candidate* c = candidate(hash, false);
        if (c == nullptr) {
            c = candidate(hash, true);
            c->fields = fields;
            c->texts = m.texts;
            return plan;
        }
        if (c->refused) return plan;
        if (count_ == devices_max) {
            c->refused = true;
            ++refused_;
            plan.refused = true;
            return plan;
        }
        d = add(m.device_topic, m.device_topic_len, m.device_json, m.device_json_len);
        if (d == nullptr) return plan;
        d->fields = c->fields;
        d->texts = c->texts;
        d->seen = true;
        *c = Candidate{};
    }
    plan.retain = true;
    if (d->last_seen < when) {
        d->last_seen = when;
        seen_changed_ = true;
    }
    d->retiring = false;
    bool change = false;
    if (!d->seen) {
        // Its first record since the start: what it was announced as before
        // counts no more.
        d->seen = true;
        if (!(d->texts == m.texts)) {
            d->texts = m.texts;
            change = true;
        }
    } else if (d->texts.adds(m.texts)) {
        // Text where a number was: it stays text until the next start.
        d->texts |= m.texts;
        change = true;
    }
    if (fields > d->fields) {
        d->fields = fields;
        change = true;
    }
    if (m.fields > discovery_fields_max && !d->more_said) {
        d->more_said = true;
        plan.more_fields = d;
    }
    if (change) changed_ = true;
    if (change || !d->announced) plan.announce = d;
    d->announced = true;
    return plan;
}

void DeviceTable::forget_announcements() {
    for (unsigned i = 0; i < count_; ++i) devices_[i].announced = false;
}

unsigned DeviceTable::mark_silent(std::time_t now) {
    unsigned n = 0;
    for (unsigned i = 0; i < count_; ++i) {
        Device& d = devices_[i];
        if (!d.retiring && now - d.last_seen >= retire_after_s) d.retiring = true;
        if (d.retiring) ++n;
    }
    return n;
}

void DeviceTable::remove(Device* d) {
    unsigned i = static_cast<unsigned>(d - devices_);
    if (i >= count_) return;
    devices_[i] = devices_[--count_];
    reindex();
    changed_ = true;
}

void DeviceTable::write(std::string& out) const {
    static const char hex[] = "0123456789abcdef";
    out.assign(file_start);
    for (unsigned i = 0; i < count_; ++i) {
        const Device& d = devices_[i];
        out.append(d.topic, d.topic_len);
        out.push_back(' ');
        out.append(std::to_string(static_cast<long long>(d.last_seen)));
        out.push_back(' ');
        out.append(std::to_string(d.fields));
        out.push_back(' ');
        for (int word = 1; word >= 0; --word)
            for (int shift = 60; shift >= 0; shift -= 4) out.push_back(hex[d.texts.bits[word] >> shift & 15]);
        out.push_back(' ');
        out.push_back('"');
        out.append(d.json, d.json_len);
        out.append("\"\n");
    }
}

namespace {

struct Line {
    const char* topic;
    std::size_t topic_len;
    long long seen;
    unsigned fields;
    FieldSet texts;
    const char* json;
    std::size_t json_len;
};

// Up to the next blank: digits only, at most max of them.
bool take_digits(const char*& p, const char* stop, std::size_t max, long long& value) {
    value = 0;
    std::size_t n = 0;
    for (; p + n < stop && p[n] != ' '; ++n) {
        if (n == max || p[n] < '0' || p[n] > '9') return false;
        value = value * 10 + (p[n] - '0');
    }
    if (n == 0 || p + n >= stop) return false;
    p += n + 1;
    return true;
}

bool parse_line(const char* p, const char* stop, Line& l) {
    std::size_t n = 0;
    while (p + n < stop && p[n] != ' ') {
        if (n == device_topic_max || !topic_byte(p[n])) return false;
        ++n;
    }
    if (n == 0 || p + n >= stop) return false;
    l.topic = p;
    l.topic_len = n;
    p += n + 1;
    long long fields = 0;
    if (!take_digits(p, stop, 19, l.seen) || !take_digits(p, stop, 3, fields) || fields > discovery_fields_max)
        return false;
    l.fields = static_cast<unsigned>(fields);
    if (stop - p <= 32 || p[32] != ' ') return false;
    for (int word = 1; word >= 0; --word) {
        std::uint64_t bits = 0;
        for (int i = 0; i < 16; ++i, ++p) {
            int v = *p >= '0' && *p <= '9' ? *p - '0' : *p >= 'a' && *p <= 'f' ? *p - 'a' + 10 : -1;
            if (v < 0) return false;
            bits = bits << 4 | static_cast<unsigned>(v);
        }
        l.texts.bits[word] = bits;
    }
    ++p;
    // A JSON string, as its quotes close it.
    if (stop - p < 3 || *p != '"' || stop[-1] != '"') return false;
    l.json = p + 1;
    l.json_len = static_cast<std::size_t>(stop - p) - 2;
    if (l.json_len > device_json_max) return false;
    for (std::size_t i = 0; i < l.json_len; ++i) {
        unsigned char c = static_cast<unsigned char>(l.json[i]);
        if (c < 0x20 || c == '"') return false;
        if (c == '\\' && ++i == l.json_len) return false;
    }
    return true;
}

}  // namespace

bool DeviceTable::read(const char* text, std::size_t len, unsigned& bad_line) {
    bad_line = 1;
    constexpr std::size_t start_len = sizeof file_start - 1;
    if (len < start_len || std::memcmp(text, file_start, start_len) != 0) return false;
    count_ = 0;
    reindex();
    unsigned line_no = 1;
    for (std::size_t at = start_len; at < len;) {
        bad_line = ++line_no;
        const char* end = static_cast<const char*>(std::memchr(text + at, '\n', len - at));
        Line l{};
        Device* d = nullptr;
        if (end != nullptr && parse_line(text + at, end, l) && find(l.topic, l.topic_len) == nullptr)
            d = add(l.topic, l.topic_len, l.json, l.json_len);
        if (d == nullptr) {
            // Wrong anywhere: nothing of it is taken.
            count_ = 0;
            reindex();
            return false;
        }
        d->last_seen = static_cast<std::time_t>(l.seen);
        d->fields = l.fields;
        d->texts = l.texts;
        at = static_cast<std::size_t>(end - text) + 1;
    }
    changed_ = seen_changed_ = false;
    return true;
}

}  // namespace ql
