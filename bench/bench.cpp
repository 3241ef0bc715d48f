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
#include <tuple>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/support.hpp"

using namespace bench;

namespace {

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

// Mode 0 with -a against the earlier qlfwd that QLFWD_BASELINE names (the one
// before the sync once a second), on the tmpfs and on the disk.
void sync_table() {
    const char* base = std::getenv("QLFWD_BASELINE");
    if (base == nullptr) fail("the sync section compares with QLFWD_BASELINE, an earlier qlfwd");
    constexpr int runs = 7;
    std::printf("\n## Mode 0 with -a at 20000/s, this qlfwd (a sync a second) against the earlier one (%d runs, "
                "median CPU per datagram)\n\n| file system | this (us) | earlier (us) | this / earlier |\n"
                "|---|---|---|---|\n", runs);
    std::string disk = fresh_dir("qlfwd-bench-sync", "/var/tmp");
    for (auto [name, where, count] : {std::tuple{"tmpfs", out, 100000L}, std::tuple{"disk (/var/tmp)", disk, 40000L}}) {
        std::vector<double> per[2];
        for (int run = 0; run < runs; ++run) {
            for (int turn = 0; turn < 2; ++turn) {
                int which = (turn + run) % 2;
                Mode0 m = mode0(which == 0 ? build + "/qlfwd" : std::string(base), count, 20000, {}, true, where);
                per[which].push_back(m.cpu / std::max(1L, m.written) * 1e6);
            }
        }
        double now = median(per[0]), before = median(per[1]);
        std::printf("| %s | %.2f | %.2f | %.3f |\n", name, now, before, now / before);
        std::fflush(stdout);
    }
    std::filesystem::remove_all(disk);
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
// 0, sessions at the server in modes 1 and 2, once the queue is empty) and
// what the kernel dropped.
std::pair<long, long> burst(Server& server, const BurstCase& c, bool requested) {
    std::string dir = fresh_dir("burst");
    std::vector<std::string> args{build + "/qlfwd", "-a", dir};
    if (*c.mode) args = {build + "/qlfwd", std::string(c.mode) + "127.0.0.1", dir};
    // The default queue: a socket handed over as the manager binds it without ReceiveBuffer=.
    int endpoint = requested ? -1 : bound_endpoint(0);
    Notify notify;
    pid_t pid = spawn(args, {notify.variable()}, endpoint);
    wait_bound();
    long drops = udp_state().drops, base = server.sessions();
    sender(c.count, 0, "127.0.1.1", c.sources);
    wait_drained();
    drops = udp_state().drops - drops;  // counted as they came
    if (*c.mode && !until([&] {
            return notify.received() == c.count - drops && notify.status().ends_with(", 0 in Warteschlange");
        }, 300s))
        fail(std::string("burst ") + c.mode + ": the queue did not empty: " + notify.status());
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
    for (BurstCase c : {BurstCase{"", 10000, 250}, BurstCase{"-t", 2000, 100}, BurstCase{"-T", 2000, 100},
                        BurstCase{"-t", 10000, 250}, BurstCase{"-T", 10000, 250}}) {
        for (bool requested : {false, true}) {
            if (c.count == 10000 && *c.mode && !requested) continue;
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
    if (argc < 3) fail("usage: bench BUILD_DIR OUTPUT_DIR [mode0|allocations|forwarding|burst|restart|outage|hung|overwrite|"
             "readers|stamps|floor|upkeep|sync|mqtt]...");
    build = argv[1];
    out = argv[2];
    std::vector<std::string> sections(argv + 3, argv + argc);
    auto wanted = [&](const char* name) {
        return sections.empty() || std::find(sections.begin(), sections.end(), name) != sections.end();
    };
    std::printf("# qlfwd benchmark\n");
    if (wanted("mode0")) mode0_table();
    if (wanted("allocations")) allocation_table();
    if (std::find(sections.begin(), sections.end(), "sync") != sections.end()) sync_table();
    if (wanted("forwarding")) forwarding_table();
    if (wanted("burst")) burst_table();
    if (wanted("restart")) restart_table();
    if (wanted("outage")) outage_table();
    if (wanted("hung")) hung_table();
    if (wanted("overwrite")) overwrite_table();
    if (wanted("readers")) readers_table();
    if (wanted("stamps")) stamps_table();
    if (wanted("floor")) floor_table();
    if (wanted("upkeep")) upkeep_table();
    if (wanted("mqtt")) mqtt_table();
    if (wanted("mqtt-cpu")) mqtt_cpu_table();
    if (wanted("mqtt-instructions")) mqtt_instructions_table();
    if (wanted("discovery")) discovery_table();
    std::filesystem::remove_all(out + "/mode0");
    return 0;
}
