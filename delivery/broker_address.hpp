// A broker's address as given after -m or -M: [USER@]HOST[:PORT]. Pure.
#pragma once
#include <cstddef>

namespace ql {

constexpr std::size_t broker_address_max = 100;
constexpr unsigned mqtt_port = 1883;
constexpr unsigned mqtt_tls_port = 8883;

struct BrokerAddress {
    char user[broker_address_max + 1] = {};  // empty: none
    char host[broker_address_max + 1] = {};
    unsigned port = 0;
};

// Empty means 127.0.0.1; the port defaults by tls. USER is printable ASCII
// but "/" (the last "@" ends it), HOST letters, digits, ".", "-" and "_", PORT 1 to
// 65535. False for anything else, or longer than broker_address_max; reads
// no further than the text's end.
bool parse_broker_address(const char* text, bool tls, BrokerAddress& out);

}  // namespace ql
