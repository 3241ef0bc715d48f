// The delivery queue's upkeep beside reception: a full 64 MiB queue compacted
// while its writes go at a card's pace, and datagrams keep arriving.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "bench/support.hpp"
#include "delivery/queue_entry.hpp"
#include "delivery/queue_file.hpp"

namespace bench {

void upkeep_table() {
    constexpr long rate = 1000, seconds = 20;
    const long card_bytes_per_s = std::getenv("CARD") ? std::atol(std::getenv("CARD")) : 10000000;
    std::printf("\n## A queue of 54 MiB compacted while its writes go at %ld MB/s (a stand-in for a card's pace), "
                "%ld datagrams/s arriving for %ld s (-t, a stand-in nc that takes each text at once)\n\n",
                card_bytes_per_s / 1000000, rate, seconds);
    std::printf("| queue file replaced (compactions) | longest away from the socket (ms) | stretches over 50 ms | "
                "sent | dropped by the kernel | status at the end |\n|---|---|---|---|---|---|\n");
    std::string dir = fresh_dir("upkeep");
    // Texts of 48 KiB up to 10 MiB short of the bound (room for what arrives
    // meanwhile): a quarter is delivered within a second, then the rest is
    // copied while delivery and reception go on.
    {
        std::ofstream queue(dir + ".qlfwd-queue", std::ios::binary);
        std::uint64_t size = 0;
        for (int i = 0; size + (ql::entry_header_size + 49152) <= ql::queue_bytes_max - (10 << 20); ++i) {
            std::string text = "{ Qln001(\"f," + std::to_string(i) + "\") } " + std::string(49152 - 40, 'x') + "\r\nquit\n";
            char header[ql::entry_header_size];
            ql::entry_header(header, text.data(), text.size());
            queue.write(header, sizeof header).write(text.data(), static_cast<std::streamsize>(text.size()));
            size += sizeof header + text.size();
        }
    }
    std::string bin = dir + "bin";
    mkdir(bin.c_str(), 0755);
    {
        std::ofstream nc(bin + "/nc");
        nc << "#!/bin/sh\nexec cat >/dev/null\n";
    }
    chmod((bin + "/nc").c_str(), 0755);
    std::string away = dir + "away";
    int endpoint = bound_endpoint(requested_buffer);
    long drops = udp_state().drops;
    Notify notify;
    // PATH through a shell of its own: the one that hands the socket over keeps the system's.
    pid_t pid = spawn({"/bin/sh", "-c", "PATH=" + bin + ":$PATH exec \"$0\" \"$@\"", build + "/qlfwd", "-t127.0.0.1", dir},
                      {notify.variable(), "LD_PRELOAD=" + build + "/libslow_disk.so",
                       "QLFWD_SLOW_BYTES_PER_S=" + std::to_string(card_bytes_per_s), "QLFWD_AWAY_FILE=" + away},
                      endpoint);
    auto started = Clock::now();
    double sending = 0;
    std::thread send([&] {
        sender(rate * seconds, rate, "127.0.1.1", 20, true);
        sending = std::chrono::duration<double>(Clock::now() - started).count();
    });
    struct stat st {};
    stat((dir + ".qlfwd-queue").c_str(), &st);
    ino_t inode = st.st_ino;
    int replaced = 0;
    auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
        if (stat((dir + ".qlfwd-queue").c_str(), &st) == 0 && st.st_ino != inode) {
            ++replaced;
            inode = st.st_ino;
        }
        (void)notify.status();  // read as a manager does, so that the newest line gets through
        std::this_thread::sleep_for(5ms);
    }
    send.join();
    bool drained = until([] { return udp_state().rx_queue == 0; }, 60s);
    for (int i = 0; i < 300; ++i) {  // the status line comes once a second
        (void)notify.status();
        std::this_thread::sleep_for(5ms);
    }
    std::string status = notify.status();
    std::printf("(sending took %.1f s, %s)\n", sending, drained ? "drained" : "not drained in 60 s");
    kill(pid, SIGTERM);
    reap(pid);
    close(endpoint);
    long long longest = -1, over = -1;
    std::ifstream(away) >> longest >> over;
    std::printf("| %d | %.1f | %lld | %ld | %ld | %s |\n", replaced, longest / 1000.0, over, rate * seconds,
                udp_state().drops - drops, status.c_str());
    std::fflush(stdout);
}

}  // namespace bench
