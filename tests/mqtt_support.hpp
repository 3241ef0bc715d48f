// End-to-end support for mode 3: Debian's mosquitto broker, started by the
// test in its own network namespace on 127.0.0.1 (never the system's), and
// mosquitto_sub as the consumer that reads what qlfwd published.
#pragma once
#include <sys/types.h>

#include <csignal>

#include <chrono>
#include <string>
#include <vector>

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

}  // namespace e2e
