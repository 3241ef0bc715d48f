// Both command texts from any label and any record line, also ones that no
// datagram can give (control bytes anywhere, very long lines), read as the
// command server reads them: exactly the line's own commands, nothing else.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "forwarding/commands.hpp"
#include "fuzz/require.hpp"
#include "tests/command_checks.hpp"

using namespace ql;

using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    std::size_t label_len = data[0] % (label_max + 1);
    if (size - 1 < label_len) return 0;
    std::size_t line_len = size - 1 - label_len;
    if (line_len > record_line_max) line_len = record_line_max;
    // Exact-size copies: a read past either is caught.
    char* label_bytes = static_cast<char*>(std::malloc(label_len + 1));
    std::memcpy(label_bytes, data + 1, label_len);
    char* line = static_cast<char*>(std::malloc(line_len + 1));
    std::memcpy(line, data + 1 + label_len, line_len);
    label_bytes[label_len] = '\0';
    Label label{label_bytes, std::strlen(label_bytes)};  // a label never holds a zero byte
    line[line_len] = '\0';
    line_len = std::strlen(line);          // nor does a record line

    static std::string out;
    char reading[label_max + 1];
    reading_name(reading, label);
    command_text(out, 1, "Qln042", 6, label, line, line_len);
    require(checks::reading_commands_as_read(out, reading, std::string(line, line_len)));

    std::string name = std::string("Qln042") + std::string(label.bytes, label.len);
    command_text(out, 2, name.data(), name.size(), label, line, line_len);
    require(checks::call_expression_as_read(out, std::string(line, line_len)));
    std::free(label_bytes);
    std::free(line);
    return 0;
}
