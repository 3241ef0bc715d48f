// End-to-end support for mode 3: Debian's mosquitto broker, started by the
// test in its own network namespace on 127.0.0.1 (never the system's), and
// mosquitto_sub as the consumer that reads what qlfwd published.
#pragma once
#include <sys/types.h>

#include <csignal>

#include <chrono>
#include <string>
#include <vector>

#include "tests/e2e_support.hpp"
#include "tests/temp_dir.hpp"

namespace e2e {

using namespace std::chrono_literals;

// Why the broker's programs cannot be used here, or "" when they can.
std::string mqtt_tools_missing();

// A child process with its standard output in a file.
class Child {
public:
    Child() = default;
    Child(const std::vector<std::string>& argv, const std::string& out_path, const std::vector<std::string>& env = {});
    ~Child();
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    void signal(int sig) const;
    // Ends it (SIGTERM, then SIGKILL after the limit) and reaps it.
    void end(std::chrono::milliseconds limit = 3000ms);
    bool running() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

class Broker {
public:
    // Listens on 127.0.0.1:port with the given extra configuration lines
    // (anonymous access unless they say otherwise), persistence in dir.
    Broker(const TempDir& dir, unsigned port = 1883, std::vector<std::string> conf = {});
    ~Broker() { stop(); }
    // Starts it and waits until it accepts connections.
    bool start();
    void stop();
    void pause() const { process_.signal(SIGSTOP); }
    void resume() const { process_.signal(SIGCONT); }
    unsigned port() const { return port_; }
    std::string log() const;

private:
    std::string conf_path_, log_path_;
    unsigned port_;
    Child process_;
};

// mosquitto_sub -v: one "topic payload" line per message received. A
// persistent one keeps its session on the broker, which keeps its messages
// while it is away.
class Subscriber {
public:
    Subscriber(const TempDir& dir, std::vector<std::string> topics, unsigned port = 1883, bool persistent = false,
               std::vector<std::string> extra = {});
    ~Subscriber() { process_.end(); }
    // Waits until a probe published to the broker reaches it.
    bool ready(std::chrono::milliseconds limit = 10000ms);
    // Every line so far, probes left out.
    std::vector<std::string> lines() const;
    // Waits until at least count lines have come.
    bool wait_lines(std::size_t count, std::chrono::milliseconds limit = 10000ms) const;

private:
    std::string out_path_;
    unsigned port_;
    Child process_;
};

// What the broker holds retained under the topics now, "topic payload" a
// line (mosquitto_sub --retained-only, ended by a message of the test's own).
std::vector<std::string> retained(const TempDir& dir, const std::vector<std::string>& topics, unsigned port = 1883);

// Sends each datagram from the source address to 127.0.0.1:60096, from one
// socket, in order, paced so that no receive queue overflows.
void send_datagrams(const std::string& source, const std::vector<std::string>& datagrams);

// Publishes one message, as another client would.
bool publish(const std::string& topic, const std::string& payload, unsigned port = 1883, bool retain = false);

// In a private mount namespace, a hosts file of the test's own over /etc/hosts,
// so that names resolve the same on every machine. False where that cannot be.
bool use_hosts_file(const TempDir& dir, const std::string& lines);

// Every ISO 8601 time ("2026-12-08T14:03:59+01:00") and every record stamp
// ("2026.12.08_14:03:59") written TIME and STAMP.
std::string untime(const std::string& text);

// A CA and a certificate for the given names (subjectAltName, as
// "DNS:localhost,IP:127.0.0.1") signed by it, made with openssl in dir:
// <name>-ca.crt, <name>.crt, <name>.key. False when openssl fails.
bool make_certificates(const TempDir& dir, const std::string& name, const std::string& alt_names);

// A test of mode 3 in a network namespace of its own; skipped where the
// broker's programs are missing.
class MqttTestBase : public ReceiverTestBase {
protected:
    void SetUp() override {
        std::string missing = mqtt_tools_missing();
        if (!missing.empty()) GTEST_SKIP() << missing;
        ReceiverTestBase::SetUp();
    }

    // qlfwd in mode 3 with -d, its status line reported to a socket of the test's.
    std::unique_ptr<Receiver> start_mqtt(std::vector<std::string> args, std::vector<std::string> env = {}) {
        Options options;
        options.env = std::move(env);
        notify_ = std::make_unique<NotifySocket>(dir);  // none of an earlier run's lines
        options.env.push_back(notify_->variable());
        args.insert(args.begin(), "-d");
        args.push_back(dir.prefix());
        return start(std::move(args), options);
    }

    bool status_has(const std::string& part, std::chrono::milliseconds limit = 10000ms) {
        return eventually([&] { return status().find(part) != std::string::npos; }, limit);
    }
    std::string status() { return notify_ ? notify_->status() : ""; }

    std::unique_ptr<NotifySocket> notify_;
};


inline std::string connected(unsigned waiting, unsigned port = 1883) {
    return "> MQTT 127.0.0.1:" + std::to_string(port) + " verbunden, " + std::to_string(waiting) +
           " Datensaetze warten\n";
}

inline bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

inline std::string queue_path(const TempDir& dir) { return dir / ".qlfwd-mqtt-queue"; }

}  // namespace e2e
