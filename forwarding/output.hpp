// Hands one accepted datagram on: record line, then the record file (mode 0)
// or the command file and one run of nc (modes 1 and 2).
#pragma once
#include <cstddef>
#include <ctime>

namespace ql {

struct Accepted {
    unsigned octet;      // last octet of the sender's IPv4 address
    const char* text;    // the datagram text, checksum already left out
    std::size_t text_len;
    bool is_long;
};

// True when the output was written (and nc ran to its end).
bool output_datagram(const Accepted& datagram, std::time_t now);

}  // namespace ql
