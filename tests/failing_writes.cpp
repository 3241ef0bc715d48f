// Preloaded into the receiver by the tests. While the file that
// QLFWD_FAIL_WRITES names exists, the calls that change a file fail with EIO,
// as on a failing card or a file system the kernel made read-only under the
// process: for files whose path holds one of the comma-separated parts of
// QLFWD_FAIL_PATHS (default "qlfwd-queue"), and for the calls QLFWD_FAIL_OPS
// names (default "write,rename"): write (write, pwrite, pwritev, ftruncate,
// and an open that makes or truncates), rename, and sync (syncfs, of any
// file system). Every syncfs is noted, with its monotonic time in ms, as a
// line of the file QLFWD_SYNCS names. The monotonic clock runs ahead by the
// seconds the file QLFWD_CLOCK_SHIFT holds (read at every look), so that a
// test sees what a minute brings without waiting for it. With QLFWD_NO_DROP_COUNT
// set, SO_RXQ_OVFL is refused, as qemu-user refuses it.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/socket.h>
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

const char* env_or(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : fallback;
}

// Whether the comma-separated list holds item.
bool listed(const char* list, const char* item, bool as_part_of = false) {
    std::size_t n = std::strlen(item);
    for (const char* p = list; *p != '\0';) {
        const char* end = std::strchr(p, ',');
        std::size_t len = end != nullptr ? static_cast<std::size_t>(end - p) : std::strlen(p);
        if (as_part_of ? len > 0 && memmem(item, n, p, len) != nullptr : len == n && std::memcmp(p, item, n) == 0)
            return true;
        p += len + (end != nullptr ? 1 : 0);
    }
    return false;
}

bool failing(const char* op) {
    const char* flag = std::getenv("QLFWD_FAIL_WRITES");
    struct stat st;
    return flag != nullptr && listed(env_or("QLFWD_FAIL_OPS", "write,rename"), op) && ::stat(flag, &st) == 0;
}

bool is_failing_path(const char* path) {
    return path != nullptr && listed(env_or("QLFWD_FAIL_PATHS", "qlfwd-queue"), path, true);
}

bool is_failing_fd(int fd) {
    char link[64], target[512];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = ::readlink(link, target, sizeof target - 1);
    if (n <= 0) return false;
    target[n] = '\0';
    return is_failing_path(target);
}

bool fail_fd(int fd) {
    if (!failing("write") || !is_failing_fd(fd)) return false;
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
    if (failing("rename") && is_failing_path(to)) {
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
    if ((flags & (O_TRUNC | O_CREAT)) && failing("write") && is_failing_path(path)) {
        errno = EIO;
        return -1;
    }
    return next<int (*)(const char*, int, ...)>("open64")(path, flags, mode);
}

// 32-bit hosts with 64-bit time (armhf) call it under its 64-bit name.
#if defined(__USE_TIME_BITS64) && __TIMESIZE == 32
#define QLFWD_CLOCK_GETTIME "__clock_gettime64"
int __clock_gettime64(clockid_t id, struct timespec* out)
#else
#define QLFWD_CLOCK_GETTIME "clock_gettime"
int clock_gettime(clockid_t id, struct timespec* out)
#endif
{
    int rc = next<int (*)(clockid_t, struct timespec*)>(QLFWD_CLOCK_GETTIME)(id, out);
    const char* shift = std::getenv("QLFWD_CLOCK_SHIFT");
    if (rc != 0 || shift == nullptr || (id != CLOCK_MONOTONIC && id != CLOCK_MONOTONIC_COARSE && id != CLOCK_BOOTTIME))
        return rc;
    if (FILE* f = std::fopen(shift, "r")) {
        long long seconds = 0;
        if (std::fscanf(f, "%lld", &seconds) == 1) out->tv_sec += static_cast<time_t>(seconds);
        std::fclose(f);
    }
    return rc;
}

int setsockopt(int fd, int level, int name, const void* value, socklen_t len) {
    if (level == SOL_SOCKET && name == SO_RXQ_OVFL && std::getenv("QLFWD_NO_DROP_COUNT") != nullptr) {
        errno = ENOPROTOOPT;
        return -1;
    }
    return next<int (*)(int, int, int, const void*, socklen_t)>("setsockopt")(fd, level, name, value, len);
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
    if (failing("sync")) {
        errno = EIO;
        return -1;
    }
    return next<int (*)(int)>("syncfs")(fd);
}

}  // extern "C"
