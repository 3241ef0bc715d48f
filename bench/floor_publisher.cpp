// The floor for mode 3: a minimal libmosquitto QoS 1 publisher of the same
// messages qlfwd makes, built in memory beforehand (no socket to receive
// from, no queue file), COUNT of them at RATE per second to 127.0.0.1:1883;
// ends when every one is acknowledged. Usage: floor_publisher COUNT RATE
#include <mosquitto.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "forwarding/mqtt_record.hpp"
#include "forwarding/record.hpp"

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    long count = std::atol(argv[1]), rate = std::atol(argv[2]);
    std::vector<std::string> messages;
    std::time_t now = std::time(nullptr);
    std::tm local;
    localtime_r(&now, &local);
    const std::string text(112, 'x');
    for (long i = 1; i <= count; ++i) {
        char digits[24];
        std::snprintf(digits, sizeof digits, "%08ld", i);
        std::string datagram = text + digits;
        char line[ql::record_line_max + 1];
        std::size_t len = ql::record_line(line, "2026.12.08_14:03:59", "Qln042", 6, datagram.data(), datagram.size(), false);
        std::string buffer;
        ql::MqttMessage m;
        ql::mqtt_message(buffer, m, "Qln042", 6, local, now, datagram.data(), datagram.size(), line, len);
        messages.push_back(std::string(m.topic, m.topic_len) + "\n" + std::string(m.payload, m.payload_len));
    }
    mosquitto_lib_init();
    std::atomic<long> acked{0};
    mosquitto* mosq = mosquitto_new("floor-publisher", true, &acked);
    mosquitto_publish_callback_set(mosq, [](mosquitto*, void* obj, int) { ++*static_cast<std::atomic<long>*>(obj); });
    if (mosquitto_connect(mosq, "127.0.0.1", 1883, 30) != MOSQ_ERR_SUCCESS) return 1;
    auto start = std::chrono::steady_clock::now();
    long sent = 0;
    while (acked < count) {
        long due = rate > 0 ? static_cast<long>(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() * rate) + 1 : count;
        while (sent < count && sent < due && sent - acked < 20) {
            const std::string& m = messages[static_cast<std::size_t>(sent)];
            std::size_t lf = m.find('\n');
            std::string topic = m.substr(0, lf);
            mosquitto_publish(mosq, nullptr, topic.c_str(), static_cast<int>(m.size() - lf - 1), m.data() + lf + 1, 1, true);
            ++sent;
        }
        mosquitto_loop(mosq, 1, 1);
    }
    mosquitto_disconnect(mosq);
    mosquitto_destroy(mosq);
    return 0;
}
