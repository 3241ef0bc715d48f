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
#include "delivery/devices_file.hpp"
#include "delivery/discovery.hpp"
#include "delivery/mqtt_entry.hpp"

namespace ql {

namespace {

constexpr char status_topic[] = "qlfwd/status";
constexpr std::int64_t look_interval_ms = 20;  // a name lookup under way
constexpr std::int64_t misc_interval_ms = 1000;
constexpr std::int64_t save_delay_ms = 1000;   // changes a second apart go in one write
constexpr std::int64_t announce_slice_ms = 5;  // away from the socket at most this long for announcements

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

std::time_t system_time() { return std::time(nullptr); }

std::int64_t earlier(std::int64_t due, std::int64_t at) { return due < 0 || at < due ? at : due; }

}  // namespace

MqttTransport::MqttTransport(WallClock wall_clock)
    : wall_clock_(wall_clock != nullptr ? wall_clock : system_time), devices_(std::make_unique<DeviceTable>()) {}

MqttTransport::~MqttTransport() {
    if (mosq_ != nullptr) mosquitto_destroy(mosq_);
}

std::time_t MqttTransport::wall_now() const { return wall_clock_(); }

bool MqttTransport::configure(const char* address, bool tls, bool discovery, const char* prefix) {
    mosquitto_lib_init();
    (void)parse_broker_address(address, tls, broker_);
    tls_ = tls;
    discovery_ = discovery;
    if (discovery_) old_ = std::make_unique<OldConfigs>();
    char host[64] = {};
    (void)::gethostname(host, sizeof host - 1);
    std::snprintf(client_id_, sizeof client_id_, "qlfwd-%s", host);
    config_topic_.reserve(128);
    config_.reserve(24 * 1024);

    hidden_path(devices_path_, prefix, "qlfwd-mqtt-devices", &devices_base_);
    hidden_path(devices_temp_, prefix, "qlfwd-mqtt-devices-new");
    unsigned bad_line = 0;
    if (load_devices(devices_path_, *devices_, bad_line) == DevicesLoaded::damaged)
        diag("Fehler: MQTT Geraeteliste %s unbrauchbar (Zeile %u), neu begonnen\n", devices_base_, bad_line);
    // Looked at now, and every hour: cleared from the broker once connected.
    devices_->mark_silent(wall_now());
    silent_at_ = monotonic_ms() + silent_look_ms;

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

unsigned MqttTransport::room(unsigned out) const {
    if (state_ != State::connected || lost_ || !ready_ || out >= window) return 0;
    return window - out;
}

// Connected and handed over, with no announcement left: what comes back is
// acknowledgements, and now and then the keepalive's answer, which may wait as they do.
bool MqttTransport::acks_may_wait() const {
    return state_ == State::connected && ready_ && !lost_ && !(discovery_ && announce_next_ < devices_->count());
}

void MqttTransport::next(int& fd, bool& write, std::int64_t& due_ms) const {
    fd = -1;
    write = false;
    due_ms = -1;
    if (devices_->changed()) due_ms = save_at_;
    if (devices_->seen_changed()) due_ms = earlier(due_ms, seen_save_at_);
    due_ms = earlier(due_ms, silent_at_);
    if (refused_said_ < devices_->refused()) due_ms = earlier(due_ms, refused_said_at_ + refused_line_ms);
    switch (state_) {
        case State::idle: return;
        case State::resolving: due_ms = earlier(due_ms, look_at_); return;
        case State::connecting: due_ms = earlier(due_ms, deadline_); break;
        case State::connected:
            due_ms = earlier(due_ms, misc_at_);
            if (!ready_) due_ms = earlier(due_ms, sync_until_);
            break;
    }
    if (lost_) due_ms = 0;
    fd = mosquitto_socket(mosq_);
    write = mosquitto_want_write(mosq_);
    // Announcements left go on as soon as the socket has taken what went before.
    if (ready_ && discovery_ && announce_next_ < devices_->count() && !write) due_ms = 0;
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
    // The engine bounds the records out; configs are paced by the socket. The
    // library holds none back, so that what it was given is on its way.
    mosquitto_max_inflight_messages_set(mosq_, 0);
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
    ready_ = false;
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

bool MqttTransport::publish(const char* topic, const char* payload, std::size_t len, bool retain, int* mid) {
    errno = 0;
    int rc = mosquitto_publish(mosq_, mid, topic, static_cast<int>(len), payload, 1, retain);
    if (rc != MOSQ_ERR_SUCCESS) lose(error_text(rc, errno));
    return rc == MOSQ_ERR_SUCCESS;
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
    publish(status_topic, "online", 6, true);
    devices_->forget_announcements();
    announce_next_ = 0;
    if (!discovery_) {
        ready_ = true;
        return;
    }
    // What the broker holds of the first release's configs comes before the
    // answer to a message of our own: only then is anything announced, so
    // that no old config can arrive after its device took it over.
    ready_ = false;
    old_->clear();
    mosquitto_subscribe(mosq_, nullptr, birth_topic, 1);
    mosquitto_subscribe(mosq_, nullptr, old_configs_filter, 0);
    std::snprintf(sync_topic_, sizeof sync_topic_, "qlfwd/sync/%s", client_id_);
    std::snprintf(sync_token_, sizeof sync_token_, "%ld-%u", static_cast<long>(::getpid()), ++connections_);
    mosquitto_subscribe(mosq_, nullptr, sync_topic_, 1);
    publish(sync_topic_, sync_token_, std::strlen(sync_token_), false);
    sync_until_ = monotonic_ms() + sync_limit_ms;
}

void MqttTransport::on_publish(int mid) {
    if (mid == offline_mid_) offline_acked_ = true;
    // Acknowledgements of configs and of the status concern no record.
    if (sink_ != nullptr) sink_->settled(static_cast<std::uint32_t>(mid), true);
}

void MqttTransport::on_disconnect(int rc) { lose(rc == 0 ? "getrennt" : mosquitto_strerror(rc)); }

void MqttTransport::on_message(const mosquitto_message* message) {
    if (message->topic == nullptr) return;
    const char* payload = static_cast<const char*>(message->payload);
    std::size_t len = message->payloadlen > 0 ? static_cast<std::size_t>(message->payloadlen) : 0;
    if (std::strcmp(message->topic, sync_topic_) == 0) {
        if (len == std::strlen(sync_token_) && std::memcmp(payload, sync_token_, len) == 0) ready_ = true;
        return;
    }
    // The home-automation server's birth: it has forgotten every config.
    if (std::strcmp(message->topic, birth_topic) == 0) {
        if (len == 6 && std::memcmp(payload, "online", 6) == 0) {
            devices_->forget_announcements();
            announce_next_ = 0;
        }
        return;
    }
    const char* topic = nullptr;
    std::size_t topic_len = 0;
    unsigned field = 0;
    if (old_ != nullptr &&
        parse_old_config_topic(message->topic, std::strlen(message->topic), topic, topic_len, field)) {
        bool migrating = len > 0 && len == sizeof migrate_payload - 1 && std::memcmp(payload, migrate_payload, len) == 0;
        if (!migrating) old_->note(topic, topic_len, field, len > 0);
    }
}

// A device's config, taking over its first-release configs as Home Assistant
// documents it: each told to migrate, then the config, then each cleared.
void MqttTransport::announce(Device& d) {
    if (!discovery_) return;
    FieldSet old = old_->take(d.topic, d.topic_len);
    for (unsigned f = 0; f < discovery_fields_max; ++f) {
        if (!old.has(f)) continue;
        old_config_topic(config_topic_, d.topic, d.topic_len, f);
        publish(config_topic_.c_str(), migrate_payload, sizeof migrate_payload - 1, true);
    }
    device_config_topic(config_topic_, d.topic, d.topic_len);
    device_config(config_, DeviceFacts{d.topic, d.topic_len, d.json, d.json_len, d.fields, d.texts});
    publish(config_topic_.c_str(), config_.data(), config_.size(), true);
    for (unsigned f = 0; f < discovery_fields_max; ++f) {
        if (!old.has(f)) continue;
        old_config_topic(config_topic_, d.topic, d.topic_len, f);
        publish(config_topic_.c_str(), "", 0, true);
    }
    d.announced = true;
}

// Kept devices not yet announced on this connection, as fast as the socket
// takes them: the library never holds more than what the kernel refused.
void MqttTransport::announce_some(std::int64_t now) {
    while (announce_next_ < devices_->count() && !lost_ && !mosquitto_want_write(mosq_)) {
        Device& d = devices_->at(announce_next_++);
        if (!d.announced && !d.retiring) announce(d);
        if (monotonic_ms() - now >= announce_slice_ms) break;
    }
}

// Silent for 30 days: its config and its retained record are cleared, and it
// is kept no more.
void MqttTransport::retire_silent() {
    for (unsigned i = 0; i < devices_->count() && !lost_;) {
        Device& d = devices_->at(i);
        if (!d.retiring) {
            ++i;
            continue;
        }
        if (discovery_) {
            device_config_topic(config_topic_, d.topic, d.topic_len);
            publish(config_topic_.c_str(), "", 0, true);
        }
        std::snprintf(topic_, sizeof topic_, "%s%.*s", topic_root, static_cast<int>(d.topic_len), d.topic);
        publish(topic_, "", 0, true);
        diag("> MQTT %.*s seit 30 Tagen still, Discovery entfernt\n", static_cast<int>(d.json_len), d.json);
        devices_->remove(&d);  // the last takes its place
        if (announce_next_ > i) announce_next_ = i;
    }
}

void MqttTransport::say_refused(std::int64_t now) {
    if (refused_said_ == devices_->refused() || now - refused_said_at_ < refused_line_ms) return;
    refused_said_ = devices_->refused();
    refused_said_at_ = now;
    diag("Fehler: MQTT %llu Geraete ueber der Grenze von %u, ohne Discovery\n",
         static_cast<unsigned long long>(refused_said_), devices_max);
}

// The list of kept devices on disk: soon after it changed, hourly for when
// they last sent, and at the stop.
void MqttTransport::keep_devices(std::int64_t now, bool at_stop) {
    bool due = devices_->changed() ? at_stop || now >= save_at_ : false;
    due = due || (devices_->seen_changed() && (at_stop || now >= seen_save_at_));
    if (!due) {
        if (!devices_->changed()) save_at_ = now + save_delay_ms;
        if (!devices_->seen_changed()) seen_save_at_ = now + silent_look_ms;
        return;
    }
    if (save_devices(devices_path_, devices_temp_, *devices_, file_)) {
        devices_->saved();
        save_failing_ = false;
        save_at_ = now + save_delay_ms;
        seen_save_at_ = now + silent_look_ms;
        return;
    }
    if (!save_failing_) diag("Fehler: file_write %s mit Fehler\n", devices_base_);
    save_failing_ = true;
    save_at_ = seen_save_at_ = now + save_delay_ms;
}

Sent MqttTransport::send(const char* text, std::size_t len, std::int64_t now, DeliverySink& sink, std::uint32_t& tag) {
    sink_ = &sink;
    MqttMessage m;
    if (!decode_mqtt_entry(text, len, m) || m.topic_len > topic_max) return Sent::refused;
    RecordPlan plan = devices_->plan(m, m.arrived > 0 ? m.arrived : wall_now());
    if (plan.refused) say_refused(now);
    if (discovery_ && plan.more_fields != nullptr)
        diag("> MQTT %.*s hat %u Felder, Sensoren nur fuer f00 bis f99\n",
             static_cast<int>(plan.more_fields->json_len), plan.more_fields->json, m.fields);
    // Its config goes out before its record, on the same connection.
    if (plan.announce != nullptr) announce(*plan.announce);
    std::memcpy(topic_, m.topic, m.topic_len);
    topic_[m.topic_len] = '\0';
    int mid = 0;
    if (!lost_ && publish(topic_, m.payload, m.payload_len, plan.retain, &mid)) {
        tag = static_cast<std::uint32_t>(mid);
        return Sent::out;
    }
    drop();
    return Sent::failed;
}

void MqttTransport::work(std::int64_t now, bool may_try, short events, DeliverySink& sink) {
    sink_ = &sink;
    if (now >= silent_at_) {
        devices_->mark_silent(wall_now());
        silent_at_ = now + silent_look_ms;
    }
    say_refused(now);
    keep_devices(now, false);
    if (state_ == State::idle && may_try) begin_attempt(now);
    if (state_ == State::resolving) look_up(now);
    if (state_ != State::connecting && state_ != State::connected) return;
    errno = 0;
    int rc = MOSQ_ERR_SUCCESS;
    // Read only what poll found there: a read that finds nothing is a system call for nothing.
    if ((events & (POLLIN | POLLERR | POLLHUP)) != 0) rc = mosquitto_loop_read(mosq_, 1);
    if (rc == MOSQ_ERR_SUCCESS && state_ == State::connected && !ready_ && now >= sync_until_) ready_ = true;
    if (rc == MOSQ_ERR_SUCCESS && ready_ && !lost_) {
        retire_silent();
        if (discovery_) announce_some(now);
    }
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
    keep_devices(monotonic_ms(), true);
    if (state_ != State::connected || lost_) {
        if (mosq_ != nullptr) mosquitto_destroy(mosq_);
        mosq_ = nullptr;
        return;
    }
    // Said before the orderly end, which keeps the broker from sending the will.
    offline_acked_ = false;
    publish(status_topic, "offline", 7, true, &offline_mid_);
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

}  // namespace ql
