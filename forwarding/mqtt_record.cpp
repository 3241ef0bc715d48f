#include "forwarding/mqtt_record.hpp"

#include <cstdio>
#include <cstring>

namespace ql {

std::size_t device_topic(char out[device_topic_max + 1], const char* name, std::size_t name_len) {
    std::size_t n = 0;
    for (; n < name_len && n < device_topic_max; ++n) {
        unsigned char c = static_cast<unsigned char>(name[n]);
        bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
        out[n] = kept ? static_cast<char>(c) : '_';
    }
    out[n] = '\0';
    return n;
}

void iso_time(char out[iso_time_len + 1], const std::tm& local) {
    long offset = local.tm_gmtoff / 60;
    char sign = offset < 0 ? '-' : '+';
    if (offset < 0) offset = -offset;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", (local.tm_year + 1900) % 10000,
                  (local.tm_mon + 1) % 100, local.tm_mday % 100, local.tm_hour % 100, local.tm_min % 100,
                  local.tm_sec % 100, sign, offset / 60 % 100, offset % 60);
    std::memcpy(out, text, iso_time_len);
    out[iso_time_len] = '\0';
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

void mqtt_message(std::string& out, const char* name, std::size_t name_len, const std::tm& local, const char* text,
                  std::size_t text_len, const char* line, std::size_t line_len) {
    out.clear();
    char topic[device_topic_max + 1];
    out.append(topic_root);
    out.append(topic, device_topic(topic, name, name_len));
    char time[iso_time_len + 1];
    iso_time(time, local);
    out.append("\n{\"time\":\"");
    out.append(time);
    out.append("\",\"device\":\"");
    append_json_text(out, name, name_len);
    out.append("\",\"fields\":[\"");
    for (std::size_t i = 0; i < text_len; ++i) {
        if (text[i] == ',')
            out.append("\",\"");
        else
            append_json_text(out, text + i, 1);
    }
    out.append("\"],\"record\":\"");
    append_json_text(out, line, line_len);
    out.append("\"}");
}

}  // namespace ql
