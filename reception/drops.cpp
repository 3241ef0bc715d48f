#include "reception/drops.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ql {

static bool attached = false;

bool enable_drop_count(int fd) {
    int one = 1;
    attached = ::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof one) == 0;
    return attached;
}

bool drop_count_attached() { return attached; }

// A line: "sl local rem st tx:rx tr:when retrnsmt uid timeout inode ref pointer drops".
static bool drops_of_line(const char* line, const char* end, unsigned long inode, std::uint32_t& drops) {
    const char* field[16];
    const char* field_end[16];
    int n = 0;
    for (const char* p = line; p < end && n < 16;) {
        while (p < end && (*p == ' ' || *p == '\t')) ++p;
        if (p == end) break;
        field[n] = p;
        while (p < end && *p != ' ' && *p != '\t') ++p;
        field_end[n++] = p;
    }
    if (n < 13) return false;
    char digits[24];
    auto number = [&](int i) {
        std::size_t len = static_cast<std::size_t>(field_end[i] - field[i]);
        if (len >= sizeof digits) len = sizeof digits - 1;
        std::memcpy(digits, field[i], len);
        digits[len] = '\0';
        return std::strtoul(digits, nullptr, 10);
    };
    if (number(9) != inode) return false;
    drops = static_cast<std::uint32_t>(number(n - 1));
    return true;
}

bool drops_in_listing(const char* text, std::size_t len, unsigned long inode, std::uint32_t& drops) {
    const char* end = text + len;
    for (const char* line = text; line < end;) {
        const char* eol = static_cast<const char*>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
        if (eol == nullptr) eol = end;
        if (drops_of_line(line, eol, inode, drops)) return true;
        line = eol + 1;
    }
    return false;
}

std::uint32_t socket_drops(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return 0;
    int proc = ::open("/proc/self/net/udp", O_RDONLY | O_CLOEXEC);
    if (proc < 0) return 0;
    // Read in pieces; a line cut at a piece's end is carried over.
    static char buffer[16384];
    std::size_t kept = 0;
    std::uint32_t drops = 0;
    bool found = false;
    for (;;) {
        ssize_t n = ::read(proc, buffer + kept, sizeof buffer - kept);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::size_t have = kept + static_cast<std::size_t>(n);
        const char* last_eol = static_cast<const char*>(memrchr(buffer, '\n', have));
        std::size_t whole = last_eol ? static_cast<std::size_t>(last_eol - buffer) + 1 : 0;
        if (drops_in_listing(buffer, whole, static_cast<unsigned long>(st.st_ino), drops)) {
            found = true;
            break;
        }
        kept = have - whole;
        if (kept == sizeof buffer) kept = 0;  // no line is that long
        std::memmove(buffer, buffer + whole, kept);
    }
    ::close(proc);
    return found ? drops : 0;
}

bool drops_in(const msghdr& message, std::uint32_t& count) {
    for (const cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr;
         c = CMSG_NXTHDR(const_cast<msghdr*>(&message), const_cast<cmsghdr*>(c))) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL &&
            c->cmsg_len >= CMSG_LEN(sizeof count)) {
            std::memcpy(&count, CMSG_DATA(c), sizeof count);
            return true;
        }
    }
    return false;
}

}  // namespace ql
