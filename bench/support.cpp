#include "bench/support.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "reception/udp_listing.hpp"
#include "sender/endpoint.hpp"

extern char** environ;

namespace bench {

std::string build, out;

namespace {
// Children still running: a failed bench takes them with it, or they would
// hold its output open and look like a hang.
std::set<pid_t> running;
}  // namespace

void fail(const std::string& why) {
    std::fprintf(stderr, "bench: %s\n", why.c_str());
    for (pid_t pid : running) kill(pid, SIGKILL);
    std::exit(1);
}

pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& extra_env, int listen_fd) {
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
    running.insert(pid);
    return pid;
}

// CPU seconds (user + system) of the process and of the children it waited for.
double reap(pid_t pid) {
    int status;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) fail("wait4");
    running.erase(pid);
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

UdpState udp_state() {
    ql::UdpLine line;
    if (!ql::find_udp_line(ql::udp_line_of_port, 60096, line)) return {};
    return UdpState{true, static_cast<long>(line.rx_queue), static_cast<long>(line.drops)};
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
    auto deadline = Clock::now() + 120s;
    while (Clock::now() < deadline) {
        until([] { return udp_state().rx_queue == 0; }, 60s);
        std::this_thread::sleep_for(100ms);
        if (udp_state().rx_queue == 0) return;
    }
    fail("the receive queue did not empty within 120 s");
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

std::string fresh_dir(const std::string& name, const std::string& base) {
    std::string dir = base + "/" + name + "/";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

const std::string text120 = [] {
    std::string t = "QLSEND T1,21.5,22.0,on,off,1013,45,ok";
    while (t.size() < 120) t += ",0";
    return t.substr(0, 120);
}();

void sender(long count, long rate, const std::string& source, long sources, bool numbered) {
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

// Seconds the process has run on a CPU, exactly (the scheduler's count, not
// the tick-sampled user and system times).
double on_cpu(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/schedstat");
    double ns = 0;
    stat >> ns;
    return ns / 1e9;
}


Mode0 mode0(const std::string& binary, long count, long rate, const std::vector<std::string>& env, bool append,
            const std::string& base) {
    std::string dir = fresh_dir("mode0", base);
    std::vector<std::string> args{binary, dir};
    if (append) args.insert(args.begin() + 1, "-a");
    pid_t pid = spawn(args, env);
    wait_bound();
    long drops_before = udp_state().drops;
    double cpu_before = on_cpu(pid);
    sender(count, rate);
    wait_drained();
    double cpu = on_cpu(pid) - cpu_before;
    long drops = udp_state().drops - drops_before;
    kill(pid, SIGTERM);
    reap(pid);
    return {count, append ? count_lines(dir) : count - drops, drops, cpu};
}

Server::Server(bool hung) : hung_(hung) {
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

Server::~Server() {
    stop_ = true;
    thread_.join();
    for (int c : held_) close(c);
    close(fd_);
}

long Server::sessions() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<long>(numbers_.size());
}

bool Server::wait_for(long count, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return static_cast<long>(numbers_.size()) >= count; });
}

bool Server::numbered_once_in_order(long count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (static_cast<long>(numbers_.size()) != count) return false;
    for (long i = 0; i < count; ++i)
        if (numbers_[static_cast<std::size_t>(i)] != i + 1) return false;
    return true;
}

bool Server::consecutive(long& first) {
    std::lock_guard<std::mutex> lock(mutex_);
    first = numbers_.empty() ? 0 : numbers_[0];
    for (std::size_t i = 0; i < numbers_.size(); ++i)
        if (numbers_[i] != first + static_cast<long>(i)) return false;
    return true;
}

void Server::loop() {
    static const std::regex number(R"((\d{8})[ \r])");
    while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        if (hung_) {  // takes the connection, never answers, never closes
            held_.push_back(c);
            continue;
        }
        std::string got;
        char buffer[65536];
        while (got.find("quit\n") == std::string::npos) {
            ssize_t n = read(c, buffer, sizeof buffer);
            if (n <= 0) break;
            got.append(buffer, static_cast<std::size_t>(n));
        }
        close(c);
        long last = -1;
        for (auto m = std::sregex_iterator(got.begin(), got.end(), number); m != std::sregex_iterator(); ++m)
            last = std::stol((*m)[1].str());
        std::lock_guard<std::mutex> lock(mutex_);
        numbers_.push_back(last);
        changed_.notify_all();
    }
}

Notify::Notify() {
    path_ = out + "/notify";
    unlink(path_.c_str());
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path_.c_str());
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) fail("notify socket");
}

Notify::~Notify() {
    close(fd_);
    unlink(path_.c_str());
}

std::string Notify::variable() const { return "NOTIFY_SOCKET=" + path_; }

const std::string& Notify::status() {
    char buffer[512];
    ssize_t n;
    while ((n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
        std::string m(buffer, static_cast<std::size_t>(n));
        if (m.rfind("STATUS=", 0) == 0) status_ = m.substr(7);
    }
    return status_;
}

long Notify::received() {
    const std::string& s = status();
    return s.empty() ? -1 : std::stol(s);
}

}  // namespace bench
