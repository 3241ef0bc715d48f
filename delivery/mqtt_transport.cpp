#include "delivery/mqtt_transport.hpp"

#include <arpa/inet.h>
#include <mosquitto.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/clock.hpp"
#include "common/diag.hpp"

namespace ql {

namespace {

constexpr char status_topic[] = "qlfwd/status";
constexpr char birth_topic[] = "homeassistant/status";
constexpr std::int64_t look_interval_ms = 20;  // a name lookup under way
constexpr std::int64_t misc_interval_ms = 1000;

MqttTransport* self(void* obj) { return static_cast<MqttTransport*>(obj); }
void connect_cb(mosquitto*, void* obj, int rc) { self(obj)->on_connect(rc); }
void publish_cb(mosquitto*, void* obj, int mid) { self(obj)->on_publish(mid); }
void disconnect_cb(mosquitto*, void* obj, int rc) { self(obj)->on_disconnect(rc); }
void message_cb(mosquitto*, void* obj, const mosquitto_message* m) { self(obj)->on_message(m); }

// The first line of a file, without its line end; false when there is none.
bool first_line(const char* path, char* out, std::size_t cap) {
    FILE* f = std::fopen(path, "re");
    if (f == nullptr) return false;
    bool got = std::fgets(out, static_cast<int>(cap), f) != nullptr;
    std::fclose(f);
    if (!got) return false;
    out[std::strcspn(out, "\r\n")] = '\0';
    return true;
}

const char* error_text(int rc, int error) {
    return rc == MOSQ_ERR_ERRNO && error != 0 ? std::strerror(error) : mosquitto_strerror(rc);
}

}  // namespace

MqttTransport::~MqttTransport() {
    if (mosq_ != nullptr) mosquitto_destroy(mosq_);
}

bool MqttTransport::configure(const char* address, bool tls, bool discovery) {
    mosquitto_lib_init();
    (void)parse_broker_address(address, tls, broker_);
    tls_ = tls;
    discovery_ = discovery;
    char host[64] = {};
    (void)::gethostname(host, sizeof host - 1);
    std::snprintf(client_id_, sizeof client_id_, "qlfwd-%s", host);
    config_topic_.reserve(128);
    config_.reserve(512);
    // Set by the service manager for LoadCredential=; never taken from the command line.
    const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
    if (credentials == nullptr || *credentials == '\0') return true;
    std::string dir(credentials);
    has_password_ = first_line((dir + "/mqtt-password").c_str(), password_, sizeof password_);
    std::string ca = dir + "/mqtt-ca";
    if (tls && ::access(ca.c_str(), F_OK) == 0) {
        if (::access(ca.c_str(), R_OK) != 0) {
            std::fprintf(stderr, "qlfwd: CA-Zertifikat %s kann nicht gelesen werden: %s\n", ca.c_str(),
                         std::strerror(errno));
            return false;
        }
        ca_file_ = ca;
    }
    return true;
}

unsigned MqttTransport::room() const {
    return state_ == State::connected && !lost_ ? window - out_count_ : 0;
}

void MqttTransport::next(int& fd, bool& write, std::int64_t& due_ms) const {
    fd = -1;
    write = false;
    due_ms = -1;
    switch (state_) {
        case State::idle: return;
        case State::resolving: due_ms = look_at_; return;
        case State::connecting: due_ms = deadline_; break;
        case State::connected: due_ms = misc_at_; break;
    }
    if (lost_) due_ms = 0;
    fd = mosquitto_socket(mosq_);
    write = mosquitto_want_write(mosq_);
}

void MqttTransport::begin_attempt(std::int64_t now) {
    lost_ = refused_ = false;
    in_addr numeric{};
    if (::inet_pton(AF_INET, broker_.host, &numeric) == 1) return connect(broker_.host, now);
    // The lookup goes beside the loop, so a slow name server never holds reception.
    request_ = gaicb{};
    hints_ = addrinfo{};
    hints_.ai_family = AF_INET;
    hints_.ai_socktype = SOCK_STREAM;
    request_.ar_name = broker_.host;
    request_.ar_request = &hints_;
    gaicb* list[1] = {&request_};
    int rc = ::getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr);
    if (rc != 0) {
        lose(gai_strerror(rc));
        return drop();
    }
    state_ = State::resolving;
    look_at_ = now + look_interval_ms;
}

void MqttTransport::look_up(std::int64_t now) {
    int rc = ::gai_error(&request_);
    if (rc == EAI_INPROGRESS) {
        look_at_ = now + look_interval_ms;
        return;
    }
    if (rc != 0) {
        lose(gai_strerror(rc));
        return drop();
    }
    char numeric[INET_ADDRSTRLEN] = {};
    const auto* found = reinterpret_cast<const sockaddr_in*>(request_.ar_result->ai_addr);
    ::inet_ntop(AF_INET, &found->sin_addr, numeric, sizeof numeric);
    ::freeaddrinfo(request_.ar_result);
    request_.ar_result = nullptr;
    // TLS checks the certificate against the name, so the library is given
    // the name (and looks it up once more); plain connections take the address.
    connect(tls_ ? broker_.host : numeric, now);
}

void MqttTransport::connect(const char* host, std::int64_t now) {
    mosq_ = mosquitto_new(client_id_, true, this);
    if (mosq_ == nullptr) {
        lose(std::strerror(errno));
        return drop();
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_max_inflight_messages_set(mosq_, window);
    mosquitto_will_set(mosq_, status_topic, 7, "offline", 1, true);
    if (broker_.user[0] != '\0') mosquitto_username_pw_set(mosq_, broker_.user, has_password_ ? password_ : nullptr);
    if (tls_) {
        // The server's certificate and name are always checked.
        const char* ca = ca_file_.empty() ? nullptr : ca_file_.c_str();
        int rc = mosquitto_tls_set(mosq_, ca, ca != nullptr ? nullptr : "/etc/ssl/certs", nullptr, nullptr, nullptr);
        if (ca == nullptr) mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        if (rc != MOSQ_ERR_SUCCESS) {
            lose(mosquitto_strerror(rc));
            return drop();
        }
    }
    mosquitto_connect_callback_set(mosq_, connect_cb);
    mosquitto_publish_callback_set(mosq_, publish_cb);
    mosquitto_disconnect_callback_set(mosq_, disconnect_cb);
    mosquitto_message_callback_set(mosq_, message_cb);
    errno = 0;
    int rc = mosquitto_connect_async(mosq_, host, static_cast<int>(broker_.port), keepalive_s);
    if (rc != MOSQ_ERR_SUCCESS) {
        lose(error_text(rc, errno));
        return drop();
    }
    state_ = State::connecting;
    deadline_ = now + connect_limit_ms;
}

void MqttTransport::lose(const char* reason) {
    if (lost_) return;
    lost_ = true;
    std::snprintf(reason_, sizeof reason_, "%s", reason);
}

// Ends the connection; every record out goes back, to be sent again in order.
void MqttTransport::drop() {
    if (mosq_ != nullptr) mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    state_ = State::idle;
    out_count_ = 0;
    offline_mid_ = -1;
    sink_->returned();
    if (refused_) {
        sink_->attempt_failed(true);
    } else {
        diag("Fehler: MQTT %s:%u nicht erreichbar (%s), %llu Datensaetze warten\n", broker_.host, broker_.port,
             reason_, sink_->waiting());
        sink_->attempt_failed(false);
    }
    lost_ = refused_ = false;
}

void MqttTransport::on_connect(int rc) {
    if (rc != 0) {
        // User, password or authorisation: trying again soon cannot mend it.
        diag("Fehler: MQTT %s:%u verweigert: %s\n", broker_.host, broker_.port, mosquitto_connack_string(rc));
        refused_ = true;
        lose(mosquitto_connack_string(rc));
        return;
    }
    state_ = State::connected;
    sink_->attempt_succeeded();
    diag("> MQTT %s:%u verbunden, %llu Datensaetze warten\n", broker_.host, broker_.port, sink_->waiting());
    mosquitto_publish(mosq_, nullptr, status_topic, 6, "online", 1, true);
    if (!discovery_) return;
    mosquitto_subscribe(mosq_, nullptr, birth_topic, 1);
    announce_all();
}

void MqttTransport::on_publish(int mid) {
    if (mid == offline_mid_) offline_acked_ = true;
    for (unsigned i = 0; i < out_count_; ++i) {
        Out& out = out_[(out_first_ + i) % window];
        if (out.slot == Slot::waiting && out.mid == mid) {
            out.slot = Slot::acked;
            break;
        }
    }
    settle();
}

void MqttTransport::on_disconnect(int rc) { lose(rc == 0 ? "getrennt" : mosquitto_strerror(rc)); }

void MqttTransport::on_message(const mosquitto_message* message) {
    // The home-automation server's birth: it has forgotten every config.
    if (message->topic != nullptr && std::strcmp(message->topic, birth_topic) == 0 && message->payloadlen == 6 &&
        std::memcmp(message->payload, "online", 6) == 0)
        announce_all();
}

// Acknowledgements settle records oldest first, as the queue keeps them.
void MqttTransport::settle() {
    while (out_count_ > 0 && out_[out_first_].slot != Slot::waiting) {
        if (out_[out_first_].slot == Slot::acked)
            sink_->delivered();
        else
            sink_->given_up();
        out_first_ = (out_first_ + 1) % window;
        --out_count_;
    }
}

bool MqttTransport::send(const char* text, std::size_t len, std::int64_t, DeliverySink& sink) {
    sink_ = &sink;
    Out& out = out_[(out_first_ + out_count_) % window];
    ++out_count_;
    out = Out{-1, Slot::waiting};
    MessageFacts facts;
    if (!message_facts(text, len, facts) || facts.topic_len >= sizeof topic_) {
        out.slot = Slot::bad;
        settle();
        return true;
    }
    if (discovery_) announce(facts);
    std::memcpy(topic_, facts.topic, facts.topic_len);
    topic_[facts.topic_len] = '\0';
    errno = 0;
    int rc = mosquitto_publish(mosq_, &out.mid, topic_, static_cast<int>(facts.payload_len), facts.payload, 1, true);
    if (rc != MOSQ_ERR_SUCCESS) lose(error_text(rc, errno));
    if (!lost_) return true;
    drop();
    return false;
}

void MqttTransport::work(std::int64_t now, bool may_try, short events, DeliverySink& sink) {
    sink_ = &sink;
    if (state_ == State::idle && may_try) begin_attempt(now);
    if (state_ == State::resolving) look_up(now);
    if (state_ != State::connecting && state_ != State::connected) return;
    errno = 0;
    int rc = MOSQ_ERR_SUCCESS;
    // Read only what poll found there: a read that finds nothing is a system call for nothing.
    if ((events & (POLLIN | POLLERR | POLLHUP)) != 0) rc = mosquitto_loop_read(mosq_, 1);
    if (rc == MOSQ_ERR_SUCCESS && mosquitto_want_write(mosq_)) rc = mosquitto_loop_write(mosq_, 1);
    if (rc == MOSQ_ERR_SUCCESS && now >= misc_at_) {
        rc = mosquitto_loop_misc(mosq_);
        misc_at_ = now + misc_interval_ms;
    }
    if (rc != MOSQ_ERR_SUCCESS) lose(error_text(rc, errno));
    if (state_ == State::connecting && now >= deadline_) lose(std::strerror(ETIMEDOUT));
    if (lost_) drop();
}

void MqttTransport::finish(DeliverySink& sink) {
    sink_ = &sink;
    if (state_ != State::connected || lost_) {
        if (mosq_ != nullptr) mosquitto_destroy(mosq_);
        mosq_ = nullptr;
        return;
    }
    // Said before the orderly end, which keeps the broker from sending the will.
    offline_acked_ = false;
    mosquitto_publish(mosq_, &offline_mid_, status_topic, 7, "offline", 1, true);
    std::int64_t until = monotonic_ms() + 1000;
    while (!offline_acked_ && !lost_) {
        std::int64_t left = until - monotonic_ms();
        if (left <= 0) break;
        pollfd p{mosquitto_socket(mosq_), static_cast<short>(POLLIN | (mosquitto_want_write(mosq_) ? POLLOUT : 0)), 0};
        (void)::poll(&p, 1, static_cast<int>(left));
        int rc = mosquitto_loop_read(mosq_, 1);
        if (rc == MOSQ_ERR_SUCCESS && mosquitto_want_write(mosq_)) rc = mosquitto_loop_write(mosq_, 1);
        if (rc != MOSQ_ERR_SUCCESS) break;
    }
    mosquitto_disconnect(mosq_);
    (void)mosquitto_loop_write(mosq_, 1);
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    state_ = State::idle;
}

void MqttTransport::publish_config(const Device& device, unsigned field) {
    discovery_topic(config_topic_, device.topic, device.topic_len, field);
    discovery_config(config_, device.topic, device.topic_len, device.name, device.name_len, field);
    mosquitto_publish(mosq_, nullptr, config_topic_.c_str(), static_cast<int>(config_.size()), config_.data(), 1,
                      true);
}

// A device's configs go out before its record, on the same connection.
void MqttTransport::announce(const MessageFacts& facts) {
    const char* topic = facts.topic + (sizeof topic_root - 1);
    std::size_t topic_len = facts.topic_len - (sizeof topic_root - 1);
    Device* device = nullptr;
    for (unsigned i = 0; i < devices_count_ && device == nullptr; ++i)
        if (devices_[i].topic_len == topic_len && std::memcmp(devices_[i].topic, topic, topic_len) == 0)
            device = &devices_[i];
    if (device == nullptr) {
        if (devices_count_ == devices_max || topic_len > device_topic_max || facts.device_len >= sizeof device->name)
            return;
        device = &devices_[devices_count_++];
        std::memcpy(device->topic, topic, topic_len);
        device->topic_len = topic_len;
        std::memcpy(device->name, facts.device, facts.device_len);
        device->name_len = facts.device_len;
        device->fields = device->announced = 0;
    }
    unsigned fields = facts.fields < discovery_fields_max ? facts.fields : discovery_fields_max;
    if (fields > device->fields) device->fields = fields;
    while (device->announced < device->fields) publish_config(*device, device->announced++);
}

void MqttTransport::announce_all() {
    for (unsigned i = 0; i < devices_count_; ++i) {
        Device& device = devices_[i];
        for (unsigned field = 0; field < device.fields; ++field) publish_config(device, field);
        device.announced = device.fields;
    }
}

}  // namespace ql
