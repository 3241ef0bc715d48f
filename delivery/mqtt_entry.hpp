// A record as the MQTT queue keeps it: what the transport needs to send it
// and to announce its device, so that nothing is read back from its JSON.
//
//   "M1 " <arrival> " " <fields> " " <texts, 32 hex digits> " " <topic> " " <device JSON> LF <payload>
//
// The first release queued "<topic>" LF "<payload>" alone; such entries are
// still read (their facts taken from the payload). Neither form holds a zero
// byte. Pure.
#pragma once
#include <cstddef>
#include <string>

#include "common/mqtt_message.hpp"

namespace ql {

void encode_mqtt_entry(std::string& out, const MqttMessage& message);

// False when the text is neither form. The message points into text.
bool decode_mqtt_entry(const char* text, std::size_t len, MqttMessage& message);

}  // namespace ql
