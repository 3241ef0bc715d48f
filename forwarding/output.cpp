#include "forwarding/output.hpp"

#include "common/diag.hpp"
#include "forwarding/commands.hpp"
#include "forwarding/file_write.hpp"

namespace ql {

// Below the floor of free space the floor says so once; other failures are
// reported per file.
static bool written(int result, const char* file) {
    if (result != 0 && result != 3) diag("Fehler: file_write %s mit Fehler\n", file);
    return result == 0;
}

Outcome record_file(const Record& r) {
    char file[file_name_max + 1];
    file_name(file, r.name, r.name_len, ".txt");
    return written(file_write(file, r.line, r.line_len), file) ? Outcome::handed_on : Outcome::failed;
}

// The command file keeps what was sent for a reader; the queue keeps the
// text until nc has delivered it.
bool command_file(const Record& r, int mode, std::string& commands) {
    char file[file_name_max + 1];
    file_name(file, r.name, r.name_len, "-telnet.txt");
    command_text(commands, mode, r.name, r.name_len, r.label, r.line, r.line_len);
    return written(file_write(file, commands.data(), commands.size()), file);
}

}  // namespace ql
