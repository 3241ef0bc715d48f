#include "reception/receive.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
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

namespace {

void report(const Checked& c, const char* bytes) {
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

std::int64_t earlier(std::int64_t due, std::int64_t at) { return at >= 0 && (due < 0 || at < due) ? at : due; }

// Side work that is ready waits for datagrams already there, but never longer
// than this: under a flood it still gets its turn.
constexpr std::int64_t side_wait_most_ms = 20;
// Where the kernel attaches no drop count (qemu-user), the listing is read this often.
constexpr std::int64_t listing_interval_ms = 100;
// Datagrams taken in one call in a burst (a wait that found a datagram at
// once): a flood costs one call and one wait per burst, not one of each per
// datagram. Alone, a datagram is taken alone: asking for more would cost the
// kernel a second look every time.
constexpr unsigned batch_max = 16;
// A wait that sleeps and is woken takes longer than this; one that returns
// at once found datagrams that came while the last was handled.
constexpr std::int64_t at_once_us = 20;

enum class Wake { socket, side, neither };

class ReceiveLoop {
public:
    ReceiveLoop(HandOn hand_on, SideWork side, bool queue_counts)
        : hand_on_(hand_on), side_(side), with_queue_(queue_counts) {
        for (unsigned i = 0; i < batch_max; ++i) {
            parts_[i] = {slots_[i].bytes, datagram_max};
            msghdr& m = messages_[i].msg_hdr;
            m = msghdr{};
            m.msg_name = &slots_[i].sender;
            m.msg_iov = &parts_[i];
            m.msg_iovlen = 1;
            m.msg_control = slots_[i].control;
        }
    }
    int run();

private:
    std::int64_t deadline(std::int64_t side_due) const;
    Wake wait(std::int64_t now_us, int side_fd, bool side_write, std::int64_t side_due);
    void after(std::int64_t now);
    int take(int flags, unsigned wanted);
    void received(unsigned i, std::int64_t now);
    void handle(const sockaddr_in& sender, char* bytes, std::size_t n, std::time_t arrived, std::int64_t now);
    void publish_if_due(std::int64_t now);
    void report_drops(std::uint32_t dropped_so_far);
    void read_listing_if_due(std::int64_t now);

    HandOn hand_on_;
    SideWork side_;
    bool with_queue_;
    bool notifying_ = false;
    StatusSchedule schedule_;
    OwnAddresses own_;
    DropCount drops_;
    bool attached_ = false;
    bool listing_owed_ = false;  // datagrams came that carried no count
    std::int64_t listing_read_ms_ = 0;
    std::int64_t side_ready_ms_ = -1;
    bool at_once_ = false;  // the last wait returned without sleeping
    short side_events_ = 0;
    struct Slot {
        sockaddr_in sender;
        char bytes[datagram_max + 1];
        alignas(cmsghdr) char control[drop_control_size + arrival_control_size];
    };
    Slot slots_[batch_max];
    iovec parts_[batch_max];
    mmsghdr messages_[batch_max];
};

void ReceiveLoop::publish_if_due(std::int64_t now) {
    if (!notifying_ || !schedule_.due(counts, now)) return;
    char message[8 + status_text_max + 1] = "STATUS=";
    std::size_t len = 7 + status_text(message + 7, counts, with_queue_);
    notify_send(message, len);
    schedule_.published(counts, now);
}

// The one tail after a datagram or a wake: what was written made durable,
// the counts published, the host's addresses taken again, each when due.
void ReceiveLoop::after(std::int64_t now) {
    read_listing_if_due(now);
    durable_sync_if_due(now);
    publish_if_due(now);
    if (own_addresses_stale(own_, now / 1000)) take_own_addresses(own_, now / 1000);
}

// The next moment anything is due: the side work, the sync, the status
// line, the refresh of the host's addresses.
std::int64_t ReceiveLoop::deadline(std::int64_t side_due) const {
    std::int64_t due = side_due;
    due = earlier(due, durable_due());
    if (notifying_) due = earlier(due, schedule_.due_at(counts));
    if (listing_owed_) due = earlier(due, listing_read_ms_ + listing_interval_ms);
    return earlier(due, (own_.taken_at + own_addresses_max_age + 1) * 1000);
}

// Waits for whichever comes first: a datagram, the side work's descriptor, or
// the deadline. Datagrams go first, unless the side work has been ready for
// side_wait_most_ms.
Wake ReceiveLoop::wait(std::int64_t now_us, int side_fd, bool side_write, std::int64_t side_due) {
    std::int64_t now = now_us / 1000;
    std::int64_t due = deadline(side_due);
    std::int64_t timeout = due < 0 ? -1 : due <= now ? 0 : due - now;
    // At least once a second, as the blocking receive: a SIGTERM that comes
    // just before the wait begins is seen within a second, not at the deadline.
    if (timeout < 0 || timeout > 1000) timeout = 1000;
    short side_wanted = static_cast<short>(POLLIN | (side_write ? POLLOUT : 0));
    pollfd waits[2] = {{quenlink_socket.load(), POLLIN, 0}, {side_fd, side_wanted, 0}};
    int ready = ::poll(waits, side_fd >= 0 ? 2 : 1, static_cast<int>(timeout));
    at_once_ = monotonic_us() - now_us < at_once_us;
    bool datagram = ready > 0 && waits[0].revents != 0;
    side_events_ = ready > 0 && side_fd >= 0 ? waits[1].revents : 0;
    bool side = (side_due >= 0 && now >= side_due) || side_events_ != 0;
    if (!side) {
        side_ready_ms_ = -1;
        return datagram ? Wake::socket : Wake::neither;
    }
    if (side_ready_ms_ < 0) side_ready_ms_ = now;
    if (datagram && now - side_ready_ms_ < side_wait_most_ms) return Wake::socket;
    side_ready_ms_ = -1;
    return Wake::side;
}

// Hands one received datagram on, or drops it; counts what became of it.
void ReceiveLoop::handle(const sockaddr_in& sender, char* bytes, std::size_t n, std::time_t arrived, std::int64_t now) {
    if (own_addresses_stale(own_, now / 1000)) take_own_addresses(own_, now / 1000);
    if (is_own_address(own_, sender.sin_addr.s_addr)) {
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
    switch (hand_on_(accepted)) {
        case Outcome::handed_on: ++counts.handed_on; break;
        case Outcome::failed: ++counts.failed; break;
        case Outcome::queued: break;  // the delivery counts it
    }
}

void ReceiveLoop::report_drops(std::uint32_t dropped_so_far) {
    std::uint32_t lost = drops_.newly_lost(dropped_so_far);
    if (lost == 0) return;
    counts.lost += lost;
    diag("Fehler: %u Pakete verloren, Empfangspuffer voll\n", static_cast<unsigned>(lost));
}

// Where the kernel attaches no count, the listing says it, read now and then:
// soon after a datagram even if none follows (at the next wake, within a second).
void ReceiveLoop::read_listing_if_due(std::int64_t now) {
    if (!listing_owed_ || now - listing_read_ms_ < listing_interval_ms) return;
    listing_owed_ = false;
    listing_read_ms_ = now;
    report_drops(socket_drops(quenlink_socket.load()));
}

// The datagrams waiting, up to wanted, without waiting for more than the
// first; the number taken, or -1 with errno.
int ReceiveLoop::take(int flags, unsigned wanted) {
    // The kernel shortens these to what it wrote.
    for (unsigned i = 0; i < wanted; ++i) {
        messages_[i].msg_hdr.msg_namelen = sizeof slots_[i].sender;
        messages_[i].msg_hdr.msg_controllen = sizeof slots_[i].control;
    }
    int fd = quenlink_socket.load();
    if (wanted > 1) return ::recvmmsg(fd, messages_, wanted, flags | MSG_WAITFORONE, nullptr);
    ssize_t n = ::recvmsg(fd, &messages_[0].msg_hdr, flags);
    messages_[0].msg_len = n < 0 ? 0 : static_cast<unsigned>(n);
    return n < 0 ? -1 : 1;
}

void ReceiveLoop::received(unsigned i, std::int64_t now) {
    const msghdr& message = messages_[i].msg_hdr;
    std::size_t n = messages_[i].msg_len;
    slots_[i].bytes[n] = '\0';
    ++counts.received;
    std::uint32_t dropped_so_far;
    if (drops_in(message, dropped_so_far)) {
        report_drops(dropped_so_far);
    } else if (!attached_) {
        listing_owed_ = true;
        read_listing_if_due(now);
    }
    std::time_t arrived;
    if (!arrival_in(message, arrived)) arrived = ::time(nullptr);
    handle(slots_[i].sender, slots_[i].bytes, n, arrived, now);
}

int ReceiveLoop::run() {
    int fd = quenlink_socket.load();
    // Drops from before this process (a socket handed over) are not ours to report.
    drops_ = DropCount(socket_drops(fd));
    attached_ = drop_count_attached();
    listing_read_ms_ = monotonic_ms();
    notifying_ = notify_enabled();
    // Without side work the blocking receive is the wait: it wakes at least
    // once a second, and nothing else is due later than a second after the
    // datagram that made it due (a sync, the counts): no poll per datagram.
    timeval second{1, 0};
    (void)::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &second, sizeof second);
    take_own_addresses(own_, monotonic_ms() / 1000);
    publish_if_due(monotonic_ms());

    while (!terminate) {
        int flags = 0;
        unsigned wanted = 1;
        int side_fd = -1;
        bool side_write = false;
        std::int64_t side_due = -1;
        if (side_.next != nullptr) side_.next(side_fd, side_write, side_due);
        // Nothing beside reception: the blocking receive is the wait, as in mode 0.
        if (side_fd >= 0 || side_due >= 0) {
            Wake wake = wait(monotonic_us(), side_fd, side_write, side_due);
            if (wake != Wake::socket) {
                std::int64_t now = monotonic_ms();
                if (wake == Wake::side) side_.run(now, side_events_);
                after(monotonic_ms());
                continue;
            }
            flags = MSG_DONTWAIT;
            wanted = at_once_ ? batch_max : 1;
        }
        int n = take(flags, wanted);
        if (n < 0) {
            int error = errno;
            if (error == EBADF) return 1;
            // Interrupted (SIGTERM, or a stop and continue): nothing went wrong.
            if (error == EINTR) continue;
            if (error != EAGAIN && error != EWOULDBLOCK) diag("receive error: %s (%i)\n", std::strerror(error), error);
            after(monotonic_ms());
            continue;
        }
        // All of a burst is handed on, a SIGTERM among it or not: it has left the kernel.
        for (int i = 0; i < n; ++i) {
            std::int64_t now = monotonic_ms();
            received(static_cast<unsigned>(i), now);
            after(now);
        }
    }
    return 0;
}

}  // namespace

int receive_socket(HandOn hand_on, SideWork side, bool queue_counts) {
    // Made once, for the process's life: its buffers are no allocation per datagram.
    static ReceiveLoop* loop = nullptr;
    delete loop;
    loop = new ReceiveLoop(hand_on, side, queue_counts);
    return loop->run();
}

}  // namespace ql
