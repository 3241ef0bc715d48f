#include "delivery/delivery.hpp"

#include <string>

#include "common/clock.hpp"
#include "common/settings.hpp"
#include "delivery/engine.hpp"
#include "delivery/mqtt_entry.hpp"
#include "delivery/mqtt_transport.hpp"
#include "delivery/nc_transport.hpp"

namespace ql {

namespace {

Transport* transport = nullptr;
DeliveryEngine* engine = nullptr;
std::string entry;  // a record as the queue keeps it; its capacity stays

void next(int& fd, bool& write, std::int64_t& due) { engine->next(fd, write, due); }
void work(std::int64_t now, short events) { engine->work(now, events); }

}  // namespace

bool delivery_open() {
    // Made once, for the process's life: no allocation on a datagram's way.
    if (settings.telnet == 3) {
        auto* mqtt = new MqttTransport();
        if (!mqtt->configure(settings.broker, settings.broker_tls != 0, settings.discovery != 0, settings.path)) {
            delete mqtt;
            return false;
        }
        transport = mqtt;
        engine = new DeliveryEngine(*transport, monotonic_ms, {"qlfwd-mqtt-queue", "Datensaetze", QueueKind::records});
        entry.reserve(32 * 1024);
    } else {
        transport = new NcTransport(settings.telip);
        engine = new DeliveryEngine(*transport, monotonic_ms, {"qlfwd-queue", "Befehlstexte", QueueKind::commands});
    }
    engine->open(settings.path);
    return true;
}

Outcome delivery_enqueue(const char* text, std::size_t len) { return engine->enqueue(text, len); }

Outcome delivery_enqueue(const MqttMessage& message) {
    encode_mqtt_entry(entry, message);
    Outcome outcome = engine->enqueue(entry.data(), entry.size());
    // Publishing costs no wait (the socket takes it or keeps it for the next
    // wake): sent now, it saves the loop a wake per record.
    if (outcome == Outcome::queued) engine->send_now(monotonic_ms());
    return outcome;
}

SideWork delivery_work() { return SideWork{next, work}; }

void delivery_finish() { engine->finish(); }

}  // namespace ql
