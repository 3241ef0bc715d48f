// What readers of the output find, and what it costs: files replaced whole,
// stamps of datagrams that waited, the floor of free space. With QLFWD_BASELINE
// naming an earlier qlfwd binary, its figures stand beside this one's.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "bench/support.hpp"
#include "sender/datagram.hpp"

namespace bench {

namespace {

// This qlfwd, and the earlier one where QLFWD_BASELINE names it.
std::vector<std::pair<std::string, std::string>> receivers() {
    std::vector<std::pair<std::string, std::string>> all{{"qlfwd", build + "/qlfwd"}};
    if (const char* base = std::getenv("QLFWD_BASELINE")) all.emplace_back("earlier qlfwd", base);
    return all;
}

std::string stamp_of(std::time_t t) {
    std::tm local;
    localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y.%m.%d_%H:%M:%S", &local);
    return text;
}

struct Space {
    unsigned long long free_blocks, floor_blocks, free_files, floor_files, block;
};

Space space_of(const std::string& dir) {
    struct statvfs st {};
    if (statvfs(dir.c_str(), &st) != 0) fail("statvfs " + dir);
    return {st.f_bfree, (st.f_blocks * 5 + 99) / 100, st.f_ffree, (st.f_files * 5 + 99) / 100, st.f_frsize};
}

}  // namespace

void overwrite_table() {
    constexpr int runs = 7;
    // The tmpfs, where a file's cost is nearly all system calls, and the disk
    // that /var/tmp is on, as a site's card or disk is.
    struct Place {
        const char* name;
        std::string base;
        long count, rate;
    } places[] = {{"tmpfs", out, 100000, 20000}, {"disk (/var/tmp)", "/var/tmp/qlfwd-bench", 10000, 2000}};
    std::printf("\n## Mode 0, replacing the files (no -a) against appending, from one device (%d runs, median CPU "
                "per datagram)\n\n", runs);
    std::printf("| file system | datagrams at rate/s | receiver | files | CPU per datagram (us) | against the floor "
                "receiver replacing by truncation |\n|---|---|---|---|---|---|\n");
    for (const Place& p : places) {
        auto per = [&](const std::string& binary, bool append) {
            std::vector<double> v;
            for (int r = 0; r < runs; ++r) {
                Mode0 m = mode0(binary, p.count, p.rate, {}, append, p.base);
                v.push_back(m.cpu / std::max(1L, m.written) * 1e6);
            }
            return median(v);
        };
        std::string load = std::to_string(p.count) + " at " + std::to_string(p.rate);
        double floor = per(build + "/floor_receiver", false);
        for (auto& [name, binary] : receivers()) {
            double replaced = per(binary, false), appended = per(binary, true);
            std::printf("| %s | %s | %s | replaced | %.2f | %.3f |\n", p.name, load.c_str(), name.c_str(), replaced,
                        replaced / floor);
            std::printf("| %s | %s | %s | appended (-a) | %.2f | |\n", p.name, load.c_str(), name.c_str(), appended);
        }
        std::printf("| %s | %s | floor receiver | truncated and written (open, write, fchmod, close) | %.2f | 1 |\n",
                    p.name, load.c_str(), floor);
        std::fflush(stdout);
        if (p.base != out) std::filesystem::remove_all(p.base);
    }
}

void readers_table() {
    constexpr long reads_wanted = 1000000;
    std::printf("\n## A reader racing the writer: %ld reads (open, read, close) of a record file replaced at "
                "1000/s\n\n", reads_wanted);
    std::printf("| receiver | reads | empty | partial | whole |\n|---|---|---|---|---|\n");
    for (auto& [name, binary] : receivers()) {
        std::string dir = fresh_dir("readers");
        pid_t pid = spawn({binary, dir});
        wait_bound();
        pid_t send = spawn({build + "/qlsend", "-q", "-s", "127.0.0.42", "-n", "600000", "-r", "1000", "-i", "-t",
                            text120.substr(0, 112)});
        std::string file = dir + "Qln042.txt";
        until([&] { return std::filesystem::exists(file); }, 5s);
        const std::size_t whole_size = 19 + 17 + 112 + 8;
        long reads = 0, empty = 0, partial = 0;
        char buffer[512];
        while (reads < reads_wanted) {
            int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) continue;
            ssize_t n = read(fd, buffer, sizeof buffer);
            close(fd);
            ++reads;
            if (n == 0) ++empty;
            else if (n != static_cast<ssize_t>(whole_size)) ++partial;
        }
        kill(send, SIGTERM);
        reap(send);
        kill(pid, SIGTERM);
        reap(pid);
        std::printf("| %s | %ld | %ld (%.3f %%) | %ld | %ld |\n", name.c_str(), reads, empty, 100.0 * empty / reads,
                    partial, reads - empty - partial);
        std::fflush(stdout);
    }
}

void stamps_table() {
    constexpr long count = 100;
    std::printf("\n## Stamps of datagrams that waited: the receiver stopped (SIGSTOP) 4 s while %ld datagrams "
                "arrive within 1 s\n\n", count);
    std::printf("| receiver | records | stamped in the second they were sent | stamped later | latest stamp, "
                "seconds after the last was sent |\n|---|---|---|---|---|\n");
    for (auto& [name, binary] : receivers()) {
        std::string dir = fresh_dir("stamps");
        pid_t pid = spawn({binary, "-a", dir});
        wait_bound();
        kill(pid, SIGSTOP);
        std::time_t first = std::time(nullptr);
        sender(count, count, "127.0.0.42", 1, true);
        std::time_t last = std::time(nullptr);
        std::this_thread::sleep_until(Clock::now() + 4s);
        kill(pid, SIGCONT);
        until([&] { return count_lines(dir) >= count; }, 10s);
        kill(pid, SIGTERM);
        reap(pid);
        std::set<std::string> sending;
        for (std::time_t t = first; t <= last; ++t) sending.insert(stamp_of(t));
        std::ifstream in(dir + "Qln042.txt");
        std::string line;
        long records = 0, right = 0;
        std::string latest;
        while (std::getline(in, line)) {
            ++records;
            std::string stamp = line.substr(0, 19);
            right += sending.count(stamp);
            latest = std::max(latest, stamp);
        }
        long late = 0;
        for (std::time_t t = last; t <= last + 10; ++t)
            if (stamp_of(t) == latest) late = static_cast<long>(t - last);
        std::printf("| %s | %ld | %ld | %ld | %ld |\n", name.c_str(), records, right, records - right, late);
        std::fflush(stdout);
    }
}

// The flood: datagrams as fast as rate allows into a small tmpfs, the free
// space sampled every millisecond meanwhile.
void floor_case(const char* what, const std::string& options, long count, long rate, bool labels) {
    std::string dir = out + "/floor/";
    std::filesystem::create_directories(dir);
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) != 0) fail("mount tmpfs " + options);
    Notify notify;
    pid_t pid = spawn({build + "/qlfwd", "-a", dir}, {notify.variable()});
    wait_bound();
    Space at_start = space_of(dir);
    std::atomic<bool> flooding{true};
    long long least_blocks = static_cast<long long>(at_start.free_blocks);
    long long least_files = static_cast<long long>(at_start.free_files);
    std::thread watch([&] {
        while (flooding) {
            Space s = space_of(dir);
            least_blocks = std::min(least_blocks, static_cast<long long>(s.free_blocks));
            least_files = std::min(least_files, static_cast<long long>(s.free_files));
            std::this_thread::sleep_for(1ms);
        }
    });
    auto began = Clock::now();
    if (labels) {
        // A sender that invents a label for every datagram: every one a new file.
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in from{}, to{};
        from.sin_family = to.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.42", &from.sin_addr);
        inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
        to.sin_port = htons(60096);
        if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) fail("bind 127.0.0.42");
        for (long i = 0; i < count; ++i) {
            char label[9];
            std::snprintf(label, sizeof label, "L%07ld", i % 10000000);
            std::string d = ql::long_datagram(label, ",new,label");
            sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            std::this_thread::sleep_until(began + std::chrono::microseconds(1000000 * (i + 1) / rate));
        }
        close(fd);
    } else {
        sender(count, rate);
    }
    wait_drained();
    std::this_thread::sleep_for(1500ms);  // the last counts are published
    flooding = false;
    watch.join();
    std::string status = notify.status();
    kill(pid, SIGTERM);
    reap(pid);
    long received = 0, handed = 0, dropped = 0, lost = 0, failed = 0;
    std::sscanf(status.c_str(), "%ld empfangen, %ld weitergegeben, %ld verworfen, %ld verloren, %ld Ausgabefehler",
                &received, &handed, &dropped, &lost, &failed);
    Space end = space_of(dir);
    std::printf("| %s | %ld | %ld | %ld | %ld | %lld blocks (floor %llu) | %lld inodes (floor %llu) | %s |\n", what,
                count, received, handed, failed, least_blocks, end.floor_blocks, least_files, end.floor_files,
                received == handed + dropped + failed && lost == 0 ? "yes" : "no");
    std::fflush(stdout);
    umount(dir.c_str());
}

void floor_table() {
    std::printf("\n## The floor of free space: floods with -a into a small tmpfs (free space sampled every "
                "millisecond meanwhile)\n\n");
    std::printf("| flood | sent | empfangen | weitergegeben | Ausgabefehler | least free blocks | least free inodes | "
                "counts add up, none lost |\n|---|---|---|---|---|---|---|---|\n");
    floor_case("one device, 30,000/s, 16 MiB tmpfs", "size=16m", 150000, 30000, false);
    floor_case("4,000 new labels, 3,000 inodes", "size=64m,nr_inodes=3000", 4000, 4000, true);
}

}  // namespace bench
