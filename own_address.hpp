// Detection of this host's own address for "-t"/"-T" without one: the
// interface listing through the shell into the file "my-ip", then the first
// non-loopback IPv4 address of the interfaces, then the fixed fallback.
#pragma once
#include <cstddef>

#include "common/settings.hpp"

struct ifaddrs;

namespace ql {

constexpr char fallback_address[] = "192.168.1.10";
constexpr char address_file[] = "my-ip";
constexpr char address_pipeline[] =
    "echo `ifconfig | grep addr: | grep -v 127.0.0.1 | cut -f2 -d: | awk '{print $1}'` > my-ip";

// What was read of the address file (up to 25 characters, verbatim), cut at the
// first control byte or byte of 0x80 and above.
void clean_detected(char telip[telip_max + 1]);

// The first IPv4 address outside 127.0.0.0/8, dotted; false when there is none.
bool first_host_address(const ifaddrs* list, char out[16]);

// Six characters or fewer cannot be an address.
bool detected_too_short(const char* telip);

// The cleaned text itself when longer than six characters, else the first host
// address, else the fallback (then it returns true).
bool settle_detected(char telip[telip_max + 1], const ifaddrs* list);

// Runs the whole detection into telip; fell_back tells whether it ended at the
// fallback. Returns 0, or 255 (after printing the error) when the address
// file cannot be opened.
int detect_own_address(char telip[telip_max + 1], int debug, bool& fell_back);

}  // namespace ql
