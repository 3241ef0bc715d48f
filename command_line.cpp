#include "command_line.hpp"

#include <cstring>

#include "delivery/broker_address.hpp"

namespace ql {

const char usage_text[] =
    "Aufruf: qlfwd [-v] [-d] [-a] [-t[ADRESSE] | -T[ADRESSE] | -m[BROKER] [-H] | -M[BROKER] [-H]] [PRAEFIX]\n"
    "Empfaengt Datagramme auf UDP-Port 60096 und gibt jedes gueltige als Zeile\n"
    "mit Zeitstempel weiter. Laeuft im Vordergrund bis SIGTERM.\n"
    "  -v           Versionszeile ausgeben, dann wie gewohnt starten\n"
    "  -d           Diagnosemeldungen auf der Standardausgabe\n"
    "  -a           an die Ausgabedateien anhaengen, eine Zeile je Datagramm\n"
    "  -t[ADRESSE]  Lesebefehle (setreading) an den Befehlsserver, TCP-Port 7072\n"
    "  -T[ADRESSE]  Aufrufausdruck an den Befehlsserver, TCP-Port 7072\n"
    "               ohne ADRESSE wird die eigene Adresse des Rechners ermittelt\n"
    "  -m[BROKER]   jeden Datensatz an einen MQTT-Broker, BROKER ist\n"
    "               [BENUTZER@]RECHNER[:PORT], ohne BROKER 127.0.0.1:1883\n"
    "  -M[BROKER]   ebenso ueber TLS, Port 8883\n"
    "  -H           mit -m/-M: Home-Assistant-Discovery\n"
    "  PRAEFIX      jedes Argument mit \"/\" wird den Dateinamen vorangestellt,\n"
    "               ein Verzeichnis also mit \"/\" am Ende, z. B. /var/lib/qlfwd/\n"
    "  -h, --help   diese Hilfe\n";

static ArgumentAction set_mode(int mode, const char* address, Settings& s) {
    s.telnet = mode;
    if (*address == '\0') return ArgumentAction::detect;
    if (std::strlen(address) > telip_max) return ArgumentAction::address_too_long;
    if (*address == '-') return ArgumentAction::address_option;
    std::strcpy(s.telip, address);
    return ArgumentAction::none;
}

std::size_t address_max(const char* argument) {
    return std::strncmp(argument, "-m", 2) == 0 || std::strncmp(argument, "-M", 2) == 0 ? broker_max : telip_max;
}

static ArgumentAction set_broker(bool tls, const char* address, Settings& s) {
    s.telnet = 3;
    s.broker_tls = tls ? 1 : 0;
    if (strnlen(address, broker_max + 1) > broker_max) return ArgumentAction::address_too_long;
    if (*address == '-') return ArgumentAction::address_option;
    BrokerAddress parsed;
    if (!parse_broker_address(address, tls, parsed)) return ArgumentAction::broker_invalid;
    std::strcpy(s.broker, address);
    return ArgumentAction::none;
}

ArgumentAction apply_argument(const char* a, Settings& s) {
    if (std::strchr(a, '/') != nullptr) {
        std::strncpy(s.path, a, path_max);
        s.path[path_max] = '\0';
        return ArgumentAction::none;
    }
    if (std::strcmp(a, "-v") == 0) return ArgumentAction::version;
    if (std::strcmp(a, "-d") == 0) { s.debug = 1; return ArgumentAction::none; }
    if (std::strcmp(a, "-a") == 0) { s.append = 1; return ArgumentAction::none; }
    if (std::strncmp(a, "-t", 2) == 0) return set_mode(1, a + 2, s);
    if (std::strncmp(a, "-T", 2) == 0) return set_mode(2, a + 2, s);
    if (std::strncmp(a, "-m", 2) == 0) return set_broker(false, a + 2, s);
    if (std::strncmp(a, "-M", 2) == 0) return set_broker(true, a + 2, s);
    if (std::strcmp(a, "-H") == 0) { s.discovery = 1; return ArgumentAction::none; }
    if (std::strcmp(a, "-h") == 0 || std::strcmp(a, "--help") == 0) return ArgumentAction::help;
    return ArgumentAction::none;
}

}  // namespace ql
