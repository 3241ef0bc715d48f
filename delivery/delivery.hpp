// The delivery of modes 1, 2 (command texts through nc) and 3 (records to an
// MQTT broker): one engine with the mode's transport, beside reception.
#pragma once
#include <cstddef>

#include "common/datagram.hpp"
#include "common/mqtt_message.hpp"
#include "common/side_work.hpp"

namespace ql {

// Opens the mode's queue under the settings' prefix and takes over what an
// earlier run left there, to be delivered first. Call once the endpoint is
// open. False (said on standard error) when the mode cannot begin.
bool delivery_open();

// Queues one command text (modes 1 and 2): queued, or failed (reported) when
// it cannot be kept.
Outcome delivery_enqueue(const char* text, std::size_t len);

// Queues one record for the broker (mode 3), with what its sending needs.
Outcome delivery_enqueue(const MqttMessage& message);

// What the receive loop runs beside reception.
SideWork delivery_work();

// At the stop: what is under way may settle, briefly; the rest stays queued.
void delivery_finish();

}  // namespace ql
