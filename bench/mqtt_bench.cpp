// Mode 3 against Debian's mosquitto broker, started here on 127.0.0.1:1883: a
// flood, the broker away and stopped, and the CPU per record against a
// minimal publisher.
#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>

#include "bench/support.hpp"

namespace bench {

namespace {

bool accepts() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(1883);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

class Broker {
public:
    Broker() {
        conf_ = out + "/mosquitto.conf";
        std::filesystem::remove(out + "/mosquitto.db");  // each case begins without an earlier one's messages
        std::ofstream(conf_) << "listener 1883 127.0.0.1\nallow_anonymous true\nuser root\npersistence true\nlog_dest none\n"
                             << "persistence_location " << out << "/\nmax_queued_messages 0\n";
    }
    ~Broker() { stop(); }
    void start() {
        pid_ = spawn({"/usr/sbin/mosquitto", "-c", conf_});
        if (!until(accepts, 10s))
            fail("the broker did not start");
    }
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGCONT);
        kill(pid_, SIGTERM);
        reap(pid_);
        pid_ = -1;
    }
    void signal(int sig) const { kill(pid_, sig); }

private:
    std::string conf_;
    pid_t pid_ = -1;
};

// Counts the records that reach the broker (a persistent session, so the
// broker keeps them while it is away), with the number qlsend -i put at the
// end of each text, in the order they came.
class Counter {
public:
    Counter() {
        mosquitto_lib_init();
        mosq_ = mosquitto_new("bench-counter", false, this);
        mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void*, int rc) {
            if (rc == 0) mosquitto_subscribe(m, nullptr, "qlfwd/+", 1);
        });
        mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* obj, int, int, const int*) {
            auto* self = static_cast<Counter*>(obj);
            std::lock_guard<std::mutex> l(self->mutex_);
            self->subscribed_ = true;
        });
        mosquitto_message_callback_set(mosq_, [](mosquitto*, void* obj, const mosquitto_message* msg) {
            static_cast<Counter*>(obj)->got(msg);
        });
        mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
        mosquitto_connect(mosq_, "127.0.0.1", 1883, 30);
        mosquitto_loop_start(mosq_);
        if (!until([&] { std::lock_guard<std::mutex> l(mutex_); return subscribed_; }, 5s)) fail("no subscription");
    }
    ~Counter() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, true);
        mosquitto_destroy(mosq_);
    }
    void got(const mosquitto_message* msg) {
        std::string p(static_cast<const char*>(msg->payload), static_cast<std::size_t>(msg->payloadlen));
        std::lock_guard<std::mutex> l(mutex_);
        // Retained ones are an earlier delivery's, shown again at subscribing.
        if (!msg->retain && p.size() > 10 && p.ends_with("\"}")) numbers_.push_back(std::atol(p.substr(p.size() - 10, 8).c_str()));
        last_ = Clock::now();
    }
    // Distinct numbers; whether first arrivals were in order.
    long distinct(bool* in_order = nullptr) {
        std::lock_guard<std::mutex> l(mutex_);
        std::set<long> seen;
        long last = 0;
        bool ordered = true;
        for (long n : numbers_)
            if (seen.insert(n).second) ordered = ordered && n > last, last = n;
        if (in_order) *in_order = ordered;
        return static_cast<long>(seen.size());
    }
    long total() {
        std::lock_guard<std::mutex> l(mutex_);
        return static_cast<long>(numbers_.size());
    }
    bool wait(long count, std::chrono::milliseconds limit) { return until([&] { return distinct() >= count; }, limit); }
    Clock::time_point last() {
        std::lock_guard<std::mutex> l(mutex_);
        return last_;
    }

private:
    mosquitto* mosq_;
    std::mutex mutex_;
    std::vector<long> numbers_;
    Clock::time_point last_;
    bool subscribed_ = false;
};

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

void flood() {
    Broker broker;
    broker.start();
    Counter counter;
    Notify notify;
    constexpr long count = 10000;
    std::string dir = fresh_dir("mqtt-flood");
    int endpoint = bound_endpoint(requested_buffer);
    pid_t pid = spawn({build + "/qlfwd", "-m", dir}, {notify.variable()}, endpoint);
    std::this_thread::sleep_for(300ms);
    sender(count, 0, "127.0.0.10", 250, true);
    auto sent = Clock::now();
    bool all = counter.wait(count, 30s);
    double after = seconds(sent, counter.last());
    wait_drained();
    kill(pid, SIGTERM);
    double cpu = reap(pid);
    std::printf("| broker up, %ld flat out from 250 devices | %ld | %ld | %s | %.2f s after the last send | %ld | "
                "%.0f records per CPU second |\n",
                count, counter.distinct(), counter.total(), all ? "yes" : "NO", after, udp_state().drops,
                count / cpu);
    close(endpoint);
}

// 20 devices at 10/s each for 30 s while the broker is away; with restarts,
// qlfwd is stopped and started again twice meanwhile.
void away(bool restarts) {
    Broker broker;
    broker.start();
    auto counter = std::make_unique<Counter>();  // its session outlives the outage
    broker.stop();
    constexpr long count = 6000;
    std::string dir = fresh_dir(restarts ? "mqtt-away-restarts" : "mqtt-away");
    int endpoint = bound_endpoint(requested_buffer);
    std::vector<std::string> args{build + "/qlfwd", "-m", dir};
    pid_t pid = spawn(args, {}, endpoint);
    std::thread send([&] { sender(count, 200, "127.0.0.10", 20, true); });
    if (restarts) {
        for (int i = 0; i < 2; ++i) {
            std::this_thread::sleep_for(10s);
            kill(pid, SIGTERM);
            reap(pid);
            pid = spawn(args, {}, endpoint);
        }
    }
    send.join();
    broker.start();
    auto back = Clock::now();
    bool all = counter->wait(count, 60s);
    double after = seconds(back, counter->last());
    bool in_order = false;
    long distinct = counter->distinct(&in_order);
    kill(pid, SIGTERM);
    reap(pid);
    std::printf("| broker away 30 s, 20 devices at 10/s%s | %ld | %ld | %s | %.2f s after its return | %ld | "
                "first arrivals in order: %s |\n",
                restarts ? ", qlfwd restarted twice" : "", distinct, counter->total(), all ? "yes" : "NO", after,
                udp_state().drops, in_order ? "yes" : "no");
    close(endpoint);
}

void stopped() {
    Broker broker;
    broker.start();
    Counter counter;
    Notify notify;
    constexpr long count = 2000;
    std::string dir = fresh_dir("mqtt-stopped");
    int endpoint = bound_endpoint(requested_buffer);
    pid_t pid = spawn({build + "/qlfwd", "-m", dir}, {notify.variable()}, endpoint);
    std::this_thread::sleep_for(300ms);
    broker.signal(SIGSTOP);
    auto start = Clock::now();
    sender(count, 0, "127.0.0.10", 100, true);
    bool received = until([&] { return notify.received() >= count; }, 10s);
    double took = seconds(start, Clock::now());
    std::this_thread::sleep_for(30s - (Clock::now() - start));
    broker.signal(SIGCONT);
    auto resumed = Clock::now();
    bool all = counter.wait(count, 60s);
    double after = seconds(resumed, counter.last());
    kill(pid, SIGTERM);
    reap(pid);
    std::printf("| broker stopped (SIGSTOP) 30 s, a burst of %ld from 100 devices | %ld | %ld | %s | all received "
                "%s %.2f s after the burst began; delivered %.2f s after it went on | %ld | |\n",
                count, counter.distinct(), counter.total(), all ? "yes" : "NO", received ? "within" : "NOT within",
                took, after, udp_state().drops);
    close(endpoint);
}

// CPU per record at 5000/s: qlfwd against the floor publisher (7 runs each, median).
void cpu_per_record() {
    Broker broker;
    broker.start();
    constexpr long count = 10000, rate = 5000;
    std::vector<double> mode3, floor;
    for (int run = 0; run < 7; ++run) {
        Counter counter;
        std::string dir = fresh_dir("mqtt-cpu");
        pid_t pid = spawn({build + "/qlfwd", "-m", dir});
        wait_bound();
        sender(count, rate, "127.0.0.42", 1, true);
        if (!counter.wait(count, 30s)) fail("mode 3: records missing");
        kill(pid, SIGTERM);
        mode3.push_back(reap(pid) / count);
        floor.push_back(reap(spawn({build + "/floor_publisher", std::to_string(count), std::to_string(rate)})) / count);
    }
    double q = median(mode3), f = median(floor);
    std::printf("\n| at %ld/s, %ld records | CPU per record (us) |\n|---|---|\n", rate, count);
    std::printf("| qlfwd -m | %.1f |\n| floor publisher (libmosquitto, QoS 1, from memory) | %.1f |\n", q * 1e6,
                f * 1e6);
    std::printf("| qlfwd / floor | %.2f |\n", q / f);
}

}  // namespace

void mqtt_table() {
    std::printf("\n## Mode 3 against mosquitto on 127.0.0.1\n\n");
    std::printf("| case | distinct records delivered | messages | all | when | dropped by the kernel | |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    flood();
    std::fflush(stdout);
    away(false);
    std::fflush(stdout);
    away(true);
    std::fflush(stdout);
    stopped();
    std::fflush(stdout);
    cpu_per_record();
}

}  // namespace bench
