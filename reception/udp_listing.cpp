#include "reception/udp_listing.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ql {

bool parse_udp_line(const char* line, const char* end, UdpLine& out) {
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
    auto number = [&](const char* from, const char* to, int base, bool& ok) {
        std::size_t len = static_cast<std::size_t>(to - from);
        if (len == 0 || len >= sizeof digits) {
            ok = false;
            return 0ul;
        }
        std::memcpy(digits, from, len);
        digits[len] = '\0';
        char* stop = nullptr;
        unsigned long v = std::strtoul(digits, &stop, base);
        ok = ok && *stop == '\0';
        return v;
    };
    bool ok = true;
    // local "0100007F:EAC0", queues "tx:rx", in hexadecimal
    const char* colon = static_cast<const char*>(std::memchr(field[1], ':', static_cast<std::size_t>(field_end[1] - field[1])));
    const char* queues = static_cast<const char*>(std::memchr(field[4], ':', static_cast<std::size_t>(field_end[4] - field[4])));
    if (colon == nullptr || queues == nullptr) return false;
    out.local_port = static_cast<std::uint16_t>(number(colon + 1, field_end[1], 16, ok));
    out.rx_queue = number(queues + 1, field_end[4], 16, ok);
    out.inode = number(field[9], field_end[9], 10, ok);
    out.drops = static_cast<std::uint32_t>(number(field[n - 1], field_end[n - 1], 10, ok));
    return ok;
}

bool find_udp_line(bool (*match)(const UdpLine&, unsigned long), unsigned long key, UdpLine& out) {
    int proc = ::open("/proc/self/net/udp", O_RDONLY | O_CLOEXEC);
    if (proc < 0) return false;
    // Read in pieces; a line cut at a piece's end is carried over.
    char buffer[16384];
    std::size_t kept = 0;
    bool found = false;
    while (!found) {
        ssize_t n = ::read(proc, buffer + kept, sizeof buffer - kept);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::size_t have = kept + static_cast<std::size_t>(n);
        const char* line = buffer;
        const char* last = buffer + have;
        for (;;) {
            const char* eol = static_cast<const char*>(std::memchr(line, '\n', static_cast<std::size_t>(last - line)));
            if (eol == nullptr) break;
            UdpLine l;
            if (parse_udp_line(line, eol, l) && match(l, key)) {
                out = l;
                found = true;
                break;
            }
            line = eol + 1;
        }
        kept = static_cast<std::size_t>(last - line);
        if (kept == sizeof buffer) kept = 0;  // no line is that long
        std::memmove(buffer, line, kept);
    }
    ::close(proc);
    return found;
}

}  // namespace ql
