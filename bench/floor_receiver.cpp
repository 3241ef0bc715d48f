// The floor for mode 0: the bare system calls per datagram (receive with the
// kernel's arrival stamp, open/write/fchmod/close) and the same record line
// and file name, no checks.
// Arguments as qlfwd's: "-a" and a prefix containing "/".
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

static volatile sig_atomic_t stop = 0;
static int udp = -1;

static void on_term(int) {
    stop = 1;
    close(udp);
}

static char* two(char* p, int v) {
    p[0] = static_cast<char>('0' + v / 10 % 10);
    p[1] = static_cast<char>('0' + v % 10);
    return p + 2;
}

int main(int argc, char** argv) {
    const char* prefix = "";
    bool append = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strchr(argv[i], '/')) prefix = argv[i];
        else if (std::strcmp(argv[i], "-a") == 0) append = true;
    }
    struct sigaction action {};
    action.sa_handler = on_term;
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);

    udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    // The same queue as qlfwd asks for, so that losses compare.
    int queue = 8 << 20;
    if (setsockopt(udp, SOL_SOCKET, SO_RCVBUFFORCE, &queue, sizeof queue) != 0)
        setsockopt(udp, SOL_SOCKET, SO_RCVBUF, &queue, sizeof queue);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(60096);
    if (bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 2;
    int one = 1;
    setsockopt(udp, SOL_SOCKET, SO_TIMESTAMP, &one, sizeof one);

    static char bytes[1501];
    static char line[1600];
    char path[256];
    std::size_t prefix_len = std::strlen(prefix);
    std::memcpy(path, prefix, prefix_len);
    while (!stop) {
        sockaddr_in from{};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timeval))];
        iovec part{bytes, 1500};
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t n = recvmsg(udp, &message, 0);
        if (n < 0) {
            if (errno == EBADF) break;
            continue;
        }
        unsigned octet = ntohl(from.sin_addr.s_addr) & 0xFF;
        char name[7] = {'Q', 'l', 'n', static_cast<char>('0' + octet / 100), static_cast<char>('0' + octet / 10 % 10),
                        static_cast<char>('0' + octet % 10), 0};
        time_t now = 0;
        cmsghdr* c = CMSG_FIRSTHDR(&message);
        if (c != nullptr && c->cmsg_type == SO_TIMESTAMP) {
            timeval arrived;
            std::memcpy(&arrived, CMSG_DATA(c), sizeof arrived);
            now = arrived.tv_sec;
        }
        tm t;
        localtime_r(&now, &t);
        char* p = two(two(line, (t.tm_year + 1900) / 100), (t.tm_year + 1900) % 100);
        *p++ = '.';
        p = two(p, t.tm_mon + 1);
        *p++ = '.';
        p = two(p, t.tm_mday);
        *p++ = '_';
        p = two(p, t.tm_hour);
        *p++ = ':';
        p = two(p, t.tm_min);
        *p++ = ':';
        p = two(p, t.tm_sec);
        std::memcpy(p, ",Quenlink,", 10);
        p += 10;
        std::memcpy(p, name, 6);
        p += 6;
        *p++ = ',';
        std::memcpy(p, bytes, static_cast<std::size_t>(n));
        p += n;
        if (append) *p++ = '\n';

        std::memcpy(path + prefix_len, name, 6);
        std::memcpy(path + prefix_len + 6, ".txt", 5);
        int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0666);
        if (fd < 0) continue;
        (void)!write(fd, line, static_cast<std::size_t>(p - line));
        fchmod(fd, 0666);
        close(fd);
    }
    return 0;
}
