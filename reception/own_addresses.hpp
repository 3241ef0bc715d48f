// The host's own IPv4 addresses, for dropping the datagrams it sent itself.
// Taken again when older than a minute, so an address that changes (DHCP) is
// known within a minute.
#pragma once
#include <cstddef>
#include <cstdint>

struct ifaddrs;

namespace ql {

constexpr std::int64_t own_addresses_max_age = 60;  // seconds

struct OwnAddresses {
    static constexpr std::size_t capacity = 256;
    std::uint32_t address[capacity] = {};  // network byte order
    std::size_t count = 0;
    bool taken = false;
    std::int64_t taken_at = 0;  // monotonic seconds
};

// Fills the list from an interface list: IPv4 entries only, the rest skipped.
void collect_own_addresses(OwnAddresses& own, const ifaddrs* list);

// Takes the list from the system now; an empty list when it cannot be had.
void take_own_addresses(OwnAddresses& own, std::int64_t now);

bool own_addresses_stale(const OwnAddresses& own, std::int64_t now);

bool is_own_address(const OwnAddresses& own, std::uint32_t address);

}  // namespace ql
