#include "forwarding/mqtt_record.hpp"

#include <cstring>

namespace ql {

namespace {

bool topic_byte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

constexpr std::size_t plain_name_max = 14;  // "Qln" + octet + an 8-byte label

}  // namespace

std::size_t device_topic(char out[device_topic_max + 1], const char* name, std::size_t name_len) {
    if (name_len > plain_name_max) name_len = plain_name_max;
    bool plain = true;
    for (std::size_t i = 0; i < name_len; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        plain = plain && topic_byte(c);
        out[i] = topic_byte(c) ? static_cast<char>(c) : '_';
    }
    std::size_t n = name_len;
    if (!plain) {
        static const char hex[] = "0123456789abcdef";
        out[n++] = '_';
        out[n++] = 'x';
        for (std::size_t i = 6; i < name_len; ++i) {
            unsigned char c = static_cast<unsigned char>(name[i]);
            out[n++] = hex[c >> 4];
            out[n++] = hex[c & 15];
        }
        while (n < plain_name_max + 1) out[n++] = '_';
    }
    out[n] = '\0';
    return n;
}

FieldKind field_kind(const char* bytes, std::size_t len) {
    std::size_t from = 0, to = len;
    while (from < to && bytes[from] == ' ') ++from;
    while (to > from && bytes[to - 1] == ' ') --to;
    if (from == to) return FieldKind::empty;
    std::size_t i = from;
    if (bytes[i] == '-') ++i;
    auto digits = [&] {
        std::size_t start = i;
        while (i < to && bytes[i] >= '0' && bytes[i] <= '9') ++i;
        return i > start;
    };
    if (!digits()) return FieldKind::text;
    if (i < to && bytes[i] == '.') {
        ++i;
        if (!digits()) return FieldKind::text;
    }
    return i == to ? FieldKind::number : FieldKind::text;
}

// By hand, not by snprintf: it is made for every record.
void iso_time(char out[iso_time_len + 1], const std::tm& local) {
    long offset = local.tm_gmtoff / 60;
    char sign = offset < 0 ? '-' : '+';
    if (offset < 0) offset = -offset;
    int year = (local.tm_year + 1900) % 10000;
    if (year < 0) year = 0;
    char* p = two_digits(two_digits(out, year / 100), year % 100);
    *p++ = '-';
    p = two_digits(p, (local.tm_mon + 1) % 100);
    *p++ = '-';
    p = two_digits(p, local.tm_mday % 100);
    *p++ = 'T';
    p = two_digits(p, local.tm_hour % 100);
    *p++ = ':';
    p = two_digits(p, local.tm_min % 100);
    *p++ = ':';
    p = two_digits(p, local.tm_sec % 100);
    *p++ = sign;
    p = two_digits(p, static_cast<int>(offset / 60 % 100));
    *p++ = ':';
    p = two_digits(p, static_cast<int>(offset % 60));
    *p = '\0';
}

void append_json_text(std::string& out, const char* bytes, std::size_t len) {
    static const char hex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x80) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c < 0x20 || c == 0x7F) {
            const char escaped[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
            out.append(escaped, sizeof escaped);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
}

void mqtt_message(std::string& buffer, MqttMessage& m, const char* name, std::size_t name_len, const std::tm& local,
                  std::time_t arrived, const char* text, std::size_t text_len, const char* line,
                  std::size_t line_len) {
    buffer.clear();
    buffer.append(topic_root);
    char topic[device_topic_max + 1];
    std::size_t topic_len = device_topic(topic, name, name_len);
    buffer.append(topic, topic_len);
    std::size_t json_at = buffer.size();
    append_json_text(buffer, name, name_len);
    std::size_t json_len = buffer.size() - json_at;

    std::size_t payload_at = buffer.size();
    char time[iso_time_len + 1];
    iso_time(time, local);
    buffer.append("{\"time\":\"");
    buffer.append(time);
    buffer.append("\",\"device\":\"");
    append_json_text(buffer, name, name_len);
    buffer.append("\",\"fields\":[\"");
    m.fields = 0;
    m.texts = FieldSet{};
    for (std::size_t start = 0, i = 0;; ++i) {
        if (i < text_len && text[i] != ',') continue;
        append_json_text(buffer, text + start, i - start);
        if (m.fields < discovery_fields_max && field_kind(text + start, i - start) == FieldKind::text)
            m.texts.add(m.fields);
        ++m.fields;
        if (i >= text_len) break;
        buffer.append("\",\"");
        start = i + 1;
    }
    buffer.append("\"],\"record\":\"");
    append_json_text(buffer, line, line_len);
    buffer.append("\"}");

    const char* base = buffer.data();
    m.topic = base;
    m.topic_len = sizeof topic_root - 1 + topic_len;
    m.device_topic = base + sizeof topic_root - 1;
    m.device_topic_len = topic_len;
    m.device_json = base + json_at;
    m.device_json_len = json_len;
    m.payload = base + payload_at;
    m.payload_len = buffer.size() - payload_at;
    m.arrived = arrived;
    m.own_topic = true;
}

void mqtt_message(std::string& buffer, MqttMessage& message, const Record& r) {
    mqtt_message(buffer, message, r.name, r.name_len, r.local, r.arrived, r.text, r.text_len, r.line, r.line_len);
}

}  // namespace ql
