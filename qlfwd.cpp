// qlfwd: receives the datagrams of the devices on UDP port 60096 and hands each
// valid one on as a timestamped record line.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "command_line.hpp"
#include "common/diag.hpp"
#include "common/durable.hpp"
#include "common/notify.hpp"
#include "common/settings.hpp"
#include "delivery/delivery.hpp"
#include "forwarding/mqtt_record.hpp"
#include "forwarding/output.hpp"
#include "forwarding/record.hpp"
#include "own_address.hpp"
#include "start_notes.hpp"
#include "reception/handed_socket.hpp"
#include "reception/receive.hpp"
#include "reception/socket.hpp"

using namespace ql;

// Reception hands each accepted datagram to forwarding, which makes the
// mode's output of it; the mode's sink takes that: the record file, the
// delivery queue of command texts, or the one of records for the broker.
namespace {

RecordMaker records;
std::string text;  // the command text or message of the datagram at hand; its capacity stays
MqttMessage message;

Outcome to_file(const Accepted& datagram) { return record_file(records.make(datagram, settings.append != 0)); }

Outcome to_server(const Accepted& datagram) {
    if (!command_file(records.make(datagram, settings.append != 0), settings.telnet, text)) return Outcome::failed;
    return delivery_enqueue(text.data(), text.size());
}

// A message carries its record line without the line feed: "-a" changes nothing there.
Outcome to_broker(const Accepted& datagram) {
    mqtt_message(text, message, records.make(datagram, false));
    return delivery_enqueue(message);
}

HandOn hand_on_of(int mode) { return mode == 0 ? to_file : mode == 3 ? to_broker : to_server; }

}  // namespace

static void sig_term(int) {
    terminate = 1;
    diag_safe("> beende programm\n");
    close_socket();
}

// Started with a standard descriptor closed, the socket or a record file would
// take its number, and diagnostics would land there.
static void hold_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0) continue;
        int null_fd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null_fd >= 0 && null_fd != fd) close(null_fd);
    }
}

static void install_sig_term() {
    struct sigaction action{};
    action.sa_handler = sig_term;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
}

static bool is_bare_mode(const char* argument) {
    return std::strcmp(argument, "-t") == 0 || std::strcmp(argument, "-T") == 0 || std::strcmp(argument, "-m") == 0 ||
           std::strcmp(argument, "-M") == 0;
}

static void parse_arguments(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (i > 1 && is_bare_mode(argv[i - 1]) && looks_like_address(argv[i])) note_stray_address(argv[i - 1], argv[i]);
        if (std::strchr(argv[i], '/') == nullptr) note_directory_argument(argv[i]);
        bool fell_back = false;
        switch (apply_argument(argv[i], settings)) {
            case ArgumentAction::none: break;
            case ArgumentAction::version: std::printf("qlfwd %s\n", version_text); break;
            case ArgumentAction::detect:
                if (detect_own_address(settings.telip, settings.debug, fell_back) != 0) std::exit(255);
                if (fell_back) note_fallback_address();
                break;
            case ArgumentAction::help:
                std::fputs(usage_text, stdout);
                std::exit(0);
            case ArgumentAction::address_too_long:
                std::fprintf(stderr, "qlfwd: Adresse in %s ist laenger als %zu Zeichen\n", argv[i], address_max(argv[i]));
                std::exit(1);
            case ArgumentAction::address_option:
                std::fprintf(stderr, "qlfwd: Adresse in %s darf nicht mit \"-\" beginnen\n", argv[i]);
                std::exit(1);
            case ArgumentAction::broker_invalid:
                std::fprintf(stderr, "qlfwd: Adresse in %s ist nicht [BENUTZER@]RECHNER[:PORT]\n", argv[i]);
                std::exit(1);
        }
    }
}

int main(int argc, char** argv) {
    hold_standard_descriptors();
    diag_init();
    // Before anything else, so that a SIGTERM during start-up still ends with status 0.
    install_sig_term();
    // The manager's variables are taken before the detection's shell can see them.
    take_handed_socket();
    notify_open();
    parse_arguments(argc, argv);
    if (settings.discovery != 0 && settings.telnet != 3) note_discovery_without_broker();
    note_prefix(settings.path);

    if (int result = open_socket(Porto); result != 0) {
        diag("Fehler: konnte Socket nicht oeffnen\n");
        // A handed-over socket of the wrong kind has said so already.
        if (result != 3) note_socket(open_socket_error());
        return 2;
    }
    bool delivering = settings.telnet != 0;
    // Only a receiver that holds the port takes over what an earlier one left queued.
    if (delivering && !delivery_open()) return 1;
    notify_send("READY=1", 7);
    receive_socket(hand_on_of(settings.telnet), delivering ? delivery_work() : SideWork{}, delivering);
    close_socket();
    if (delivering) delivery_finish();
    // A cut right after a stop, an upgrade or a shutdown loses nothing.
    durable_sync();
    return 0;
}
