// LD_PRELOAD shim for the benchmark: writes to the delivery queue's files go
// at QLFWD_SLOW_BYTES_PER_S (a card's pace; the calling thread sleeps as the
// card would keep it), and the longest time between the receiver's returns
// from poll, recvmsg or recvmmsg and its next call of one (how long it was away from
// the socket) is written at exit to the file QLFWD_AWAY_FILE names, in
// microseconds, with how many such stretches passed 50 ms. Read by this shim
// only, never by qlfwd.
#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

long long now_us() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
}

long long returned_at = -1;  // from poll, recvmsg or recvmmsg
long long longest = 0, over_50ms = 0;

void leaving() {
    if (returned_at < 0) return;
    long long away = now_us() - returned_at;
    if (away > longest) longest = away;
    if (away > 50000) ++over_50ms;
}

void slow(int fd, size_t len) {
    static const char* rate = std::getenv("QLFWD_SLOW_BYTES_PER_S");
    if (rate == nullptr || len == 0) return;
    char link[64], target[512];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = ::readlink(link, target, sizeof target - 1);
    if (n <= 0) return;
    target[n] = '\0';
    if (std::strstr(target, "qlfwd-queue") == nullptr) return;
    long long us = static_cast<long long>(len) * 1000000LL / std::atoll(rate);
    timespec pause{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    nanosleep(&pause, nullptr);
}

template <typename F>
F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

struct Report {
    ~Report() {
        // Only the receiver waits on its socket; nc and its like, which
        // inherit the shim, leave the file alone.
        const char* file = std::getenv("QLFWD_AWAY_FILE");
        if (file == nullptr || returned_at < 0) return;
        if (FILE* f = std::fopen(file, "w")) {
            std::fprintf(f, "%lld %lld\n", longest, over_50ms);
            std::fclose(f);
        }
    }
} report;

}  // namespace

extern "C" {

int poll(struct pollfd* fds, nfds_t count, int timeout) {
    leaving();
    int r = next<int (*)(struct pollfd*, nfds_t, int)>("poll")(fds, count, timeout);
    returned_at = now_us();
    return r;
}

ssize_t recvmsg(int fd, struct msghdr* message, int flags) {
    leaving();
    ssize_t r = next<ssize_t (*)(int, struct msghdr*, int)>("recvmsg")(fd, message, flags);
    returned_at = now_us();
    return r;
}

int recvmmsg(int fd, struct mmsghdr* messages, unsigned count, int flags, struct timespec* timeout) {
    leaving();
    int r = next<int (*)(int, struct mmsghdr*, unsigned, int, struct timespec*)>("recvmmsg")(fd, messages, count, flags,
                                                                                           timeout);
    returned_at = now_us();
    return r;
}

ssize_t write(int fd, const void* bytes, size_t len) {
    slow(fd, len);
    return next<ssize_t (*)(int, const void*, size_t)>("write")(fd, bytes, len);
}

ssize_t pwrite64(int fd, const void* bytes, size_t len, off64_t at) {
    slow(fd, len);
    return next<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64")(fd, bytes, len, at);
}

ssize_t pwritev64(int fd, const struct iovec* parts, int count, off64_t at) {
    size_t len = 0;
    for (int i = 0; i < count; ++i) len += parts[i].iov_len;
    slow(fd, len);
    return next<ssize_t (*)(int, const struct iovec*, int, off64_t)>("pwritev64")(fd, parts, count, at);
}

}  // extern "C"
