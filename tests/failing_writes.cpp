// Preloaded into the receiver by the tests: while the file that
// QLFWD_FAIL_WRITES names exists, every write, truncation and rename of the
// delivery queue's files fails with EIO, as on a failing card or a file
// system the kernel made read-only under the process. And every syncfs is
// noted, with its monotonic time in ms, as a line of the file QLFWD_SYNCS names.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool failing() {
    const char* flag = std::getenv("QLFWD_FAIL_WRITES");
    struct stat st;
    return flag != nullptr && ::stat(flag, &st) == 0;
}

bool is_queue_path(const char* path) { return path != nullptr && std::strstr(path, "qlfwd-queue") != nullptr; }

bool is_queue_fd(int fd) {
    char link[64], target[512];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = ::readlink(link, target, sizeof target - 1);
    if (n <= 0) return false;
    target[n] = '\0';
    return is_queue_path(target);
}

bool fail_fd(int fd) {
    if (!is_queue_fd(fd) || !failing()) return false;
    errno = EIO;
    return true;
}

template <typename F>
F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

ssize_t write(int fd, const void* bytes, size_t len) {
    if (fail_fd(fd)) return -1;
    return next<ssize_t (*)(int, const void*, size_t)>("write")(fd, bytes, len);
}

ssize_t pwrite64(int fd, const void* bytes, size_t len, off64_t at) {
    if (fail_fd(fd)) return -1;
    return next<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64")(fd, bytes, len, at);
}

ssize_t pwritev64(int fd, const struct iovec* parts, int count, off64_t at) {
    if (fail_fd(fd)) return -1;
    return next<ssize_t (*)(int, const struct iovec*, int, off64_t)>("pwritev64")(fd, parts, count, at);
}

int ftruncate64(int fd, off64_t len) {
    if (fail_fd(fd)) return -1;
    return next<int (*)(int, off64_t)>("ftruncate64")(fd, len);
}

int rename(const char* from, const char* to) {
    if (is_queue_path(to) && failing()) {
        errno = EIO;
        return -1;
    }
    return next<int (*)(const char*, const char*)>("rename")(from, to);
}

int open64(const char* path, int flags, ...) {
    mode_t mode = 0;
    if (flags & O_CREAT) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    if ((flags & O_TRUNC) && is_queue_path(path) && failing()) {
        errno = EIO;
        return -1;
    }
    return next<int (*)(const char*, int, ...)>("open64")(path, flags, mode);
}

int syncfs(int fd) {
    if (const char* log = std::getenv("QLFWD_SYNCS")) {
        if (FILE* f = std::fopen(log, "a")) {
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            std::fprintf(f, "%lld\n", static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000);
            std::fclose(f);
        }
    }
    return next<int (*)(int)>("syncfs")(fd);
}

}  // extern "C"
