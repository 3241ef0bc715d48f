#include "forwarding/output.hpp"

#include <string>

#include "common/diag.hpp"
#include "common/settings.hpp"
#include "forwarding/commands.hpp"
#include "forwarding/file_write.hpp"
#include "delivery/delivery.hpp"
#include "forwarding/mqtt_record.hpp"
#include "forwarding/record.hpp"

namespace ql {

// Below the floor of free space the floor says so once; other failures are
// reported per file.
static bool written(int result, const char* file) {
    if (result != 0 && result != 3) diag("Fehler: file_write %s mit Fehler\n", file);
    return result == 0;
}

// The command file keeps what was sent for a reader; the queue keeps the
// text until nc has delivered it.
static Outcome forward_commands(const char* file, const std::string& commands) {
    if (!written(file_write(file, commands.data(), commands.size()), file)) return Outcome::failed;
    return delivery_enqueue(commands.data(), commands.size());
}

Outcome output_datagram(const Accepted& datagram) {
    static char line[record_line_max + 1];
    static std::string commands;

    Label label = device_label(datagram.text, datagram.text_len, datagram.is_long);
    char name[device_name_max + 1];
    std::size_t name_len = device_name(name, datagram.octet, label);

    // The stamp has whole seconds: converted once per second, not per datagram.
    static std::time_t stamp_time = -1;
    static char stamp[stamp_len + 1];
    static std::tm local;
    if (datagram.arrived != stamp_time) {
        localtime_r(&datagram.arrived, &local);
        time_stamp(stamp, local);
        stamp_time = datagram.arrived;
    }
    bool to_broker = settings.telnet == 3;
    // A message carries its record line without the line feed: "-a" changes nothing there.
    std::size_t line_len = record_line(line, stamp, name, name_len, datagram.text, datagram.text_len,
                                       settings.append != 0 && !to_broker);
    if (to_broker) {
        mqtt_message(commands, name, name_len, local, datagram.text, datagram.text_len, line, line_len);
        return delivery_enqueue(commands.data(), commands.size());
    }

    char file[file_name_max + 1];
    if (settings.telnet == 0) {
        file_name(file, name, name_len, ".txt");
        return written(file_write(file, line, line_len), file) ? Outcome::handed_on : Outcome::failed;
    }
    file_name(file, name, name_len, "-telnet.txt");
    command_text(commands, settings.telnet, name, name_len, label, line, line_len);
    return forward_commands(file, commands);
}

}  // namespace ql
