// What a record becomes in modes 0 to 2: the record file, or the command text
// with its command file. Where a text goes from here (the delivery queue) is
// the caller's to wire; the MQTT message of mode 3 is mqtt_message's.
#pragma once
#include <string>

#include "common/datagram.hpp"
#include "forwarding/record.hpp"

namespace ql {

// Mode 0: the record line into the device's record file.
Outcome record_file(const Record& record);

// Modes 1 and 2: the command text of the record into commands, and the
// command file written with it. False (said under -d) when the file could
// not be written: then nothing is to be sent.
bool command_file(const Record& record, int mode, std::string& commands);

}  // namespace ql
