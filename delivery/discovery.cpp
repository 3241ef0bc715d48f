#include "delivery/discovery.hpp"

#include <cstdio>
#include <cstring>

namespace ql {

namespace {

// From a string's opening quote, the index of its closing one (len when none).
std::size_t string_end(const char* p, std::size_t len, std::size_t open) {
    for (std::size_t i = open + 1; i < len; ++i) {
        if (p[i] == '\\')
            ++i;
        else if (p[i] == '"')
            return i;
    }
    return len;
}

bool starts(const char* p, std::size_t len, std::size_t at, const char* word) {
    std::size_t n = std::strlen(word);
    return at <= len && len - at >= n && std::memcmp(p + at, word, n) == 0;
}

}  // namespace

bool message_facts(const char* text, std::size_t len, MessageFacts& out) {
    const char* lf = static_cast<const char*>(std::memchr(text, '\n', len));
    if (lf == nullptr || !starts(text, len, 0, "qlfwd/")) return false;
    out.topic = text;
    out.topic_len = static_cast<std::size_t>(lf - text);
    out.payload = lf + 1;
    out.payload_len = len - out.topic_len - 1;
    const char* p = out.payload;
    std::size_t n = out.payload_len;
    // {"time":"…","device":"…","fields":["…",…],"record":"…"}
    if (!starts(p, n, 0, "{\"time\":\"")) return false;
    std::size_t at = string_end(p, n, 8) + 1;
    if (!starts(p, n, at, ",\"device\":\"")) return false;
    std::size_t open = at + 10;
    std::size_t close = string_end(p, n, open);
    if (close >= n) return false;
    out.device = p + open + 1;
    out.device_len = close - open - 1;
    at = close + 1;
    if (!starts(p, n, at, ",\"fields\":[")) return false;
    at += 11;
    out.fields = 0;
    while (at < n && p[at] == '"') {
        ++out.fields;
        at = string_end(p, n, at) + 1;
        if (at < n && p[at] == ',') ++at;
    }
    return starts(p, n, at, "],\"record\":\"");
}

void discovery_topic(std::string& out, const char* device_topic, std::size_t topic_len, unsigned field) {
    char number[8];
    std::snprintf(number, sizeof number, "%02u", field % 100);
    out.assign("homeassistant/sensor/qlfwd_");
    out.append(device_topic, topic_len);
    out.append("/f");
    out.append(number);
    out.append("/config");
}

void discovery_config(std::string& out, const char* device_topic, std::size_t topic_len, const char* device_json,
                      std::size_t device_len, unsigned field) {
    char number[8];
    std::snprintf(number, sizeof number, "%02u", field % 100);
    char index[12];
    std::snprintf(index, sizeof index, "%u", field);
    std::string id("qlfwd_");
    id.append(device_topic, topic_len);
    out.assign("{\"name\":\"f");
    out.append(number);
    out.append("\",\"unique_id\":\"").append(id).append("_f").append(number);
    out.append("\",\"state_topic\":\"qlfwd/").append(device_topic, topic_len);
    out.append("\",\"value_template\":\"{{ value_json.fields[").append(index).append("] }}\"");
    out.append(",\"availability_topic\":\"qlfwd/status\"");
    out.append(",\"device\":{\"identifiers\":[\"").append(id).append("\"],\"name\":\"");
    out.append(device_json, device_len);
    out.append("\",\"model\":\"Quenlink\"}}");
}

}  // namespace ql
