#include "delivery/broker_address.hpp"

#include <cstring>

namespace ql {

namespace {

bool is_host_byte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
           c == '_';
}

}  // namespace

bool parse_broker_address(const char* text, bool tls, BrokerAddress& out) {
    out = BrokerAddress{};
    out.port = tls ? mqtt_tls_port : mqtt_port;
    std::size_t len = strnlen(text, broker_address_max + 1);
    if (len > broker_address_max) return false;
    if (len == 0) {
        std::strcpy(out.host, "127.0.0.1");
        return true;
    }
    const char* at = static_cast<const char*>(memrchr(text, '@', len));
    std::size_t host_from = 0;
    if (at != nullptr) {
        std::size_t user_len = static_cast<std::size_t>(at - text);
        if (user_len == 0) return false;
        for (std::size_t i = 0; i < user_len; ++i) {
            unsigned char c = static_cast<unsigned char>(text[i]);
            if (c <= 0x20 || c >= 0x7F || c == '/') return false;
        }
        std::memcpy(out.user, text, user_len);
        out.user[user_len] = '\0';
        host_from = user_len + 1;
    }
    std::size_t host_to = host_from;
    while (host_to < len && text[host_to] != ':') {
        if (!is_host_byte(static_cast<unsigned char>(text[host_to]))) return false;
        ++host_to;
    }
    if (host_to == host_from || text[host_from] == '-') return false;
    std::memcpy(out.host, text + host_from, host_to - host_from);
    out.host[host_to - host_from] = '\0';
    if (host_to == len) return true;
    unsigned port = 0;
    std::size_t digits = 0;
    for (std::size_t i = host_to + 1; i < len; ++i, ++digits) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < '0' || c > '9' || digits >= 5) return false;
        port = port * 10 + (c - '0');
    }
    if (digits == 0 || port == 0 || port > 65535) return false;
    out.port = port;
    return true;
}

}  // namespace ql
