#include "forwarding/output.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "common/diag.hpp"
#include "common/settings.hpp"
#include "forwarding/commands.hpp"
#include "forwarding/file_write.hpp"
#include "forwarding/nc_run.hpp"
#include "forwarding/record.hpp"

namespace ql {

static void report_file_error(const char* file) { diag("Fehler: file_write %s mit Fehler\n", file); }

static bool forward_commands(const char* file, const std::string& commands) {
    if (file_write(file, commands.data(), commands.size()) != 0) {
        report_file_error(file);
        return false;
    }
    char full[output_path_max + 1];
    output_path(full, settings.path, file);
    int fd = ::open(full, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        report_file_error(file);
        return false;
    }
    // With -a the file holds every earlier text too; the server stops reading at
    // the first "quit", so nc gets only this datagram's commands.
    if (::lseek(fd, -static_cast<off_t>(commands.size()), SEEK_END) < 0) (void)::lseek(fd, 0, SEEK_SET);

    char address[telip_max + 1];
    first_address(address, sizeof address, settings.telip);
    int error = 0;
    NcResult result = run_nc(address, fd, nc_time_limit_ms, error);
    switch (result) {
        case NcResult::finished: break;
        case NcResult::not_started:
            diag("Fehler: konnte nc nicht starten, %s (errno=%i)\n", std::strerror(error), error);
            break;
        case NcResult::timed_out:
            diag("Fehler: nc nach %i s abgebrochen\n", nc_time_limit_ms / 1000);
            break;
    }
    ::close(fd);
    return result == NcResult::finished;
}

bool output_datagram(const Accepted& datagram, std::time_t now) {
    static char line[record_line_max + 1];
    static std::string commands;

    Label label = device_label(datagram.text, datagram.text_len, datagram.is_long);
    char name[device_name_max + 1];
    std::size_t name_len = device_name(name, datagram.octet, label);

    // The stamp has whole seconds: converted once per second, not per datagram.
    static std::time_t stamp_time = -1;
    static char stamp[stamp_len + 1];
    if (now != stamp_time) {
        std::tm local;
        localtime_r(&now, &local);
        time_stamp(stamp, local);
        stamp_time = now;
    }
    std::size_t line_len =
        record_line(line, stamp, name, name_len, datagram.text, datagram.text_len, settings.append != 0);

    char file[file_name_max + 1];
    if (settings.telnet == 0) {
        file_name(file, name, name_len, ".txt");
        if (file_write(file, line, line_len) == 0) return true;
        report_file_error(file);
        return false;
    }
    file_name(file, name, name_len, "-telnet.txt");
    command_text(commands, settings.telnet, name, name_len, label, line, line_len);
    return forward_commands(file, commands);
}

}  // namespace ql
