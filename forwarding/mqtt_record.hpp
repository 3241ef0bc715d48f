// A record as an MQTT message: its topic, its JSON payload, and what Home
// Assistant's discovery needs of it (device topic, field count, which fields
// are numbers). Pure: they only write into the buffers they are given.
#pragma once
#include <cstddef>
#include <ctime>
#include <string>

#include "common/mqtt_message.hpp"
#include "forwarding/record.hpp"

namespace ql {

constexpr std::size_t iso_time_len = 25;  // 2026-12-08T14:03:59+01:00

// The device's topic, one to one. A name of letters, digits, "_" and "-" is
// its own topic. Any other name gets its cleaned form (every other byte "_"),
// "_x" and its label's bytes in hexadecimal, padded with "_" to 15 characters:
// longer than any plain name, and no two names share one. Returns the length.
std::size_t device_topic(char out[device_topic_max + 1], const char* name, std::size_t name_len);

// A number is an optional "-", digits, and optionally "." and digits; blanks
// at either end do not count (long datagrams are padded with them).
enum class FieldKind { empty, number, text };
FieldKind field_kind(const char* bytes, std::size_t len);

// ISO 8601 local time with its offset from UTC.
void iso_time(char out[iso_time_len + 1], const std::tm& local);

// A JSON string's contents: '"', '\' and control bytes escaped, each byte of
// 0x80 or above read as Latin-1 and written as UTF-8.
void append_json_text(std::string& out, const char* bytes, std::size_t len);

// Topic "qlfwd/<device topic>", payload
// {"time":…,"device":…,"fields":[…],"record":…} (fields: the text split at
// every ","; the record line without a line feed), built into buffer, which
// message then points into until the buffer changes.
void mqtt_message(std::string& buffer, MqttMessage& message, const char* name, std::size_t name_len,
                  const std::tm& local, std::time_t arrived, const char* text, std::size_t text_len, const char* line,
                  std::size_t line_len);

void mqtt_message(std::string& buffer, MqttMessage& message, const Record& record);

}  // namespace ql
