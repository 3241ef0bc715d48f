// A record as an MQTT message: its topic and its JSON payload, built from an
// accepted datagram and its record line. Pure: they only append to the given
// text, whose capacity is kept from call to call.
//
// The queue keeps one message as "<topic>" LF "<payload>"; neither part holds
// a line feed or a zero byte (the payload escapes every control byte).
#pragma once
#include <cstddef>
#include <ctime>
#include <string>

#include "forwarding/record.hpp"

namespace ql {

constexpr char topic_root[] = "qlfwd/";
constexpr std::size_t device_topic_max = device_name_max;
constexpr std::size_t iso_time_len = 25;  // 2026-12-08T14:03:59+01:00

// The device name with every byte but a letter, digit, "_" or "-" written "_".
// Returns the length.
std::size_t device_topic(char out[device_topic_max + 1], const char* name, std::size_t name_len);

// ISO 8601 local time with its offset from UTC.
void iso_time(char out[iso_time_len + 1], const std::tm& local);

// A JSON string's contents: '"', '\' and control bytes escaped, each byte of
// 0x80 or above read as Latin-1 and written as UTF-8.
void append_json_text(std::string& out, const char* bytes, std::size_t len);

// "qlfwd/<device topic>" LF {"time":…,"device":…,"fields":[…],"record":…};
// fields are the text split at every ",", the record line has no line feed.
void mqtt_message(std::string& out, const char* name, std::size_t name_len, const std::tm& local, const char* text,
                  std::size_t text_len, const char* line, std::size_t line_len);

}  // namespace ql
