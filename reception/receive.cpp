#include "reception/receive.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <cstring>

#include "common/diag.hpp"
#include "common/settings.hpp"
#include "forwarding/output.hpp"
#include "reception/checks.hpp"
#include "reception/own_addresses.hpp"

namespace ql {

static std::int64_t monotonic_seconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

static void report(const Checked& c, const char* bytes) {
    switch (c.verdict) {
        case Verdict::too_short: diag("Fehler: zu kurzes Paket\n"); break;
        case Verdict::acknowledgement: diag("Fehler: Quittung empfangen\n"); break;
        case Verdict::bad_checksum:
            diag("err checksum: %s\r\n", bytes);
            diag("len=%u, IST=%s, SOLL=%s\r\n", static_cast<unsigned>(c.full_len), c.got, c.want);
            break;
        default: break;
    }
}

int receive_socket() {
    static char bytes[datagram_max + 1];
    static OwnAddresses own;
    take_own_addresses(own, monotonic_seconds());

    while (!terminate) {
        sockaddr_in sender{};
        socklen_t sender_len = sizeof sender;
        ssize_t n = ::recvfrom(quenlink_socket.load(), bytes, datagram_max, 0,
                               reinterpret_cast<sockaddr*>(&sender), &sender_len);
        if (n < 0) {
            int error = errno;
            if (error == EBADF) return 1;
            diag("receive error: %s (%i)\n", std::strerror(error), error);
            continue;
        }
        bytes[n] = '\0';

        std::int64_t now = monotonic_seconds();
        if (own_addresses_stale(own, now)) take_own_addresses(own, now);
        if (is_own_address(own, sender.sin_addr.s_addr)) {
            diag("Fehler: Paket von mir selbst\n");
            continue;
        }
        Checked checked = check_datagram(bytes, static_cast<std::size_t>(n));
        if (checked.verdict != Verdict::valid) {
            report(checked, bytes);
            continue;
        }
        Accepted accepted{ntohl(sender.sin_addr.s_addr) & 0xFFu, bytes, checked.text_len, checked.is_long};
        output_datagram(accepted, ::time(nullptr));
    }
    return 0;
}

}  // namespace ql
