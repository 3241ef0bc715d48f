#include "delivery/discovery.hpp"

#include <cstring>

#include "common/version.hpp"

namespace ql {

namespace {

void append_number(std::string& out, unsigned n) {
    char digits[12];
    int k = 0;
    do digits[k++] = static_cast<char>('0' + n % 10);
    while ((n /= 10) != 0);
    while (k > 0) out.push_back(digits[--k]);
}

void append_field(std::string& out, unsigned field) {
    out.push_back('f');
    out.push_back(static_cast<char>('0' + field / 10 % 10));
    out.push_back(static_cast<char>('0' + field % 10));
}

bool topic_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

constexpr char old_start[] = "homeassistant/sensor/qlfwd_";

}  // namespace

void device_config_topic(std::string& out, const char* device_topic, std::size_t topic_len) {
    out.assign("homeassistant/device/qlfwd_");
    out.append(device_topic, topic_len);
    out.append("/config");
}

void device_config(std::string& out, const DeviceFacts& d) {
    out.assign("{\"dev\":{\"identifiers\":[\"qlfwd_");
    out.append(d.topic, d.topic_len);
    out.append("\"],\"name\":\"");
    out.append(d.json, d.json_len);
    out.append("\",\"model\":\"Quenlink\"},\"o\":{\"name\":\"qlfwd\",\"sw\":\"");
    out.append(version_number);
    out.append("\"},\"cmps\":{");
    unsigned fields = d.fields < discovery_fields_max ? d.fields : discovery_fields_max;
    for (unsigned f = 0; f < fields; ++f) {
        if (f > 0) out.push_back(',');
        out.push_back('"');
        append_field(out, f);
        out.append("\":{\"p\":\"sensor\",\"name\":\"");
        append_field(out, f);
        out.append("\",\"unique_id\":\"qlfwd_");
        out.append(d.topic, d.topic_len);
        out.push_back('_');
        append_field(out, f);
        // Never a template warning: a field the record lacks is None, which
        // Home Assistant shows as unknown; no state past its 255 characters.
        out.append("\",\"value_template\":\"{{ (value_json.fields[");
        append_number(out, f);
        out.append("] | trim)[:255] if value_json.fields | length > ");
        append_number(out, f);
        out.append(" else None }}\"");
        if (!d.texts.has(f)) out.append(",\"state_class\":\"measurement\"");
        out.push_back('}');
    }
    out.append("},\"state_topic\":\"qlfwd/");
    out.append(d.topic, d.topic_len);
    out.append("\",\"availability_topic\":\"qlfwd/status\",\"qos\":1}");
}

void old_config_topic(std::string& out, const char* device_topic, std::size_t topic_len, unsigned field) {
    out.assign(old_start);
    out.append(device_topic, topic_len);
    out.push_back('/');
    append_field(out, field);
    out.append("/config");
}

bool parse_old_config_topic(const char* topic, std::size_t len, const char*& device_topic, std::size_t& topic_len,
                            unsigned& field) {
    constexpr std::size_t start = sizeof old_start - 1;
    constexpr std::size_t tail = sizeof "/f00/config" - 1;
    if (len <= start + tail || std::memcmp(topic, old_start, start) != 0) return false;
    const char* end = topic + len - tail;
    if (std::memcmp(end, "/f", 2) != 0 || std::memcmp(end + 4, "/config", 7) != 0) return false;
    if (end[2] < '0' || end[2] > '9' || end[3] < '0' || end[3] > '9') return false;
    topic_len = static_cast<std::size_t>(end - (topic + start));
    if (topic_len > device_topic_max) return false;
    for (std::size_t i = 0; i < topic_len; ++i)
        if (!topic_byte(topic[start + i])) return false;
    device_topic = topic + start;
    field = static_cast<unsigned>((end[2] - '0') * 10 + (end[3] - '0'));
    return true;
}

}  // namespace ql
