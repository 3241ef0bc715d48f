#include "reception/own_addresses.hpp"

#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace ql {

void collect_own_addresses(OwnAddresses& own, const ifaddrs* list) {
    own.count = 0;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        if (own.count == OwnAddresses::capacity) break;
        own.address[own.count++] = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
    }
}

void take_own_addresses(OwnAddresses& own, std::int64_t now) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        collect_own_addresses(own, list);
        freeifaddrs(list);
    } else {
        own.count = 0;
    }
    own.taken = true;
    own.taken_at = now;
}

bool own_addresses_stale(const OwnAddresses& own, std::int64_t now) {
    return !own.taken || now - own.taken_at > own_addresses_max_age || now < own.taken_at;
}

bool is_own_address(const OwnAddresses& own, std::uint32_t address) {
    for (std::size_t i = 0; i < own.count; ++i) {
        if (own.address[i] == address) return true;
    }
    return false;
}

}  // namespace ql
