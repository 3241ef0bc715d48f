// The whole path of one datagram without the network: checks and checksum,
// device name and label, record line, file names, and both command texts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "forwarding/commands.hpp"
#include "forwarding/file_write.hpp"
#include "forwarding/record.hpp"
#include "fuzz/datagram_input.hpp"
#include "fuzz/require.hpp"
#include "reception/checks.hpp"
#include "tests/command_checks.hpp"

using namespace ql;

using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    // The first byte picks the sender's octet and -a; the rest is the datagram.
    unsigned octet = data[0];
    bool append = (data[0] & 1) != 0;
    std::size_t n = 0;
    char* bytes = fuzz::datagram_bytes(data, size, n);

    Checked c = check_datagram(bytes, n);
    if (c.verdict == Verdict::valid) {
        require(c.text_len <= c.full_len && c.full_len <= n, "text within the datagram");
        require(c.is_long == (n >= long_min), "long from the byte count");
        Label label = device_label(bytes, c.text_len, c.is_long);
        require(label.len <= label_max && (label.len == 0 || label.bytes + label.len <= bytes + c.text_len),
                      "label within the text");
        char name[device_name_max + 1];
        std::size_t name_len = device_name(name, octet, label);
        require(name_len == 6 + label.len && std::strlen(name) == name_len, "device name length");

        std::tm t{};
        t.tm_year = 126;
        t.tm_mday = 1;
        char stamp[stamp_len + 1];
        time_stamp(stamp, t);
        static char line[record_line_max + 1];
        std::size_t line_len = record_line(line, stamp, name, name_len, bytes, c.text_len, append);
        require(line_len == stamp_len + 10 + name_len + 1 + c.text_len + (append ? 1 : 0), "record length");
        require(std::memcmp(line + stamp_len + 10 + name_len + 1, bytes, c.text_len) == 0, "text kept whole");

        char file[file_name_max + 1];
        require(checks::file_name(std::string(file, file_name(file, name, name_len, ".txt")), ".txt"));
        require(checks::file_name(std::string(file, file_name(file, name, name_len, "-telnet.txt")), "-telnet.txt"));

        static std::string commands;
        char reading[label_max + 1];
        reading_name(reading, label);
        command_text(commands, 1, name, name_len, label, line, line_len);
        require(checks::reading_commands_as_read(commands, reading, std::string(line, line_len)));
        command_text(commands, 2, name, name_len, label, line, line_len);
        require(checks::call_expression_as_read(commands, std::string(line, line_len)));
    } else if (c.verdict == Verdict::bad_checksum) {
        require(c.is_long && std::strlen(c.got) <= 4, "received checksum of four characters at most");
    }
    std::free(bytes);
    return 0;
}
