// The receiver's running counts and their one-line summary for the service
// manager. Pure: nothing here reads a clock or writes anywhere.
#pragma once
#include <cstddef>
#include <cstdint>

namespace ql {

struct Counts {
    std::uint64_t received = 0;   // every datagram taken from the socket
    std::uint64_t handed_on = 0;  // valid, record written (or command file written and nc run)
    std::uint64_t dropped = 0;    // own address, too short, acknowledgement, checksum
    std::uint64_t lost = 0;       // dropped by the kernel: receive queue full
    std::uint64_t failed = 0;     // valid, but the output failed (file_write, nc)

    bool operator==(const Counts&) const = default;
};

constexpr std::size_t status_text_max = 200;  // five 20-digit counts and their words

// "<r> empfangen, <w> weitergegeben, <d> verworfen, <l> verloren, <f> Ausgabefehler".
// Returns the length.
std::size_t status_text(char out[status_text_max + 1], const Counts& counts);

// Decides when the counts are published: only when they changed, and at most
// once per second.
class StatusSchedule {
public:
    static constexpr std::int64_t interval_ms = 1000;
    bool due(const Counts& now, std::int64_t now_ms) const;
    void published(const Counts& now, std::int64_t now_ms);

private:
    Counts last_{};
    std::int64_t last_ms_ = 0;
    bool ever_ = false;
};

}  // namespace ql
