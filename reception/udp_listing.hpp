// The kernel's listing of UDP sockets (/proc/self/net/udp): one reader for
// the receiver's drop count where no datagram carries it, and for the tests
// and the benchmark that watch the port.
#pragma once
#include <cstddef>
#include <cstdint>

namespace ql {

// One socket's line: "sl local rem st tx:rx tr:when retrnsmt uid timeout inode ref pointer drops".
struct UdpLine {
    std::uint16_t local_port = 0;
    unsigned long rx_queue = 0;  // bytes waiting
    unsigned long inode = 0;
    std::uint32_t drops = 0;
};

// Pure: a line of the listing taken apart; false for the heading or a line of another shape.
bool parse_udp_line(const char* line, const char* end, UdpLine& out);

// The first line of the listing for which match is true (by inode, or port).
// Reads the listing in pieces, without allocating. False when none matches
// or the listing cannot be read.
bool find_udp_line(bool (*match)(const UdpLine& line, unsigned long key), unsigned long key, UdpLine& out);

inline bool udp_line_of_inode(const UdpLine& line, unsigned long inode) { return line.inode == inode; }
inline bool udp_line_of_port(const UdpLine& line, unsigned long port) { return line.local_port == port; }

}  // namespace ql
