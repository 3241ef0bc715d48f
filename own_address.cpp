#include "own_address.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ql {

void clean_detected(char telip[telip_max + 1]) {
    for (std::size_t i = 0; i < telip_max; ++i) {
        unsigned char c = static_cast<unsigned char>(telip[i]);
        if (c < 0x20 || c >= 0x80) telip[i] = '\0';
    }
    telip[telip_max] = '\0';
}

bool first_host_address(const ifaddrs* list, char out[16]) {
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        in_addr address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr;
        if ((ntohl(address.s_addr) >> 24) == 127) continue;
        return inet_ntop(AF_INET, &address, out, 16) != nullptr;
    }
    return false;
}

bool detected_too_short(const char* telip) {
    // Listings that print "inet A.B.C.D" without "addr:" give nothing at all.
    return std::strlen(telip) <= 6;
}

bool settle_detected(char telip[telip_max + 1], const ifaddrs* list) {
    if (!detected_too_short(telip)) return false;
    char host[16];
    if (first_host_address(list, host)) {
        std::strcpy(telip, host);
        return false;
    }
    std::strcpy(telip, fallback_address);
    return true;
}

int detect_own_address(char telip[telip_max + 1], int debug, bool& fell_back) {
    fell_back = false;
    (void)!std::system(address_pipeline);
    std::FILE* fp = std::fopen(address_file, "r+e");
    if (fp == nullptr) {
        std::fprintf(stderr, "%s: %s\n", address_file, std::strerror(errno));
        if (debug) std::printf("err not found: my-ip \r\n");
        return 255;
    }
    std::memset(telip, 0, telip_max + 1);
    (void)!std::fread(telip, 1, telip_max, fp);
    std::fclose(fp);
    clean_detected(telip);

    if (detected_too_short(telip)) {
        ifaddrs* list = nullptr;
        if (getifaddrs(&list) != 0) list = nullptr;
        fell_back = settle_detected(telip, list);
        if (list != nullptr) freeifaddrs(list);
    }

    (void)!std::system("rm my-ip");
    return 0;
}

}  // namespace ql
