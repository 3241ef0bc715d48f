// Any -m/-M argument parses or is refused, never read past its end; what
// parses stays within its limits and has a host without "/" or a leading "-".
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "command_line.hpp"
#include "delivery/broker_address.hpp"
#include "fuzz/require.hpp"

using namespace ql;

using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    bool tls = (data[0] & 1) != 0;
    // Exactly as large as the text and its zero byte: a read past it is caught.
    std::size_t n = strnlen(reinterpret_cast<const char*>(data + 1), size - 1);
    char* text = static_cast<char*>(std::malloc(n + 3));
    text[0] = '-';
    text[1] = tls ? 'M' : 'm';
    std::memcpy(text + 2, data + 1, n);
    text[n + 2] = '\0';
    BrokerAddress a;
    if (parse_broker_address(text + 2, tls, a)) {
        require(n <= broker_address_max, "within its length");
        require(a.host[0] != '\0' && a.host[0] != '-', "a host that no tool takes for an option");
        require(std::strchr(a.host, '/') == nullptr && std::strchr(a.user, '/') == nullptr, "no \"/\"");
        require(a.port >= 1 && a.port <= 65535, "a port");
    }
    Settings s;
    ArgumentAction action = apply_argument(text, s);
    if (std::strchr(text, '/') == nullptr) {
        require(s.telnet == 3 && s.broker_tls == (tls ? 1 : 0), "mode 3");
        require((action == ArgumentAction::none) == (std::strcmp(s.broker, text + 2) == 0 && a.host[0] != '\0'),
                "taken exactly when it parses");
    }
    std::free(text);
    return 0;
}
