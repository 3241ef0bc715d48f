// The benchmark driver: runs qlfwd and the floor receivers side by side in this
// network namespace, sends with qlsend, and prints the table.
// Usage: bench BUILD_DIR OUTPUT_DIR [SECTION...] (the output directory on a tmpfs)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sender/endpoint.hpp"

extern char** environ;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::string build, out;

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "bench: %s\n", why.c_str());
    std::exit(1);
}

// With listen_fd >= 0 the program gets that socket at descriptor 3 and the
// variables a service manager sets (LISTEN_PID through a shell that execs it).
pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& extra_env = {}, int listen_fd = -1) {
    std::vector<std::string> a = args;
    if (listen_fd >= 0) a.insert(a.begin(), {"/bin/sh", "-c", "LISTEN_PID=$$ LISTEN_FDS=1 exec \"$0\" \"$@\""});
    std::vector<char*> argv;
    for (auto& s : a) argv.push_back(s.data());
    argv.push_back(nullptr);
    std::vector<std::string> env(extra_env);
    for (char** e = environ; *e; ++e) env.push_back(*e);
    std::vector<char*> envp;
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (listen_fd >= 0) posix_spawn_file_actions_adddup2(&actions, listen_fd, 3);
    pid_t pid;
    int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) fail("cannot start " + args[0] + ": " + std::strerror(error));
    return pid;
}

// CPU seconds (user + system) of the process and of the children it waited for.
double reap(pid_t pid) {
    int status;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) fail("wait4");
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void run(const std::vector<std::string>& args) { reap(spawn(args)); }

// The socket as a service manager binds it; buffer 0 keeps the system default.
int bound_endpoint(int buffer) {
    int fd = ql::bind_endpoint(buffer);
    if (fd < 0) fail("bind 60096");
    return fd;
}

constexpr int requested_buffer = 8 << 20;

struct UdpState {
    bool bound = false;
    long rx_queue = 0;
    long drops = 0;
};

UdpState udp_state() {
    std::ifstream udp("/proc/net/udp");
    std::string line;
    std::getline(udp, line);
    while (std::getline(udp, line)) {
        std::istringstream fields(line);
        std::string sl, local, remote, st, queues, tr, retr, uid, timeout, inode, ref, pointer, drops;
        fields >> sl >> local >> remote >> st >> queues >> tr >> retr >> uid >> timeout >> inode >> ref >> pointer >> drops;
        if (local.size() < 5 || local.substr(local.size() - 5) != ":EAC0") continue;
        UdpState s;
        s.bound = true;
        s.rx_queue = std::stol(queues.substr(queues.find(':') + 1), nullptr, 16);
        s.drops = std::stol(drops);
        return s;
    }
    return {};
}

bool until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

void wait_bound() {
    if (!until([] { return udp_state().bound; }, 5s)) fail("receiver did not bind port 60096");
}

// The queue is empty twice, 100 ms apart: everything received is processed.
void wait_drained() {
    for (;;) {
        until([] { return udp_state().rx_queue == 0; }, 60s);
        std::this_thread::sleep_for(100ms);
        if (udp_state().rx_queue == 0) return;
    }
}

long count_lines(const std::string& dir) {
    long lines = 0;
    for (auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".txt") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        lines += std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n');
    }
    return lines;
}

std::string fresh_dir(const std::string& name) {
    std::string dir = out + "/" + name + "/";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

// 120 bytes, short, no "qL=" at offset 12.
const std::string text120 = [] {
    std::string t = "QLSEND T1,21.5,22.0,on,off,1013,45,ok";
    while (t.size() < 120) t += ",0";
    return t.substr(0, 120);
}();

void sender(long count, long rate, const std::string& source = "127.0.0.42", long sources = 1,
            bool numbered = false) {
    std::vector<std::string> args{build + "/qlsend", "-q", "-s", source, "-n", std::to_string(count), "-r",
                                  std::to_string(rate), "-t", numbered ? text120.substr(0, 112) : text120};
    if (numbered) args.push_back("-i");
    if (sources > 1) {
        args.push_back("-c");
        args.push_back(std::to_string(sources));
    }
    run(args);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Mode0 {
    long sent, written, dropped;
    double cpu;  // seconds
};

// Seconds the process has run on a CPU, exactly (the scheduler's count, not
// the tick-sampled user and system times).
double on_cpu(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/schedstat");
    double ns = 0;
    stat >> ns;
    return ns / 1e9;
}

Mode0 mode0(const std::string& binary, long count, long rate, const std::vector<std::string>& env = {}) {
    std::string dir = fresh_dir("mode0");
    pid_t pid = spawn({binary, "-a", dir}, env);
    wait_bound();
    long drops_before = udp_state().drops;
    double cpu_before = on_cpu(pid);
    sender(count, rate);
    wait_drained();
    double cpu = on_cpu(pid) - cpu_before;
    long drops = udp_state().drops - drops_before;
    kill(pid, SIGTERM);
    reap(pid);
    return {count, count_lines(dir), drops, cpu};
}

// The stand-in command server: closes each connection once it has read "quit".
class Server {
public:
    Server() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(7072);
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 64) != 0) fail("server");
        thread_ = std::thread([this] { loop(); });
    }
    ~Server() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    long sessions() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sessions_;
    }
    bool wait_for(long count, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return sessions_ >= count; });
    }

private:
    void loop() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            std::string got;
            char buffer[65536];
            while (got.find("quit\n") == std::string::npos) {
                ssize_t n = read(c, buffer, sizeof buffer);
                if (n <= 0) break;
                got.append(buffer, static_cast<std::size_t>(n));
            }
            close(c);
            std::lock_guard<std::mutex> lock(mutex_);
            ++sessions_;
            changed_.notify_all();
        }
    }
    int fd_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    long sessions_ = 0;
};

struct Forwarded {
    long datagrams;
    double wall, cpu;  // seconds in all
    std::string command_file;
};

constexpr long burst_size = 100, bursts = 2, rounds = 11;

Forwarded forward_mode(Server& server, const std::string& option) {
    std::string dir = fresh_dir("mode" + option);
    pid_t pid = spawn({build + "/qlfwd", option + "127.0.0.1", dir});
    wait_bound();
    long base = server.sessions();
    auto start = Clock::now();
    for (long b = 1; b <= bursts; ++b) {
        sender(burst_size, 0);
        if (!server.wait_for(base + b * burst_size, 60s)) fail("mode " + option + ": sessions missing");
    }
    double wall = std::chrono::duration<double>(Clock::now() - start).count();
    kill(pid, SIGTERM);
    double cpu = reap(pid);
    return {bursts * burst_size, wall, cpu, dir + "Qln042-telnet.txt"};
}

Forwarded floor_nc(Server& server, const std::string& command_file, long count) {
    std::string copy = out + "/floor-commands.txt";
    std::filesystem::copy_file(command_file, copy, std::filesystem::copy_options::overwrite_existing);
    long base = server.sessions();
    auto start = Clock::now();
    double cpu = reap(spawn({build + "/floor_nc", copy, std::to_string(count)}));
    double wall = std::chrono::duration<double>(Clock::now() - start).count();
    if (server.sessions() - base != count) fail("floor: sessions missing");
    return {count, wall, cpu, copy};
}


void mode0_table() {
    constexpr int runs = 7;
    std::printf("\n## Mode 0 with -a, 120-byte datagrams from one device (%d runs each; CPU: the receiver's time on a CPU "
                "while it received, median)\n\n", runs);
    std::printf("| rate (datagrams/s) | receiver | sent | written | lost | CPU per datagram (us) | qlfwd / floor |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    struct Rate { long rate, count; };
    for (Rate r : {Rate{20000, 100000}, Rate{50000, 150000}, Rate{100000, 150000}, Rate{0, 200000}}) {
        std::vector<double> per[2];
        Mode0 last[2]{};
        long lost_worst[2] = {0, 0};
        for (int run = 0; run < runs; ++run) {
            for (int turn = 0; turn < 2; ++turn) {
                int which = (turn + run) % 2;  // alternate which goes first
                Mode0 m = mode0(build + (which == 0 ? "/qlfwd" : "/floor_receiver"), r.count, r.rate);
                per[which].push_back(m.cpu / std::max(1L, m.written) * 1e6);
                lost_worst[which] = std::max(lost_worst[which], m.sent - m.written);
                last[which] = m;
            }
        }
        double q = median(per[0]), f = median(per[1]);
        std::string rate = r.rate == 0 ? "flat out" : std::to_string(r.rate);
        std::printf("| %s | qlfwd | %ld | %ld | %ld (worst of %d: %ld) | %.2f | %.3f |\n", rate.c_str(), last[0].sent,
                    last[0].written, last[0].sent - last[0].written, runs, lost_worst[0], q, q / f);
        std::printf("| %s | floor | %ld | %ld | %ld (worst of %d: %ld) | %.2f | |\n", rate.c_str(), last[1].sent,
                    last[1].written, last[1].sent - last[1].written, runs, lost_worst[1], f);
        std::fflush(stdout);
    }
}

void allocation_table() {
    std::string shim = build + "/libcount_alloc.so";
    std::string counted = out + "/allocations";
    auto allocations = [&](long count) {
        Mode0 m = mode0(build + "/qlfwd", count, 20000, {"LD_PRELOAD=" + shim, "QLFWD_ALLOC_COUNT=" + counted});
        if (m.written != count) fail("allocation run lost datagrams");
        std::ifstream in(counted);
        long n = -1;
        in >> n;
        return n;
    };
    long a = allocations(10000), b = allocations(20000);
    std::printf("\n## Heap allocations in mode 0 (-a), counting malloc shim\n\n");
    std::printf("| datagrams | allocations in the whole run |\n|---|---|\n");
    std::printf("| 10000 | %ld |\n| 20000 | %ld |\n", a, b);
    std::printf("\nPer datagram: (%ld - %ld) / 10000 = %g\n", b, a, static_cast<double>(b - a) / 10000);
    std::fflush(stdout);
}

void forwarding_table() {
    Server server;
    std::printf("\n## Modes 1 and 2, real nc against a stand-in server (%ld rounds, each %ld bursts of %ld "
                "datagrams, then as many bare runs; medians)\n\n", rounds, bursts, burst_size);
    std::printf("| mode | what | datagrams | datagrams/s | wall per datagram (ms) | CPU per datagram (ms) | "
                "wall ratio | CPU ratio |\n|---|---|---|---|---|---|---|---|\n");
    for (std::string option : {"-t", "-T"}) {
        std::vector<double> wall[2], cpu[2];
        Forwarded warm = forward_mode(server, option);  // caches warm, command file made
        floor_nc(server, warm.command_file, 50);
        for (long r = 0; r < rounds; ++r) {
            // Which goes first alternates, so that neither gains from the order.
            Forwarded q{}, f{};
            if (r % 2 == 0) {
                q = forward_mode(server, option);
                f = floor_nc(server, q.command_file, q.datagrams);
            } else {
                f = floor_nc(server, warm.command_file, bursts * burst_size);
                q = forward_mode(server, option);
            }
            wall[0].push_back(q.wall / q.datagrams);
            cpu[0].push_back(q.cpu / q.datagrams);
            wall[1].push_back(f.wall / f.datagrams);
            cpu[1].push_back(f.cpu / f.datagrams);
        }
        long n = rounds * bursts * burst_size;
        double qw = median(wall[0]), qc = median(cpu[0]), fw = median(wall[1]), fc = median(cpu[1]);
        std::printf("| %s | qlfwd | %ld | %.0f | %.3f | %.3f | %.3f | %.3f |\n", option.c_str(), n, 1 / qw, qw * 1e3,
                    qc * 1e3, qw / fw, qc / fc);
        std::printf("| %s | bare nc start-and-wait | %ld | %.0f | %.3f | %.3f | | |\n", option.c_str(), n, 1 / fw,
                    fw * 1e3, fc * 1e3);
        std::fflush(stdout);
    }
}

struct BurstCase {
    const char* mode;  // "" for mode 0, else "-t" or "-T"
    long count, sources;
};

// One burst from many sources at once; what reached its end (records in mode
// 0, sessions at the server in modes 1 and 2) and what the kernel dropped.
std::pair<long, long> burst(Server& server, const BurstCase& c, bool requested) {
    std::string dir = fresh_dir("burst");
    std::vector<std::string> args{build + "/qlfwd", "-a", dir};
    if (*c.mode) args = {build + "/qlfwd", std::string(c.mode) + "127.0.0.1", dir};
    // The default queue: a socket handed over as the manager binds it without ReceiveBuffer=.
    int endpoint = requested ? -1 : bound_endpoint(0);
    pid_t pid = spawn(args, {}, endpoint);
    wait_bound();
    long drops = udp_state().drops, base = server.sessions();
    sender(c.count, 0, "127.0.1.1", c.sources);
    wait_drained();
    std::this_thread::sleep_for(500ms);
    drops = udp_state().drops - drops;
    kill(pid, SIGTERM);
    reap(pid);
    if (endpoint >= 0) close(endpoint);
    return {*c.mode ? server.sessions() - base : count_lines(dir), drops};
}

void burst_table() {
    Server server;
    std::printf("\n## Bursts: every datagram sent at once from many source addresses\n\n");
    std::printf("| mode | datagrams | sources | receive queue | arrived | dropped by the kernel (queue full) |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (BurstCase c : {BurstCase{"", 10000, 250}, BurstCase{"-t", 2000, 100}, BurstCase{"-T", 2000, 100}}) {
        for (bool requested : {false, true}) {
            auto [arrived, dropped] = burst(server, c, requested);
            std::printf("| %s | %ld | %ld | %s | %ld | %ld |\n", *c.mode ? c.mode : "0 (-a)", c.count, c.sources,
                        requested ? "8 MiB (qlfwd's own)" : "system default", arrived, dropped);
            std::fflush(stdout);
        }
    }
}

// Numbered datagrams at a steady rate while the receiver on a handed-over
// socket is stopped and started again twice.
void restart_table() {
    constexpr long rate = 2000, count = 6000;
    std::printf("\n## Restarts: %ld numbered datagrams at %ld/s, qlfwd stopped (SIGTERM) and started again twice on "
                "a handed-over socket with an 8 MiB queue\n\n", count, rate);
    std::printf("| sent | recorded | each number once, in order | dropped by the kernel |\n|---|---|---|---|\n");
    std::string dir = fresh_dir("restart");
    int endpoint = bound_endpoint(requested_buffer);
    std::vector<std::string> args{build + "/qlfwd", "-a", dir};
    pid_t pid = spawn(args, {}, endpoint);
    std::thread send([&] { sender(count, rate, "127.0.0.42", 1, true); });
    for (int restart = 0; restart < 2; ++restart) {
        std::this_thread::sleep_for(1000ms);
        kill(pid, SIGTERM);
        reap(pid);
        std::this_thread::sleep_for(100ms);  // nobody receives meanwhile
        pid = spawn(args, {}, endpoint);
    }
    send.join();
    wait_drained();
    kill(pid, SIGTERM);
    reap(pid);
    std::ifstream in(dir + "Qln042.txt");
    std::string line;
    long recorded = 0;
    bool in_order = true;
    while (std::getline(in, line)) {
        ++recorded;
        in_order = in_order && line.size() >= 8 && std::stol(line.substr(line.size() - 8)) == recorded;
    }
    std::printf("| %ld | %ld | %s | %ld |\n", count, recorded, in_order && recorded == count ? "yes" : "no",
                udp_state().drops);
    close(endpoint);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) fail("usage: bench BUILD_DIR OUTPUT_DIR [mode0|allocations|forwarding|burst|restart]...");
    build = argv[1];
    out = argv[2];
    std::vector<std::string> sections(argv + 3, argv + argc);
    auto wanted = [&](const char* name) {
        return sections.empty() || std::find(sections.begin(), sections.end(), name) != sections.end();
    };
    std::printf("# qlfwd benchmark\n");
    if (wanted("mode0")) mode0_table();
    if (wanted("allocations")) allocation_table();
    if (wanted("forwarding")) forwarding_table();
    if (wanted("burst")) burst_table();
    if (wanted("restart")) restart_table();
    std::filesystem::remove_all(out + "/mode0");
    return 0;
}
