// Process-wide settings: written while the command line is read (and by the
// SIGTERM handler for terminate/quenlink_socket), read everywhere else.
#pragma once
#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstdint>

namespace ql {

constexpr std::uint16_t Porto = 60096;
constexpr std::size_t telip_max = 25;
constexpr std::size_t path_max = 100;
constexpr std::size_t broker_max = 100;

struct Settings {
    int debug = 0;   // diagnostics on standard output
    int append = 0;  // append to output files, line feed after every text
    int telnet = 0;  // 0 record files, 1 reading commands, 2 call expression, 3 MQTT
    char telip[telip_max + 1] = {};
    char broker[broker_max + 1] = {};  // mode 3: [USER@]HOST[:PORT]
    int broker_tls = 0;                // mode 3 over TLS
    int discovery = 0;                 // mode 3: Home Assistant discovery
    char path[path_max + 1] = {};
};

extern Settings settings;
extern volatile std::sig_atomic_t terminate;
// Exchanged atomically so that the handler and the main flow never close it twice.
extern std::atomic<int> quenlink_socket;

}  // namespace ql
