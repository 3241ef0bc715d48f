#include "delivery/nc_run.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/storage.hpp"
#include "common/clock.hpp"

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

bool find_program(const char* name, const char* search_path, char* out, std::size_t cap) {
    std::size_t name_len = std::strlen(name);
    for (const char* dir = search_path;;) {
        const char* end = std::strchr(dir, ':');
        std::size_t dir_len = end ? static_cast<std::size_t>(end - dir) : std::strlen(dir);
        if (dir_len == 0) dir = ".", dir_len = 1;
        if (dir_len + 1 + name_len < cap) {
            std::memcpy(out, dir, dir_len);
            out[dir_len] = '/';
            std::memcpy(out + dir_len + 1, name, name_len + 1);
            struct stat st {};
            if (::stat(out, &st) == 0 && S_ISREG(st.st_mode) && ::access(out, X_OK) == 0) return true;
        }
        if (end == nullptr) return false;
        dir = end + 1;
    }
}

namespace {
char program[4096];  // nc's path, once found
}  // namespace

// The command text as nc's input: a file in memory, whatever its size. One
// file serves every run (runs go one at a time), rewritten and rewound each
// time: a new one per text would cost an inode each.
static int text_input(const char* text, std::size_t len) {
    static int fd = -1;
    if (fd < 0) fd = ::memfd_create("qlfwd-commands", MFD_CLOEXEC);
    if (fd < 0) return -1;
    if (!write_all_at(fd, text, len, 0) || !cut_file(fd, static_cast<off_t>(len)) || ::lseek(fd, 0, SEEK_SET) != 0)
        return -1;
    return fd;
}

bool start_nc(const char* address, const char* text, std::size_t len, std::int64_t now_ms, NcRun& run,
              int& error) {
    run = NcRun{};
    // Looked up here rather than by posix_spawnp: under qemu-user a spawn
    // whose program is missing reports success and the child exits 127. The
    // path found is kept until a start fails or nc exits 127 (nc_exited).
    if (program[0] == '\0') {
        const char* search_path = std::getenv("PATH");
        if (!find_program("nc", search_path ? search_path : "/bin:/usr/bin", program, sizeof program)) {
            program[0] = '\0';
            error = ENOENT;
            return false;
        }
    }
    int input = text_input(text, len);
    if (input < 0) {
        error = errno;
        return false;
    }
    char nc[] = "nc";
    char port[] = "7072";
    char* argv[] = {nc, const_cast<char*>(address), port, nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY | O_APPEND, 0);
    error = posix_spawn(&run.pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        run.pid = -1;
        program[0] = '\0';
        return false;
    }
    run.pidfd = static_cast<int>(::syscall(SYS_pidfd_open, run.pid, 0));
    run.deadline_ms = now_ms + nc_time_limit_ms;
    return true;
}

static void reaped(NcRun& run) {
    if (run.pidfd >= 0) ::close(run.pidfd);
    run.pidfd = -1;
    run.pid = -1;
}

NcEnd look_nc(NcRun& run, std::int64_t now_ms, int& status) {
    if (run.pid < 0) return NcEnd::exited;
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(run.pid), &info, WEXITED | WNOHANG) == 0 && info.si_pid == run.pid) {
        bool ours = run.terminated;
        status = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
        if (status == 126 || status == 127) program[0] = '\0';  // gone, or not runnable: look again
        reaped(run);
        return ours ? NcEnd::timed_out : NcEnd::exited;
    }
    if (now_ms < run.deadline_ms) return NcEnd::running;
    if (!run.terminated) {
        ::kill(run.pid, SIGTERM);
        run.terminated = true;
        run.deadline_ms = now_ms + 1000;
        return NcEnd::running;
    }
    ::kill(run.pid, SIGKILL);
    while (::waitpid(run.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    reaped(run);
    status = 128 + SIGKILL;
    return NcEnd::timed_out;
}

NcEnd wait_nc(NcRun& run, int& status) {
    for (;;) {
        std::int64_t now = monotonic_ms();
        NcEnd end = look_nc(run, now, status);
        if (end != NcEnd::running) return end;
        std::int64_t left = run.deadline_ms - now;
        if (left < 0) left = 0;
        if (run.pidfd >= 0) {
            pollfd p{run.pidfd, POLLIN, 0};
            (void)::poll(&p, 1, static_cast<int>(left));  // a signal only makes it look again
        } else {
            timespec pause{0, 5 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
    }
}

}  // namespace ql
