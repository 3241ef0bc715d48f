// The floor for modes 1 and 2: COUNT bare runs of nc 127.0.0.1 7072, each
// started and waited for, with FILE as its input.  Usage: floor_nc FILE COUNT
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

extern char** environ;

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    long count = std::atol(argv[2]);
    char nc[] = "nc", address[] = "127.0.0.1", port[] = "7072";
    char* args[] = {nc, address, port, nullptr};
    for (long i = 0; i < count; ++i) {
        int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
        if (fd < 0) return 1;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fd, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY | O_APPEND, 0);
        pid_t pid;
        if (posix_spawnp(&pid, "nc", &actions, nullptr, args, environ) == 0) waitpid(pid, nullptr, 0);
        posix_spawn_file_actions_destroy(&actions);
        close(fd);
    }
    return 0;
}
