// The delivery of modes 1 and 2 when the command server is away or hung.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <thread>

#include "bench/support.hpp"

namespace bench {

namespace {

constexpr long away_seconds = 30, devices = 20, per_device_rate = 10;
constexpr long away_count = away_seconds * devices * per_device_rate;

}  // namespace

void outage_table() {
    std::printf("\n## The command server away %ld s while %ld devices send %ld/s each (%ld numbered datagrams), "
                "real nc, socket handed over with an 8 MiB queue\n\n",
                away_seconds, devices, per_device_rate, away_count);
    std::printf("| mode | qlfwd restarted while away | sent | delivered | each once, in arrival order | "
                "dropped by the kernel | from the server's return to an empty queue (s) |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    for (bool restarts : {false, true}) {
        for (std::string option : {"-t", "-T"}) {
            std::string dir = fresh_dir("outage");
            int endpoint = bound_endpoint(requested_buffer);
            std::vector<std::string> args{build + "/qlfwd", option + "127.0.0.1", dir};
            long drops = udp_state().drops;
            pid_t pid = spawn(args, {}, endpoint);
            std::thread send([] { sender(away_count, devices * per_device_rate, "127.0.1.1", devices, true); });
            if (restarts) {
                for (int i = 0; i < 2; ++i) {
                    std::this_thread::sleep_for(std::chrono::seconds(away_seconds / 3));
                    kill(pid, SIGTERM);
                    reap(pid);
                    pid = spawn(args, {}, endpoint);
                }
            }
            send.join();
            auto back = Clock::now();
            Server server;
            bool all = server.wait_for(away_count, 120s);
            double drain = std::chrono::duration<double>(Clock::now() - back).count();
            std::this_thread::sleep_for(500ms);  // nothing more comes
            kill(pid, SIGTERM);
            reap(pid);
            close(endpoint);
            std::printf("| %s | %s | %ld | %ld | %s | %ld | %s |\n", option.c_str(), restarts ? "twice" : "no",
                        away_count, server.sessions(), server.numbered_once_in_order(away_count) ? "yes" : "no",
                        udp_state().drops - drops, all ? std::to_string(drain).substr(0, 5).c_str() : "not empty");
            std::fflush(stdout);
        }
    }
}

void hung_table() {
    constexpr long count = 2000, sources = 100;
    std::printf("\n## The command server hung %ld s (accepts, never closes) while a burst of %ld arrives from %ld "
                "devices (-T, real nc)\n\n", away_seconds, count, sources);
    std::printf("| sent | received | \"empfangen\" reached %ld after the burst (s) | dropped by the kernel | "
                "delivered after the server recovered | given up (runs ended at 10 s) | each once, in order |\n",
                count);
    std::printf("|---|---|---|---|---|---|---|\n");
    std::string dir = fresh_dir("hung");
    Notify notify;
    auto server = std::make_unique<Server>(true);
    long drops = udp_state().drops;
    pid_t pid = spawn({build + "/qlfwd", "-T127.0.0.1", dir}, {notify.variable()});
    wait_bound();
    auto began = Clock::now();
    sender(count, 0, "127.0.1.1", sources, true);
    auto sent = Clock::now();
    until([&] { return notify.received() >= count; }, 20s);
    double received_after = std::chrono::duration<double>(Clock::now() - sent).count();
    long received = notify.received();
    std::this_thread::sleep_until(began + std::chrono::seconds(away_seconds));
    server.reset();
    server = std::make_unique<Server>();
    until([&] { return notify.status().ends_with(", 0 in Warteschlange"); }, 120s);
    kill(pid, SIGTERM);
    reap(pid);
    long delivered = server->sessions(), first = 0;
    bool in_order = server->consecutive(first);
    std::printf("| %ld | %ld | %.2f | %ld | %ld | %ld | %s, numbers %ld to %ld |\n", count, received, received_after,
                udp_state().drops - drops, delivered, count - delivered, in_order ? "yes" : "no", first,
                first + delivered - 1);
    std::printf("\nStatus line at the end: \"%s\"\n", notify.status().c_str());
    std::fflush(stdout);
}

}  // namespace bench
