#include "tests/mqtt_support.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>

#include "tests/e2e_support.hpp"
#include "tests/pattern.hpp"

extern char** environ;

namespace e2e {

namespace {

constexpr char broker_program[] = "/usr/sbin/mosquitto";

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool accepts(unsigned port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

int wait_for(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::string mqtt_tools_missing() {
    if (access(broker_program, X_OK) != 0) return std::string(broker_program) + " is not installed";
    for (const char* tool : {"mosquitto_sub", "mosquitto_pub", "mosquitto_passwd", "openssl"})
        if (wait_for({"sh", "-c", std::string("command -v ") + tool}) != 0) return std::string(tool) + " is not installed";
    return "";
}

Child::Child(const std::vector<std::string>& argv, const std::string& out_path, const std::vector<std::string>& env) {
    std::vector<std::string> copy = argv;
    std::vector<char*> args;
    for (auto& a : copy) args.push_back(a.data());
    args.push_back(nullptr);
    std::vector<std::string> vars;
    for (char** e = environ; *e != nullptr; ++e) vars.emplace_back(*e);
    vars.insert(vars.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& v : vars) envp.push_back(v.data());
    envp.push_back(nullptr);
    int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    pid_ = fork();
    if (pid_ == 0) {
        int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        dup2(out_fd, 1);
        dup2(out_fd, 2);
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(out_fd);
}

Child::~Child() { end(); }

Child::Child(Child&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }

Child& Child::operator=(Child&& other) noexcept {
    end();
    pid_ = other.pid_;
    other.pid_ = -1;
    return *this;
}

void Child::signal(int sig) const {
    if (pid_ > 0) kill(pid_, sig);
}

void Child::end(std::chrono::milliseconds limit) {
    if (pid_ <= 0) return;
    kill(pid_, SIGCONT);
    kill(pid_, SIGTERM);
    if (!eventually([&] { return waitpid(pid_, nullptr, WNOHANG) == pid_; }, limit)) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
}

Broker::Broker(const TempDir& dir, unsigned port, std::vector<std::string> conf) : port_(port) {
    std::string tag = std::to_string(port);
    conf_path_ = dir / ("mosquitto-" + tag + ".conf");
    log_path_ = dir / ("mosquitto-" + tag + ".log");
    std::ofstream out(conf_path_);
    out << "listener " << port << " 127.0.0.1\n"
        << "user root\n"
        << "persistence true\n"
        << "persistence_location " << dir.path() << "/\n"
        << "persistence_file mosquitto-" << tag << ".db\n";
    bool anonymous = true;
    for (const auto& line : conf) {
        out << line << "\n";
        if (line.starts_with("password_file")) anonymous = false;
    }
    if (anonymous) out << "allow_anonymous true\n";
}

bool Broker::start() {
    process_ = Child({broker_program, "-c", conf_path_}, log_path_);
    return eventually([&] { return accepts(port_); }, 10000ms);
}

void Broker::stop() { process_.end(); }

std::string Broker::log() const { return read_all(log_path_); }

Subscriber::Subscriber(const TempDir& dir, std::vector<std::string> topics, unsigned port, bool persistent,
                       std::vector<std::string> extra)
    : port_(port) {
    static int serial = 0;
    out_path_ = dir / ("subscriber-" + std::to_string(serial++) + ".txt");
    std::vector<std::string> argv{"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port), "-q", "1", "-v",
                                  "-t", "qlfwd-probe"};
    if (persistent) argv.insert(argv.end(), {"-c", "-i", "qlfwd-test-subscriber"});
    for (const auto& t : topics) argv.insert(argv.end(), {"-t", t});
    argv.insert(argv.end(), extra.begin(), extra.end());
    process_ = Child(argv, out_path_);
}

bool Subscriber::ready(std::chrono::milliseconds limit) {
    return eventually(
        [&] {
            publish("qlfwd-probe", "probe", port_);
            return read_all(out_path_).find("qlfwd-probe probe") != std::string::npos;
        },
        limit);
}

std::vector<std::string> Subscriber::lines() const {
    std::vector<std::string> got;
    std::istringstream in(read_all(out_path_));
    std::string line;
    while (std::getline(in, line))
        if (!line.starts_with("qlfwd-probe ")) got.push_back(line);
    return got;
}

bool Subscriber::wait_lines(std::size_t count, std::chrono::milliseconds limit) const {
    return eventually([&] { return lines().size() >= count; }, limit);
}

bool publish(const std::string& topic, const std::string& payload, unsigned port, bool retain) {
    std::vector<std::string> argv{"mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(port), "-q", "1",
                                  "-t", topic, "-m", payload};
    if (retain) argv.push_back("-r");
    return wait_for(argv) == 0;
}

std::vector<std::string> retained(const TempDir& dir, const std::vector<std::string>& topics, unsigned port) {
    static int serial = 0;
    std::string out = dir / ("retained-" + std::to_string(serial++) + ".txt");
    std::vector<std::string> argv{"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port), "-v",
                                  "--retained-only", "-t", "qlfwd-probe"};
    for (const auto& t : topics) argv.insert(argv.end(), {"-t", t});
    pid_t pid = -1;
    {
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        pid = fork();
        if (pid == 0) {
            dup2(out_fd, 1);
            execvp(args[0], args.data());
            _exit(127);
        }
        close(out_fd);
    }
    // The first message not retained ends it: everything retained came before.
    bool ended = eventually(
        [&] {
            publish("qlfwd-probe", "probe", port);
            return waitpid(pid, nullptr, WNOHANG) == pid;
        },
        10000ms);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        ADD_FAILURE() << "mosquitto_sub --retained-only did not end";
    }
    std::vector<std::string> got;
    std::istringstream in(read_all(out));
    for (std::string line; std::getline(in, line);)
        if (!line.starts_with("qlfwd-probe ")) got.push_back(line);
    return got;
}

void send_datagrams(const std::string& source, const std::vector<std::string>& datagrams) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(60096);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
        ADD_FAILURE() << "cannot send from " << source;
        if (fd >= 0) close(fd);
        return;
    }
    // 2000 a second at most: the receiver's default queue holds more than that.
    auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        if (i % 100 == 0) std::this_thread::sleep_until(start + std::chrono::milliseconds(i / 2));
        sendto(fd, datagrams[i].data(), datagrams[i].size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    close(fd);
}

bool use_hosts_file(const TempDir& dir, const std::string& lines) {
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    if (access("/etc/hosts", F_OK) == 0) {
        std::string path = dir / "hosts";
        std::ofstream(path) << lines;
        return mount(path.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0;
    }
    // A root without one (a bare debootstrap): a copy of /etc with it, over /etc.
    std::string copy = dir / "etc";
    if (wait_for({"cp", "-a", "/etc/.", copy + "/"}) != 0) return false;
    std::ofstream(copy + "/hosts") << lines;
    return mount(copy.c_str(), "/etc", nullptr, MS_BIND, nullptr) == 0;
}

std::string untime(const std::string& text) {
    static const Pattern iso("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}[+-][0-9]{2}:[0-9]{2}");
    return iso.replace(unstamp(text), "TIME");
}

bool make_certificates(const TempDir& dir, const std::string& name, const std::string& alt_names) {
    std::string ca_key = dir / (name + "-ca.key"), ca = dir / (name + "-ca.crt");
    std::string key = dir / (name + ".key"), csr = dir / (name + ".csr"), crt = dir / (name + ".crt");
    std::string ext = dir / (name + ".ext");
    std::ofstream(ext) << "subjectAltName=" << alt_names << "\n";
    return wait_for({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                     "/CN=" + name + " test CA", "-keyout", ca_key, "-out", ca}) == 0 &&
           wait_for({"openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + name, "-keyout", key,
                     "-out", csr}) == 0 &&
           wait_for({"openssl", "x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial", "-days",
                     "2", "-extfile", ext, "-out", crt}) == 0;
}

}  // namespace e2e
