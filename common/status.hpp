// The receiver's running counts and their one-line summary for the service
// manager. The text and the schedule are pure: they read no clock and write
// nowhere.
#pragma once
#include <cstddef>
#include <cstdint>

namespace ql {

struct Counts {
    std::uint64_t received = 0;   // every datagram taken from the socket
    std::uint64_t handed_on = 0;  // record written; in modes 1 and 2, command text delivered
    std::uint64_t dropped = 0;    // own address, too short, acknowledgement, checksum
    std::uint64_t lost = 0;       // dropped by the kernel: receive queue full
    std::uint64_t failed = 0;     // valid, but the output failed or a command text was given up
    std::uint64_t queued = 0;     // modes 1 and 2: command texts waiting for delivery
    bool operator==(const Counts&) const = default;
};

// The process's counts: reception and the delivery both add to them.
extern Counts counts;

constexpr std::size_t status_text_max = 240;  // six 20-digit counts and their words

// "<r> empfangen, <w> weitergegeben, <d> verworfen, <l> verloren, <f> Ausgabefehler",
// with ", <q> in Warteschlange" where there is a queue. Returns the length.
std::size_t status_text(char out[status_text_max + 1], const Counts& counts, bool with_queue = false);

// Decides when the counts are published: only when they changed, and at most
// once per second.
class StatusSchedule {
public:
    static constexpr std::int64_t interval_ms = 1000;
    bool due(const Counts& now, std::int64_t now_ms) const;
    // When these counts are due (monotonic ms), or -1 when they were published already.
    std::int64_t due_at(const Counts& now) const;
    void published(const Counts& now, std::int64_t now_ms);

private:
    Counts last_{};
    std::int64_t last_ms_ = 0;
    bool ever_ = false;
};

}  // namespace ql
