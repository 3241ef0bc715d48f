// Any argument list: the settings always stay within their limits.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "command_line.hpp"
#include "fuzz/require.hpp"

using namespace ql;

using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args;
    std::string current;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    args.push_back(current);
    Settings s;
    for (const std::string& a : args) {
        ArgumentAction action = apply_argument(a.c_str(), s);
        require(std::strlen(s.telip) <= telip_max && std::strlen(s.path) <= path_max, "settings within limits");
        require(s.telip[0] != '-', "no address that nc would take for an option");
        require(s.telnet >= 0 && s.telnet <= 3, "mode 0, 1, 2 or 3");
        require(std::strlen(s.broker) <= broker_max && s.broker[0] != '-', "broker address within limits");
        if (action == ArgumentAction::help || action == ArgumentAction::address_too_long ||
            action == ArgumentAction::address_option || action == ArgumentAction::broker_invalid)
            break;  // the program ends here
    }
    return 0;
}
