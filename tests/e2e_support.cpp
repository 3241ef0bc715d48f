#include "tests/e2e_support.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "common/notify.hpp"
#include "common/settings.hpp"
#include "reception/udp_listing.hpp"
#include "tests/command_checks.hpp"
#include "tests/pattern.hpp"

extern char** environ;

namespace e2e {

static bool write_text(const char* path, const std::string& text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

void prepare_namespaces() {
    if (geteuid() == 0) return;
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER) != 0) return;
    write_text("/proc/self/setgroups", "deny");
    write_text("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    write_text("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

bool mount_small_tmpfs(const std::string& path, const std::string& size) {
    if (unshare(CLONE_NEWNS) != 0) return false;
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    std::string options = size.find('=') == std::string::npos ? "size=" + size : size;
    return mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

std::string mount_ext4_image(const std::string& image, const std::string& path, unsigned size_mib) {
    if (geteuid() != 0) return "making and mounting an ext4 image needs root";
    std::string make = "mkfs.ext4 -q -F -m 5 '" + image + "' " + std::to_string(size_mib) + "M >/dev/null 2>&1";
    if (system(make.c_str()) != 0) return "mkfs.ext4 failed (e2fsprogs missing?)";
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return "no private mount namespace here";
    std::string loop = "mount -o loop '" + image + "' '" + path + "' 2>/dev/null";
    if (system(loop.c_str()) != 0) return "loop devices are refused here";
    return "";
}

Options fake_nc_options(const TempDir& dir, const std::string& extra) {
    mkdir((dir / "bin").c_str(), 0755);
    write_script(dir / "bin/nc",
                 "d='" + dir.path() + "'\n"
                 "n=$(ls \"$d\" | grep -c '^nc-input-')\n"
                 "printf 'argc=%s [%s] [%s] [%s]\\n' \"$#\" \"$1\" \"$2\" \"$3\" >> \"$d/nc-args\"\n"
                 "fds=$(ls -l /proc/$$/fd)\n"
                 "printf '%s\\n' \"$fds\" >> \"$d/nc-fds\"\n" +
                 extra +
                 "cat > \"$d/.nc-input\"\n"
                 "mv \"$d/.nc-input\" \"$d/nc-input-$n\"\n");
    Options options;
    options.path_prefix = dir / "bin";
    return options;
}

std::vector<std::string> fake_nc_inputs(const TempDir& dir) {
    std::vector<std::string> inputs;
    for (int n = 0; file_exists(dir / ("nc-input-" + std::to_string(n))); ++n)
        inputs.push_back(read_file(dir / ("nc-input-" + std::to_string(n))));
    return inputs;
}

bool enter_private_network() {
    if (unshare(CLONE_NEWNET) != 0) return false;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    bool ok = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    return ok;
}

void send_from(const std::string& source, const std::string& bytes) {
    char path[] = "/tmp/qlfwd-datagram-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
    close(fd);
    std::string src = source;
    char* argv[] = {const_cast<char*>(QLSEND_BINARY), const_cast<char*>("-q"), const_cast<char*>("-s"),
                    src.data(), const_cast<char*>("-f"), path, nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int status = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ) == 0) waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
    unlink(path);
    if (status != 0) std::fprintf(stderr, "qlsend from %s failed: %d\n", source.c_str(), status);
}

bool eventually(const std::function<bool()>& predicate, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (predicate()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
}

bool file_exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

Receiver::Receiver(const TempDir& dir, Options options) {
    static std::atomic<int> serial{0};
    std::string tag = std::to_string(serial++);
    out_path_ = dir.path() + "/.stdout" + tag;
    err_path_ = dir.path() + "/.stderr" + tag;
    std::string cwd = options.cwd.empty() ? dir.path() : options.cwd;

    // Everything the child needs is made before fork: the test may have threads.
    std::vector<std::string> args{QLFWD_BINARY};
    if (options.user != 0) {
        // The build may lie where that user cannot reach it (a checkout under /root).
        std::string copy = dir / ".qlfwd-as-user";
        std::filesystem::copy_file(QLFWD_BINARY, copy, std::filesystem::copy_options::overwrite_existing);
        chmod(copy.c_str(), 0755);
        args[0] = copy;
    }
    args.insert(args.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "PATH=", 5) == 0 && !options.path.empty())
            env.push_back("PATH=" + options.path);
        else if (std::strncmp(*e, "PATH=", 5) == 0 && !options.path_prefix.empty())
            env.push_back("PATH=" + options.path_prefix + ":" + (*e + 5));
        else
            env.push_back(*e);
    }
    // The pid is known only in the child: its digits go into this buffer there.
    char listen_pid[32] = "LISTEN_PID=";
    if (options.listen_fd >= 0) env.push_back("LISTEN_FDS=" + options.listen_fds);
    env.insert(env.end(), options.env.begin(), options.env.end());
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    if (options.listen_fd >= 0) envp.push_back(listen_pid);
    envp.push_back(nullptr);

    int out_fd = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err_fd = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_ = fork();
    if (pid_ == 0) {
        if (chdir(cwd.c_str()) != 0) _exit(126);
        if (options.own_network && !enter_private_network()) _exit(126);
        umask(options.umask);
        if (options.user != 0 &&
            (setgroups(0, nullptr) != 0 || setgid(options.user) != 0 || setuid(options.user) != 0))
            _exit(126);
        if (options.listen_fd >= 0) {
            if (options.listen_fd == 3) fcntl(3, F_SETFD, 0);
            else dup2(options.listen_fd, 3);
            char digits[16];
            int n = 0;
            for (pid_t p = getpid(); p > 0; p /= 10) digits[n++] = static_cast<char>('0' + p % 10);
            char* at = listen_pid + 11;
            while (n > 0) *at++ = digits[--n];
            *at = '\0';
        }
        if (options.close_standard) {
            close(0);
            close(1);
            close(2);
        } else {
            dup2(null_fd, 0);
            dup2(out_fd, 1);
            dup2(err_fd, 2);
        }
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(out_fd);
    close(err_fd);
    close(null_fd);
}

static Options with_args(std::vector<std::string> args) {
    Options options;
    options.args = std::move(args);
    return options;
}

Receiver::Receiver(const TempDir& dir, std::vector<std::string> args) : Receiver(dir, with_args(std::move(args))) {}

Receiver::~Receiver() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool Receiver::wait_bound(std::chrono::milliseconds limit) {
    return eventually(
        [] {
            ql::UdpLine line;
            return ql::find_udp_line(ql::udp_line_of_port, ql::Porto, line);
        },
        limit);
}

void Receiver::signal(int sig) { kill(pid_, sig); }

int Receiver::wait_exit(std::chrono::milliseconds limit) {
    if (reaped_) return -2000;
    int status = 0;
    bool ended = eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, limit);
    if (!ended) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        reaped_ = true;
        return -1000;
    }
    reaped_ = true;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return -WTERMSIG(status);
}

int Receiver::stop() {
    signal(SIGTERM);
    return wait_exit();
}

std::string Receiver::out() const { return read_file(out_path_); }
std::string Receiver::err() const { return read_file(err_path_); }

void send_marker(const std::string& source) { send_from(source, "marker-datagram-0"); }

bool marker_written(const TempDir& dir, std::chrono::milliseconds limit) {
    return eventually([&] { return file_exists(dir / "Qln250.txt"); }, limit);
}

CommandServer::CommandServer(bool close_at_quit) : close_at_quit_(close_at_quit) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(7072);
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listen_fd_, 16) != 0)
        std::perror("command server");
    thread_ = std::thread([this] { run(); });
}

CommandServer::~CommandServer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    thread_.join();
    close(listen_fd_);
}

void CommandServer::run() {
    auto stopping = [this] {
        std::lock_guard<std::mutex> lock(mutex_);
        return stop_;
    };
    while (!stopping()) {
        pollfd p{listen_fd_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::string got;
        while (!stopping()) {
            pollfd q{fd, POLLIN, 0};
            if (poll(&q, 1, 20) <= 0) continue;
            char buffer[4096];
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            got.append(buffer, static_cast<std::size_t>(n));
            // The real server ends the connection when it runs a quit command.
            if (close_at_quit_ && got.find("quit") != std::string::npos) {
                std::vector<std::string> commands = checks::server_commands(got.substr(0, got.rfind('\n') + 1));
                if (std::find(commands.begin(), commands.end(), "quit") != commands.end()) break;
            }
        }
        close(fd);
        std::lock_guard<std::mutex> lock(mutex_);
        sessions_.push_back(got);
    }
}

std::vector<std::string> CommandServer::sessions() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sessions_;
}

bool CommandServer::wait_sessions(std::size_t count, std::chrono::milliseconds limit) const {
    return eventually([&] { return sessions().size() >= count; }, limit);
}

NotifySocket::NotifySocket(const TempDir& dir) {
    std::string path = dir / "notify";
    unlink(path.c_str());  // an earlier one's
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a;
    socklen_t len = ql::notify_address(path.c_str(), a);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&a), len), 0);
    variable_ = "NOTIFY_SOCKET=" + path;
}

NotifySocket::~NotifySocket() { close(fd_); }

const std::vector<std::string>& NotifySocket::messages() {
    char buffer[512];
    ssize_t n;
    while ((n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) got_.emplace_back(buffer, n);
    return got_;
}

std::string NotifySocket::status() {
    const auto& all = messages();
    for (auto m = all.rbegin(); m != all.rend(); ++m)
        if (m->starts_with("STATUS=")) return m->substr(7);
    return "";
}

void ReceiverTestBase::SetUp() { ENTER_PRIVATE_NETWORK(); }

void OutputTestBase::SetUp() {
    ReceiverTestBase::SetUp();
    if (IsSkipped()) return;
    ASSERT_EQ(mkdir((dir / "out").c_str(), 0755), 0);
}

std::unique_ptr<Receiver> ReceiverTestBase::start(std::vector<std::string> args, Options options) {
    options.args = std::move(args);
    auto receiver = std::make_unique<Receiver>(dir, options);
    EXPECT_TRUE(receiver->wait_bound()) << receiver->out() << receiver->err();
    return receiver;
}

void write_script(const std::string& path, const std::string& body) {
    write_file(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
}

}  // namespace e2e

namespace e2e {

std::string unstamp(const std::string& text) {
    static const Pattern stamp("[0-9]{4}\\.[0-9]{2}\\.[0-9]{2}_[0-9]{2}:[0-9]{2}:[0-9]{2}");
    return stamp.replace(text, "STAMP");
}

}  // namespace e2e
