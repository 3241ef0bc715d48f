// Records to an MQTT broker through libmosquitto, without a thread of its own:
// the connection's socket is waited on beside reception's, and every step
// (name lookup, connect, TLS, reads, writes) returns at once. Each record goes
// QoS 1, retained; at most 20 are out at once, and one is delivered with its
// PUBACK. A lost connection returns every unacknowledged record; the next
// connection is a fresh client, so the library never resends copies of its own.
// Availability on qlfwd/status; with discovery, Home Assistant's configs.
#pragma once
#include <netdb.h>

#include <cstdint>
#include <string>

#include "delivery/broker_address.hpp"
#include "delivery/discovery.hpp"
#include "delivery/transport.hpp"
#include "forwarding/mqtt_record.hpp"

struct mosquitto;
struct mosquitto_message;

namespace ql {

class MqttTransport final : public Transport {
public:
    static constexpr unsigned window = 20;
    static constexpr std::int64_t connect_limit_ms = 10000;
    static constexpr int keepalive_s = 30;

    MqttTransport() = default;
    ~MqttTransport() override;

    // Takes the broker's address, and the password and CA certificate from the
    // service manager's credentials directory. False, said on standard error,
    // when the mode cannot work (a CA certificate that cannot be read).
    bool configure(const char* address, bool tls, bool discovery);

    unsigned room() const override;
    bool send(const char* text, std::size_t len, std::int64_t now_ms, DeliverySink& sink) override;
    void next(int& fd, bool& write, std::int64_t& due_ms) const override;
    bool wants_attempt() const override { return state_ == State::idle; }
    void work(std::int64_t now_ms, bool may_try, short events, DeliverySink& sink) override;
    void finish(DeliverySink& sink) override;

    // From libmosquitto's callbacks.
    void on_connect(int rc);
    void on_publish(int mid);
    void on_disconnect(int rc);
    void on_message(const mosquitto_message* message);

private:
    enum class State { idle, resolving, connecting, connected };
    enum class Slot : unsigned char { waiting, acked, bad };
    struct Out {
        int mid;
        Slot slot;
    };
    struct Device {
        char topic[device_topic_max + 1];  // after "qlfwd/"
        std::size_t topic_len;
        char name[6 * device_name_max + 1];  // JSON-escaped
        std::size_t name_len;
        unsigned fields;     // the most seen
        unsigned announced;  // configs sent on this connection
    };
    static constexpr unsigned devices_max = 1024;

    void begin_attempt(std::int64_t now);
    void look_up(std::int64_t now);
    void connect(const char* host, std::int64_t now);
    void lose(const char* reason);
    void drop();
    void settle();
    void announce(const MessageFacts& facts);
    void announce_all();
    void publish_config(const Device& device, unsigned field);

    BrokerAddress broker_;
    bool tls_ = false;
    bool discovery_ = false;
    char client_id_[80] = {};
    char password_[256] = {};
    bool has_password_ = false;
    std::string ca_file_;

    State state_ = State::idle;
    mosquitto* mosq_ = nullptr;
    DeliverySink* sink_ = nullptr;  // while a call from the engine is under way
    gaicb request_{};
    addrinfo hints_{};
    std::int64_t look_at_ = 0;     // resolving: when to look again
    std::int64_t deadline_ = 0;    // connecting: when it is given up
    std::int64_t misc_at_ = 0;     // connected: keepalive's next look
    bool lost_ = false;
    bool refused_ = false;
    char reason_[160] = {};

    Out out_[window] = {};
    unsigned out_first_ = 0, out_count_ = 0;
    int offline_mid_ = -1;
    bool offline_acked_ = false;

    Device devices_[devices_max];
    unsigned devices_count_ = 0;
    char topic_[device_topic_max + 8] = {};
    std::string config_topic_, config_;
};

}  // namespace ql
