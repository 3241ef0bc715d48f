// One datagram as reception and forwarding share it: its limit, and what
// reception hands on.
#pragma once
#include <cstddef>
#include <ctime>

namespace ql {

constexpr std::size_t datagram_max = 1500;  // bytes used of one datagram; the rest is cut

// A datagram that passed the checks, as reception hands it on.
struct Accepted {
    unsigned octet;      // last octet of the sender's IPv4 address
    const char* text;    // the datagram text, checksum already left out
    std::size_t text_len;
    bool is_long;
    std::time_t arrived;  // when the kernel received it (wall clock, seconds)
};

enum class Outcome {
    handed_on,  // the output was written
    failed,     // the output failed
    queued,     // kept for delivery; the delivery counts it when it is done
};

// Where accepted datagrams go.
using HandOn = Outcome (*)(const Accepted& datagram);

}  // namespace ql
