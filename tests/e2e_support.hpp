// End-to-end test support: a private network namespace per test, the real
// qlfwd binary, datagrams from loopback source addresses, and a stand-in
// command server on 127.0.0.1:7072.
#pragma once
#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sender/datagram.hpp"
#include "sender/endpoint.hpp"
#include "tests/temp_dir.hpp"

namespace e2e {

using namespace std::chrono_literals;
using ql::checksum_of;
using ql::long_datagram;

// Moves this process into a fresh network namespace with only lo, up.
// Returns false (and the test should be skipped) where that is not allowed.
bool enter_private_network();

// A private mount namespace, then a tmpfs of the given size ("64k") or
// options ("size=1m,nr_inodes=100") at path.
bool mount_small_tmpfs(const std::string& path, const std::string& size);

// A private mount namespace, then a fresh ext4 file system of size_mib MiB
// (root's reserve of 5 % as mkfs.ext4 makes it) in an image file, loop-mounted
// at path. Returns why not where that cannot be done here, else "".
std::string mount_ext4_image(const std::string& image, const std::string& path, unsigned size_mib);

// A user without privileges, for files the receiver must be able to use as it.
constexpr uid_t unprivileged_user = 65534;

// Once, before any thread: where the process is not root, a user namespace
// in which it is, so that network namespaces can be made.
void prepare_namespaces();

// Sends bytes from the source address to 127.0.0.1:60096, through qlsend.
void send_from(const std::string& source, const std::string& bytes);

// Polls until the predicate holds or the time is up.
bool eventually(const std::function<bool()>& predicate, std::chrono::milliseconds limit = 5000ms);

bool file_exists(const std::string& path);

struct Options {
    std::vector<std::string> args;
    std::string cwd;                 // working directory; the test's temp dir by default
    std::string path_prefix;         // put first in PATH
    std::string path;                // replaces PATH when not empty
    mode_t umask = 022;
    bool close_standard = false;     // start with descriptors 0, 1 and 2 closed
    // As a service manager does: this socket at descriptor 3, with LISTEN_PID
    // set to the receiver's pid and LISTEN_FDS to listen_fds.
    int listen_fd = -1;
    std::string listen_fds = "1";
    std::vector<std::string> env;    // added to the environment, NAME=value
    uid_t user = 0;                  // not 0: run as this unprivileged user (and group)
    // In a network namespace of its own (only lo, up), so that receivers can run
    // side by side, each on its port; wait on what it says, not on the port.
    bool own_network = false;
};

using ql::bind_endpoint;

// Runs a stand-in nc from the test directory's bin/ that records, one file a
// run, its input (nc-input-N), its arguments and descriptors (nc-args), and
// never connects anywhere; extra runs before it finishes.
Options fake_nc_options(const TempDir& dir, const std::string& extra = "");
// The inputs the stand-in nc has recorded, in order.
std::vector<std::string> fake_nc_inputs(const TempDir& dir);

class Receiver {
public:
    Receiver(const TempDir& dir, Options options);
    Receiver(const TempDir& dir, std::vector<std::string> args);
    ~Receiver();

    // True once UDP port 60096 is bound in this namespace.
    bool wait_bound(std::chrono::milliseconds limit = 5000ms);
    void signal(int sig);
    // Waits for the process to end; its exit status, or -signal when killed,
    // or -1000 when it did not end in time (it is then killed).
    int wait_exit(std::chrono::milliseconds limit = 5000ms);
    // SIGTERM, then wait_exit.
    int stop();

    std::string out() const;  // what it wrote to standard output so far
    std::string err() const;
    pid_t pid() const { return pid_; }

private:
    std::string out_path_, err_path_;
    pid_t pid_ = -1;
    bool reaped_ = false;
};

// The receiver takes datagrams one at a time, in order: once a marker sent
// after the others is written (Qln250.txt in the test directory), all of them are done.
void send_marker(const std::string& source = "127.0.0.250");
bool marker_written(const TempDir& dir, std::chrono::milliseconds limit = 5000ms);

// The stand-in command server: accepts on 127.0.0.1:7072, records what each
// connection sent, and closes it once it has read a line that runs "quit", as
// the real server reads lines (unless told never to).
class CommandServer {
public:
    explicit CommandServer(bool close_at_quit = true);
    ~CommandServer();
    std::vector<std::string> sessions() const;
    bool wait_sessions(std::size_t count, std::chrono::milliseconds limit = 5000ms) const;

private:
    void run();
    int listen_fd_ = -1;
    bool close_at_quit_;
    bool stop_ = false;
    mutable std::mutex mutex_;
    std::vector<std::string> sessions_;
    std::thread thread_;
};

// A notification socket as a service manager makes it, in the scratch directory.
class NotifySocket {
public:
    explicit NotifySocket(const TempDir& dir);
    ~NotifySocket();
    // NOTIFY_SOCKET=<path>, for Options::env.
    const std::string& variable() const { return variable_; }
    // Every message received so far, in order.
    const std::vector<std::string>& messages();
    // The newest status line (without "STATUS="), or "" before the first.
    std::string status();

private:
    int fd_ = -1;
    std::string variable_;
    std::vector<std::string> got_;
};

// A test in a network namespace of its own, with a scratch directory.
class ReceiverTestBase : public testing::Test {
protected:
    void SetUp() override;
    // Starts qlfwd with these arguments in the scratch directory and waits until it is bound.
    std::unique_ptr<Receiver> start(std::vector<std::string> args, Options options = {});

    TempDir dir;
};

// The same, with an empty output directory out/ in the scratch directory.
class OutputTestBase : public ReceiverTestBase {
protected:
    void SetUp() override;
};

// An executable shell script at path.
void write_script(const std::string& path, const std::string& body);

// Every time stamp in the text written as STAMP.
std::string unstamp(const std::string& text);

}  // namespace e2e

#define ENTER_PRIVATE_NETWORK()                                                   \
    do {                                                                          \
        if (!e2e::enter_private_network()) GTEST_SKIP() << "no network namespace"; \
    } while (0)
