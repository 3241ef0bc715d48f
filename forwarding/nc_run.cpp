#include "forwarding/nc_run.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

extern char** environ;

namespace ql {

std::size_t first_address(char* out, std::size_t cap, const char* list) {
    while (*list == ' ') ++list;
    std::size_t n = 0;
    while (list[n] != '\0' && list[n] != ' ' && n + 1 < cap) {
        out[n] = list[n];
        ++n;
    }
    out[n] = '\0';
    return n;
}

static long long now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until the child has ended or the deadline has passed; true when it ended.
// A signal (SIGTERM) does not cut the wait short: the datagram's output completes.
static bool wait_until(pid_t pid, int& pidfd, long long deadline) {
    for (;;) {
        long long left = deadline - now_ms();
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            int ready = poll(&p, 1, static_cast<int>(left > 0 ? left : 0));
            if (ready == 0) return false;
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) {  // no pidfd to wait on after all: poll the child instead
                close(pidfd);
                pidfd = -1;
            }
        }
        int status;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) return true;
        if (pidfd < 0) {
            if (left <= 0) return false;
            timespec pause{0, 5 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
    }
}

NcResult run_nc(const char* address, int input_fd, int time_limit_ms, int& error) {
    char nc[] = "nc";
    char port[] = "7072";
    char* argv[] = {nc, const_cast<char*>(address), port, nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input_fd, STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY | O_APPEND, 0);
    pid_t pid = -1;
    error = posix_spawnp(&pid, "nc", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) return NcResult::not_started;

    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    NcResult result = NcResult::finished;
    if (!wait_until(pid, pidfd, now_ms() + time_limit_ms)) {
        result = NcResult::timed_out;
        kill(pid, SIGTERM);
        if (!wait_until(pid, pidfd, now_ms() + 1000)) {
            kill(pid, SIGKILL);
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }
    if (pidfd >= 0) close(pidfd);
    return result;
}

}  // namespace ql
