// What the benchmark's sections share: starting and reaping the programs, the
// port's state in /proc, the sender, and a stand-in command server.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

extern std::string build, out;  // the build directory; the output directory (a tmpfs)

[[noreturn]] void fail(const std::string& why);

// With listen_fd >= 0 the program gets that socket at descriptor 3 and the
// variables a service manager sets (LISTEN_PID through a shell that execs it).
pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& extra_env = {}, int listen_fd = -1);
// CPU seconds (user + system) of the process and of the children it waited for.
double reap(pid_t pid);
void run(const std::vector<std::string>& args);
// Seconds the process has run on a CPU, exactly (the scheduler's count).
double on_cpu(pid_t pid);

// The socket as a service manager binds it; buffer 0 keeps the system default.
int bound_endpoint(int buffer);
constexpr int requested_buffer = 8 << 20;

struct UdpState {
    bool bound = false;
    long rx_queue = 0;
    long drops = 0;
};
UdpState udp_state();

bool until(const std::function<bool()>& done, std::chrono::milliseconds limit);
void wait_bound();
// The queue is empty twice, 100 ms apart: everything received is processed
// (fails after 120 s).
void wait_drained();
long count_lines(const std::string& dir);
// An empty directory name under base (the tmpfs by default).
std::string fresh_dir(const std::string& name, const std::string& base = out);

// 120 bytes, short, no "qL=" at offset 12.
extern const std::string text120;
void sender(long count, long rate, const std::string& source = "127.0.0.42", long sources = 1, bool numbered = false);
double median(std::vector<double> v);

struct Mode0 {
    long sent, written, dropped;
    double cpu;  // seconds on a CPU while it received
};
// Mode 0 (with -a, or replacing the files), count datagrams at rate from one
// device, the files under base.
Mode0 mode0(const std::string& binary, long count, long rate, const std::vector<std::string>& env = {},
            bool append = true, const std::string& base = out);

// The stand-in command server on 127.0.0.1:7072: closes each connection once
// it has read "quit" (or, hung, never), and keeps the number at the end of
// each session's datagram (qlsend -i), in order.
class Server {
public:
    explicit Server(bool hung = false);
    ~Server();
    long sessions();
    bool wait_for(long count, std::chrono::milliseconds limit);
    // True when the sessions carried the numbers 1..count, each once, in order.
    bool numbered_once_in_order(long count);
    // True when they carried consecutive numbers, each once, in order; first is the first.
    bool consecutive(long& first);

private:
    void loop();
    int fd_;
    bool hung_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<long> numbers_;
    std::vector<int> held_;  // a hung server's connections
};

// A notification socket as a service manager has it: the receiver's counts.
class Notify {
public:
    Notify();
    ~Notify();
    std::string variable() const;  // NOTIFY_SOCKET=...
    // The newest status line, after reading what has come.
    const std::string& status();
    // The first number of the status line: empfangen.
    long received();

private:
    int fd_;
    std::string path_, status_;
};

// The sections in files of their own.
void outage_table();    // the command server away, or hung, while datagrams arrive
void hung_table();
void overwrite_table(); // mode 0's cost of replacing files whole
void readers_table();   // what a reader racing the writer finds
void stamps_table();    // stamps of datagrams that waited
void floor_table();     // the floor of free space under a flood
void upkeep_table();    // the queue compacted beside reception, at a card's pace
void mqtt_table();      // mode 3 against a real broker: flood, outages
void mqtt_cpu_table();  // mode 3's CPU per record against the floors
void mqtt_instructions_table();  // the same in instructions, which do not drift
void discovery_table(); // Home Assistant's discovery: at connect, the flood bound, its CPU

}  // namespace bench
