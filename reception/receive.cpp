#include "reception/receive.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "common/clock.hpp"
#include "common/diag.hpp"
#include "common/durable.hpp"
#include "common/notify.hpp"
#include "common/settings.hpp"
#include "common/status.hpp"
#include "reception/arrival.hpp"
#include "reception/checks.hpp"
#include "reception/drops.hpp"
#include "reception/own_addresses.hpp"

namespace ql {

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

namespace {

StatusSchedule schedule;
bool with_queue = false;

void publish_if_due(std::int64_t now_ms) {
    if (!schedule.due(counts, now_ms)) return;
    char message[8 + status_text_max + 1] = "STATUS=";
    std::size_t len = 7 + status_text(message + 7, counts, with_queue);
    notify_send(message, len);
    schedule.published(counts, now_ms);
}

// An idle receive wakes once a second, so that what was written last is made
// durable, and the last counts of a burst are published, even when nothing
// follows it.
void wake_when_idle(int fd) {
    timeval second{1, 0};
    (void)::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &second, sizeof second);
}

// Hands one received datagram on, or drops it; counts what became of it.
void handle(const sockaddr_in& sender, const char* bytes, std::size_t n, std::time_t arrived, OwnAddresses& own,
            std::int64_t now_ms, HandOn hand_on) {
    std::int64_t now_s = now_ms / 1000;
    if (own_addresses_stale(own, now_s)) take_own_addresses(own, now_s);
    if (is_own_address(own, sender.sin_addr.s_addr)) {
        ++counts.dropped;
        diag("Fehler: Paket von mir selbst\n");
        return;
    }
    Checked checked = check_datagram(bytes, n);
    if (checked.verdict != Verdict::valid) {
        ++counts.dropped;
        report(checked, bytes);
        return;
    }
    Accepted accepted{ntohl(sender.sin_addr.s_addr) & 0xFFu, bytes, checked.text_len, checked.is_long, arrived};
    switch (hand_on(accepted)) {
        case Outcome::handed_on: ++counts.handed_on; break;
        case Outcome::failed: ++counts.failed; break;
        case Outcome::queued: break;  // the delivery counts it
    }
}

enum class Wake { socket, side, neither };

// Side work that is ready waits for datagrams already there, but never longer
// than this: under a flood it still gets its turn.
constexpr std::int64_t side_wait_most_ms = 20;

// Waits for whichever comes first: a datagram, the side work's descriptor, its
// deadline, or (with a manager to tell) a second for the status line. Datagrams
// go first, unless the side work has been ready since side_ready_ms for
// side_wait_most_ms.
Wake wait_beside(int socket_fd, int side_fd, bool side_write, std::int64_t due_ms, bool notifying,
                 std::int64_t& side_ready_ms, short& side_events) {
    std::int64_t now = monotonic_ms();
    bool due = due_ms >= 0 && now >= due_ms;
    std::int64_t timeout = due ? 0 : due_ms < 0 ? -1 : due_ms - now;
    if (notifying && (timeout < 0 || timeout > StatusSchedule::interval_ms)) timeout = StatusSchedule::interval_ms;
    short side_wanted = static_cast<short>(POLLIN | (side_write ? POLLOUT : 0));
    pollfd waits[2] = {{socket_fd, POLLIN, 0}, {side_fd, side_wanted, 0}};
    int ready = ::poll(waits, side_fd >= 0 ? 2 : 1, timeout > INT_MAX ? INT_MAX : static_cast<int>(timeout));
    bool datagram = ready > 0 && waits[0].revents != 0;
    side_events = ready > 0 && side_fd >= 0 ? waits[1].revents : 0;
    bool side = due || side_events != 0;
    if (!side) {
        side_ready_ms = -1;
        return datagram ? Wake::socket : Wake::neither;
    }
    if (side_ready_ms < 0) side_ready_ms = now;
    if (datagram && now - side_ready_ms < side_wait_most_ms) return Wake::socket;
    side_ready_ms = -1;
    return Wake::side;
}

}  // namespace

int receive_socket(HandOn hand_on, SideWork side, bool queue_counts) {
    static char bytes[datagram_max + 1];
    alignas(cmsghdr) static char control[drop_control_size + arrival_control_size];
    static OwnAddresses own;
    with_queue = queue_counts;

    // Drops from before this process (a socket handed over) are not ours to report.
    DropCount drops(socket_drops(quenlink_socket.load()));
    bool attached = drop_count_attached();
    constexpr std::int64_t listing_interval_ms = 100;
    std::int64_t listing_read_ms = monotonic_ms();
    bool notifying = notify_enabled();
    wake_when_idle(quenlink_socket.load());
    if (notifying) publish_if_due(monotonic_ms());
    take_own_addresses(own, monotonic_ms() / 1000);
    std::int64_t side_ready_ms = -1;

    while (!terminate) {
        int flags = 0;
        int side_fd = -1;
        bool side_write = false;
        std::int64_t due_ms = -1;
        if (side.next != nullptr) side.next(side_fd, side_write, due_ms);
        // Nothing beside reception: the receive blocks, as it always did (the
        // sync then waits for a datagram or the idle wake).
        if (side_fd >= 0 || due_ms >= 0) {
            std::int64_t sync_ms = durable_due();
            if (sync_ms >= 0 && (due_ms < 0 || sync_ms < due_ms)) due_ms = sync_ms;
            short side_events = 0;
            Wake wake =
                wait_beside(quenlink_socket.load(), side_fd, side_write, due_ms, notifying, side_ready_ms, side_events);
            if (wake != Wake::socket) {
                std::int64_t now = monotonic_ms();
                if (wake == Wake::side) side.run(now, side_events);
                durable_sync_if_due(now);
                if (notifying) publish_if_due(monotonic_ms());
                continue;
            }
            flags = MSG_DONTWAIT;
        }
        sockaddr_in sender{};
        iovec part{bytes, datagram_max};
        msghdr message{};
        message.msg_name = &sender;
        message.msg_namelen = sizeof sender;
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t n = ::recvmsg(quenlink_socket.load(), &message, flags);
        if (n < 0) {
            int error = errno;
            if (error == EBADF) return 1;
            // Interrupted (SIGTERM, or a stop and continue) or idle: nothing went wrong.
            if (error == EINTR) continue;
            if (error == EAGAIN || error == EWOULDBLOCK) {
                std::int64_t now = monotonic_ms();
                durable_sync_if_due(now);
                if (notifying) publish_if_due(now);
                continue;
            }
            diag("receive error: %s (%i)\n", std::strerror(error), error);
            continue;
        }
        bytes[n] = '\0';
        ++counts.received;

        std::uint32_t dropped_so_far;
        std::int64_t now_ms = monotonic_ms();
        bool counted = drops_in(message, dropped_so_far);
        // Where the kernel attaches no count (qemu-user), the listing says it, read now and then.
        if (!counted && !attached && now_ms - listing_read_ms >= listing_interval_ms) {
            dropped_so_far = socket_drops(quenlink_socket.load());
            listing_read_ms = now_ms;
            counted = true;
        }
        if (counted) {
            std::uint32_t lost = drops.newly_lost(dropped_so_far);
            if (lost > 0) {
                counts.lost += lost;
                diag("Fehler: %u Pakete verloren, Empfangspuffer voll\n", static_cast<unsigned>(lost));
            }
        }
        std::time_t arrived;
        if (!arrival_in(message, arrived)) arrived = ::time(nullptr);
        handle(sender, bytes, static_cast<std::size_t>(n), arrived, own, now_ms, hand_on);
        durable_sync_if_due(now_ms);
        if (notifying) publish_if_due(now_ms);
    }
    return 0;
}

}  // namespace ql
