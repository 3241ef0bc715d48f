// Records to an MQTT broker through libmosquitto, without a thread of its own:
// the connection's socket is waited on beside reception's, and every step
// (name lookup, connect, TLS, reads, writes) returns at once. Each record goes
// QoS 1 (retained for a kept device); the engine has at most 20 out at once,
// and one is delivered with its PUBACK. A lost connection returns every
// unacknowledged record; the next connection is a fresh client, so the
// library never resends copies of its own. Availability on qlfwd/status;
// with discovery, one config per kept device for Home Assistant, taking over
// the per-field configs of the first release.
#pragma once
#include <netdb.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "common/prefix.hpp"
#include "delivery/broker_address.hpp"
#include "delivery/devices.hpp"
#include "delivery/old_configs.hpp"
#include "delivery/transport.hpp"

struct mosquitto;
struct mosquitto_message;

namespace ql {

class MqttTransport final : public Transport {
public:
    static constexpr unsigned window = 20;
    static constexpr std::int64_t connect_limit_ms = 10000;
    static constexpr int keepalive_s = 30;
    // The broker hands over what it holds before this, or it is gone on without.
    static constexpr std::int64_t sync_limit_ms = 5000;
    static constexpr std::int64_t silent_look_ms = 3600 * 1000;
    static constexpr std::int64_t refused_line_ms = 60 * 1000;

    using WallClock = std::time_t (*)();
    explicit MqttTransport(WallClock wall_clock = nullptr);
    ~MqttTransport() override;

    // Takes the broker's address, the password and CA certificate from the
    // service manager's credentials directory, and the devices kept under
    // the prefix. False, said on standard error, when the mode cannot work
    // (a CA certificate that cannot be read).
    bool configure(const char* address, bool tls, bool discovery, const char* prefix);

    unsigned room(unsigned out) const override;
    Sent send(const char* text, std::size_t len, std::int64_t now_ms, DeliverySink& sink,
              std::uint32_t& tag) override;
    void next(int& fd, bool& write, std::int64_t& due_ms) const override;
    bool wants_attempt() const override { return state_ == State::idle; }
    bool acks_may_wait() const override;
    // A connect refused or unanswered costs the broker nothing, and one that
    // is back is found within 4 s; a refusal of the user keeps the 30 s pace.
    std::int64_t retry_most_ms() const override { return 4000; }
    void work(std::int64_t now_ms, bool may_try, short events, DeliverySink& sink) override;
    void finish(DeliverySink& sink) override;

    const DeviceTable& devices() const { return *devices_; }

    // From libmosquitto's callbacks.
    void on_connect(int rc);
    void on_publish(int mid);
    void on_disconnect(int rc);
    void on_message(const mosquitto_message* message);

private:
    enum class State { idle, resolving, connecting, connected };

    void begin_attempt(std::int64_t now);
    void look_up(std::int64_t now);
    void connect(const char* host, std::int64_t now);
    void lose(const char* reason);
    void drop();
    bool publish(const char* topic, const char* payload, std::size_t len, bool retain, int* mid = nullptr);
    void announce(Device& device);
    void announce_some(std::int64_t now);
    void retire_silent();
    void say_refused(std::int64_t now);
    void keep_devices(std::int64_t now, bool at_stop);
    std::time_t wall_now() const;

    BrokerAddress broker_;
    bool tls_ = false;
    bool discovery_ = false;
    WallClock wall_clock_;
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
    int offline_mid_ = -1;
    bool offline_acked_ = false;

    // Connected, and the broker has handed over what it holds (the configs
    // of the first release): records and announcements may go.
    bool ready_ = false;
    std::int64_t sync_until_ = 0;
    char sync_topic_[120] = {};
    char sync_token_[32] = {};
    unsigned connections_ = 0;
    unsigned announce_next_ = 0;  // devices before it are announced on this connection

    std::unique_ptr<DeviceTable> devices_;
    std::unique_ptr<OldConfigs> old_;
    char devices_path_[hidden_path_max + 1] = {};
    char devices_temp_[hidden_path_max + 1] = {};
    const char* devices_base_ = "";
    std::int64_t save_at_ = 0;       // the list changed: written from then on
    std::int64_t seen_save_at_ = 0;  // only when devices last sent changed: hourly
    bool save_failing_ = false;
    std::int64_t silent_at_ = 0;     // the next look for silent devices
    std::uint64_t refused_said_ = 0;
    std::int64_t refused_said_at_ = -refused_line_ms;

    char topic_[topic_max + 1] = {};
    std::string config_topic_, config_, file_;
};

}  // namespace ql
