// Mode 3 against Debian's mosquitto broker, started here on 127.0.0.1:1883: a
// flood, the broker away and stopped, and the CPU per record against a
// minimal publisher.
#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
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
    // Resident memory, KiB.
    long memory() const {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(in, line))
            if (line.starts_with("VmRSS:")) return std::atol(line.c_str() + 6);
        return -1;
    }
    // The persistence file's size once the broker has stopped (it writes it then).
    long stored() {
        stop();
        std::error_code e;
        auto size = std::filesystem::file_size(out + "/mosquitto.db", e);
        return e ? 0 : static_cast<long>(size);
    }

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
        if (p == "online" && std::strcmp(msg->topic, "qlfwd/status") == 0) online_ = true;
        // Retained ones are an earlier delivery's, shown again at subscribing.
        if (!msg->retain && p.size() > 10 && p.ends_with("\"}")) {
            numbers_.push_back(std::atol(p.substr(p.size() - 10, 8).c_str()));
            last_ = Clock::now();
        }
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
    // qlfwd has said it is connected.
    void wait_online() {
        if (!until([&] { std::lock_guard<std::mutex> l(mutex_); return online_; }, 10s)) fail("qlfwd did not connect");
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
    bool subscribed_ = false, online_ = false;
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
    counter.wait_online();
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
    counter.wait_online();
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

struct Run {
    double cpu;    // per record delivered, seconds
    double after;  // the last record's arrival at the broker after the last send, seconds
    long dropped;
};

// One program receiving count numbered datagrams at rate (0: as fast as the
// sender can) and publishing them; ends once the broker has every one the
// kernel did not drop.
Run receive_and_publish(const std::vector<std::string>& args, long count, long rate,
                        const std::function<void(pid_t)>& started = {}) {
    Counter counter;
    long drops = udp_state().drops;
    pid_t pid = spawn(args);
    wait_bound();
    if (started) started(pid);
    sender(count, rate, "127.0.0.42", 1, true);
    auto sent = Clock::now();
    wait_drained();
    long dropped = udp_state().drops - drops;
    if (!counter.wait(count - dropped, 30s)) fail(args[0] + ": records missing");
    kill(pid, SIGTERM);
    double cpu = reap(pid);
    return {cpu / static_cast<double>(count - dropped), seconds(sent, counter.last()), dropped};
}

// The cases qlfwd -m is set against the fair floor in, and the two programs
// (for count records: the floor ends once it has that many acknowledged).
struct Case {
    long count, rate;  // rate 0: as fast as the sender can
    std::string name() const {
        return std::to_string(count) + (rate ? " at " + std::to_string(rate) + "/s" : " as fast as the sender can");
    }
};
constexpr Case floor_cases[] = {{10000, 5000}, {20000, 0}};
std::vector<std::string> mode3(long) { return {build + "/qlfwd", "-m", fresh_dir("mqtt-cpu")}; }
std::vector<std::string> fair_floor(long count) { return {build + "/floor_mqtt", std::to_string(count)}; }

// CPU per record: qlfwd against the fair floor (it receives, makes the same
// message, publishes it, 20 in flight, no queue), in pairs one right after the
// other, 11 pairs (medians); at 5000/s also against the bare publisher (from
// memory). The machine drifts from minute to minute: the ratio of each pair
// tells qlfwd's own cost from that drift better than the ratio of the medians.
void cpu_per_record() {
    Broker broker;
    broker.start();
    std::printf("\n| case | qlfwd -m CPU per record (us) | fair floor (us) | qlfwd / fair floor | pair by pair: median "
                "(least, most) | last delivered after the last send, qlfwd / floor (s) | dropped by the kernel, "
                "qlfwd / floor |\n|---|---|---|---|---|---|---|\n");
    for (const Case& c : floor_cases) {
        std::vector<double> mine, floor, ratios, mine_after, floor_after;
        long mine_dropped = 0, floor_dropped = 0;
        for (int run = 0; run < 11; ++run) {
            Run q = receive_and_publish(mode3(c.count), c.count, c.rate);
            Run f = receive_and_publish(fair_floor(c.count), c.count, c.rate);
            mine.push_back(q.cpu), mine_after.push_back(q.after), mine_dropped += q.dropped;
            floor.push_back(f.cpu), floor_after.push_back(f.after), floor_dropped += f.dropped;
            ratios.push_back(q.cpu / f.cpu);
        }
        double q = median(mine), f = median(floor);
        auto [least, most] = std::minmax_element(ratios.begin(), ratios.end());
        std::printf("| %s | %.1f | %.1f | %.2f | %.2f (%.2f, %.2f) | %.3f / %.3f | %ld / %ld |\n", c.name().c_str(), q * 1e6,
                    f * 1e6, q / f, median(ratios), *least, *most, median(mine_after), median(floor_after),
                    mine_dropped, floor_dropped);
        std::fflush(stdout);
        if (c.rate) {
            std::vector<double> bare;
            for (int run = 0; run < 7; ++run)
                bare.push_back(reap(spawn({build + "/floor_publisher", std::to_string(c.count), std::to_string(c.rate)})) /
                               static_cast<double>(c.count));
            std::printf("| the same, bare publisher (libmosquitto, QoS 1, from memory, receives nothing) | | %.1f | "
                        "%.2f | | | |\n", median(bare) * 1e6, q / median(bare));
        }
    }
}

// Instructions a program ran in user space, as callgrind counts them: a few
// per cent apart from run to run (how many acknowledgements a wake finds
// depends on timing), where the CPU seconds above drift by a third. Per record from two runs
// of different lengths, so that starting and stopping cancel out.
long collected(const std::string& log) {
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line))
        if (auto at = line.find("Collected : "); at != std::string::npos) return std::atol(line.c_str() + at + 12);
    fail("no count in " + log);
}

double instructions_per_record(std::vector<std::string> (*program)(long), long rate) {
    auto counted = [&](long count) {
        std::string log = out + "/callgrind.log";
        std::vector<std::string> a{"valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", "--log-file=" + log};
        std::vector<std::string> args = program(count);
        a.insert(a.end(), args.begin(), args.end());
        Run r = receive_and_publish(a, count, rate);
        if (r.dropped != 0) fail(args[0] + ": the kernel dropped datagrams under valgrind");
        return collected(log);
    };
    long few = 500, many = 2500;
    return static_cast<double>(counted(many) - counted(few)) / static_cast<double>(many - few);
}

// System calls per record at full speed, as perf counts the kernel's entries
// from the moment the port is bound, with the most frequent.
struct Calls {
    double all = 0;
    std::string most;  // "name count, ..." per record, the largest first
};

Calls calls_per_record(const std::vector<std::string>& args, long count, long rate) {
    std::string file = out + "/perf.txt";
    pid_t perf = -1;
    receive_and_publish(args, count, rate, [&](pid_t pid) {
        perf = spawn({"perf", "stat", "-x,", "-e", "syscalls:sys_enter_*", "-p", std::to_string(pid), "-o", file});
        std::this_thread::sleep_for(300ms);  // perf attaches
    });
    reap(perf);
    std::ifstream in(file);
    std::vector<std::pair<long, std::string>> each;
    Calls calls;
    for (std::string line; std::getline(in, line);) {
        long n = std::atol(line.c_str());
        auto at = line.find("syscalls:sys_enter_");
        if (n <= 0 || at == std::string::npos) continue;
        calls.all += static_cast<double>(n) / static_cast<double>(count);
        each.emplace_back(n, line.substr(at + 19, line.find(',', at) - at - 19));
    }
    std::sort(each.rbegin(), each.rend());
    for (std::size_t i = 0; i < each.size() && i < 6; ++i) {
        char part[64];
        std::snprintf(part, sizeof part, "%s%s %.2f", i ? ", " : "", each[i].second.c_str(),
                      static_cast<double>(each[i].first) / static_cast<double>(count));
        calls.most += part;
    }
    return calls;
}

void instructions_table() {
    Broker broker;
    broker.start();
    std::printf("\n| case | qlfwd -m instructions per record | fair floor | qlfwd / fair floor |\n|---|---|---|---|\n");
    // Under valgrind a program runs some 50 times slower: at 200/s each datagram
    // still wakes it alone, as 5000/s does without; flat out it works through a backlog.
    for (long rate : {200L, 0L}) {
        double q = instructions_per_record(mode3, rate);
        double f = instructions_per_record(fair_floor, rate);
        std::printf("| %s | %.0f | %.0f | %.3f |\n", rate ? "one datagram a wake (200/s)" : "as fast as the sender can", q, f,
                    q / f);
        std::fflush(stdout);
    }
    std::printf("\n| case | program | system calls per record | the most frequent, per record |\n|---|---|---|---|\n");
    for (const Case& c : floor_cases) {
        Calls q = calls_per_record(mode3(c.count), c.count, c.rate);
        Calls f = calls_per_record(fair_floor(c.count), c.count, c.rate);
        std::printf("| %s | qlfwd -m | %.2f | %s |\n| | fair floor | %.2f | %s |\n", c.name().c_str(), q.all, q.most.c_str(),
                    f.all, f.most.c_str());
        std::fflush(stdout);
    }
}

// The retained messages under a topic filter, as a new subscriber gets them.
long retained(const char* filter) {
    std::string command = std::string("mosquitto_sub -h 127.0.0.1 -t '") + filter +
                          "' --retained-only -W 2 -F %t 2>/dev/null | wc -l";
    FILE* p = popen(command.c_str(), "r");
    long n = -1;
    if (p == nullptr || std::fscanf(p, "%ld", &n) != 1) n = -1;
    if (p != nullptr) pclose(p);
    return n;
}

// Messages to one topic filter as they come, with when the last came.
class Watcher {
public:
    explicit Watcher(const char* filter) : filter_(filter) {
        mosq_ = mosquitto_new(nullptr, true, this);
        mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void* obj, int rc) {
            if (rc == 0) mosquitto_subscribe(m, nullptr, static_cast<Watcher*>(obj)->filter_.c_str(), 1);
        });
        mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* obj, int, int, const int*) {
            static_cast<Watcher*>(obj)->subscribed_ = true;
        });
        mosquitto_message_callback_set(mosq_, [](mosquitto*, void* obj, const mosquitto_message* msg) {
            auto* self = static_cast<Watcher*>(obj);
            if (msg->payloadlen == 0) return;
            self->last_ = Clock::now();
            ++self->count_;
        });
        mosquitto_connect(mosq_, "127.0.0.1", 1883, 30);
        mosquitto_loop_start(mosq_);
        if (!until([&] { return subscribed_.load(); }, 5s)) fail("no subscription");
    }
    ~Watcher() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, true);
        mosquitto_destroy(mosq_);
    }
    long count() const { return count_; }
    Clock::time_point last() const { return last_; }
    void publish(const char* topic, const char* payload) {
        mosquitto_publish(mosq_, nullptr, topic, static_cast<int>(std::strlen(payload)), payload, 1, false);
    }

private:
    std::string filter_;
    mosquitto* mosq_;
    std::atomic<bool> subscribed_{false};
    std::atomic<long> count_{0};
    std::atomic<Clock::time_point> last_{};
};

// 1,024 kept devices of 100 fields each, as a restart finds them: how long
// until Home Assistant has every device's config, at connect and on its birth message.
void announced_at_connect() {
    Broker broker;
    broker.start();
    std::string dir = fresh_dir("discovery-connect");
    {
        std::ofstream list(dir + ".qlfwd-mqtt-devices");
        list << "qlfwd mqtt devices 1\n";
        long now = static_cast<long>(std::time(nullptr));
        char line[128];
        for (int i = 0; i < 1024; ++i) {
            std::snprintf(line, sizeof line, "Qln%03dd%04d %ld 100 %032d \"Qln%03dd%04d\"\n", 10 + i / 256, i, now, 0,
                          10 + i / 256, i);
            list << line;
        }
    }
    Watcher configs("homeassistant/device/+/config");
    auto start = Clock::now();
    pid_t pid = spawn({build + "/qlfwd", "-m", "-H", dir});
    bool all = until([&] { return configs.count() >= 1024; }, 30s);
    double at_connect = seconds(start, configs.last());
    long first = configs.count();
    auto birth = Clock::now();
    configs.publish("homeassistant/status", "online");
    bool again = until([&] { return configs.count() >= 2048; }, 30s);
    double on_birth = seconds(birth, configs.last());
    std::this_thread::sleep_for(1s);  // nothing more comes: one message per device
    long total = configs.count();
    kill(pid, SIGTERM);
    reap(pid);
    std::printf("| 1,024 kept devices of 100 fields, after a restart | %ld configs at connect, %s %.2f s after the start "
                "| %ld on the birth message, %s %.2f s after it | %ld in all |\n",
                first, all ? "the last" : "NOT all, the last", at_connect, total - first, again ? "the last" : "NOT all, the last",
                on_birth, total);
}

// 2,000 invented labels from one host (250 addresses, 8 labels each), once
// each, then twice each: what stays on the broker.
void flood_bound() {
    Broker broker;
    broker.start();
    std::string dir = fresh_dir("discovery-flood");
    pid_t pid = spawn({build + "/qlfwd", "-m", "-H", dir});
    wait_bound();
    Watcher records("qlfwd/+");
    auto labels = [&](long expected) {
        for (int l = 0; l < 8; ++l)
            run({build + "/qlsend", "-q", "-s", "127.0.1.1", "-c", "250", "-n", "250", "-l", "fld" + std::to_string(l), "-t",
                 "1,2,3,4,5,6,7,8,9,10"});
        if (!until([&] { return records.count() >= expected; }, 30s)) fail("flood: records missing");
        std::this_thread::sleep_for(1s);  // what the broker retains settles
    };
    labels(2001);  // and qlfwd/status
    long once_records = retained("qlfwd/+"), once_configs = retained("homeassistant/#");
    long once_memory = broker.memory();
    labels(4001);
    long twice_records = retained("qlfwd/+") - 1, twice_configs = retained("homeassistant/#");  // less qlfwd/status
    long twice_memory = broker.memory();
    kill(pid, SIGTERM);
    reap(pid);
    long stored = broker.stored();
    std::printf("| 2,000 labels from one host, once each | %ld retained records (qlfwd/status aside: %ld) | %ld configs | "
                "broker %ld KiB |\n", once_records, once_records - 1, once_configs, once_memory);
    std::printf("| the same labels once more (twice each) | %ld retained records | %ld configs | broker %ld KiB, persistence "
                "file %ld bytes |\n", twice_records, twice_configs, twice_memory, stored);
}

// CPU per record in mode 3 with discovery and without, at 5000/s, 7 runs each (medians).
void discovery_cpu() {
    Broker broker;
    broker.start();
    std::vector<double> with, without;
    for (int run = 0; run < 7; ++run) {
        without.push_back(receive_and_publish(mode3(10000), 10000, 5000).cpu);
        with.push_back(receive_and_publish({build + "/qlfwd", "-m", "-H", fresh_dir("mqtt-cpu")}, 10000, 5000).cpu);
    }
    double a = median(without), b = median(with);
    std::printf("| CPU per record at 5000/s | -m: %.1f us | -m -H: %.1f us | -H / no -H: %.3f |\n", a * 1e6, b * 1e6,
                b / a);
}

}  // namespace

void discovery_table() {
    std::printf("\n## Home Assistant's discovery (-H) against mosquitto on 127.0.0.1\n\n| case | | | |\n|---|---|---|---|\n");
    announced_at_connect();
    std::fflush(stdout);
    flood_bound();
    std::fflush(stdout);
    discovery_cpu();
}

void mqtt_cpu_table() {
    std::printf("\n## Mode 3's CPU per record against mosquitto on 127.0.0.1\n");
    cpu_per_record();
}

void mqtt_instructions_table() {
    std::printf("\n## Mode 3's instructions per record against mosquitto on 127.0.0.1 (callgrind, user space)\n");
    instructions_table();
}

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
}

}  // namespace bench
