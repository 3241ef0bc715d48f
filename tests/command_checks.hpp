// What the command server makes of a command text, and whether that is exactly
// what the datagram stands for. The server reads lines (a CR before the LF is
// dropped) and splits each into commands at ";", where ";;" is a literal ";";
// a device name it does not know is a pattern. Each check returns the first
// property violated, or nullptr. Used by the fuzz targets (a violation is a
// finding), the unit tests and the end-to-end tests.
#pragma once
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace checks {

#define CHECK_THAT(holds, what) \
    do {                        \
        if (!(holds)) return what; \
    } while (0)

inline bool is_word_byte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// One path component that begins with "Qln": no "/", no control byte.
inline const char* file_name(const std::string& name, const char* suffix) {
    CHECK_THAT(name.rfind("Qln", 0) == 0, "file name begins with Qln");
    CHECK_THAT(name.size() >= std::string(suffix).size() &&
                name.compare(name.size() - std::string(suffix).size(), std::string::npos, suffix) == 0,
            "file name ends in its suffix");
    for (unsigned char c : name) CHECK_THAT(c != '/' && c >= 0x20 && c != 0x7F, "file name is one clean component");
    return nullptr;
}

// The commands the server runs for a session, in order. A last line without
// its line feed is still read (the connection's end ends it).
inline std::vector<std::string> server_commands(const std::string& session) {
    std::vector<std::string> commands;
    std::size_t start = 0;
    while (start < session.size()) {
        std::size_t end = session.find('\n', start);
        if (end == std::string::npos) end = session.size();
        std::string line = session.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string command;
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line[i] != ';') {
                command.push_back(line[i]);
            } else if (i + 1 < line.size() && line[i + 1] == ';') {
                command.push_back(';');
                ++i;
            } else {
                commands.push_back(command);
                command.clear();
            }
        }
        commands.push_back(command);
        start = end + 1;
    }
    return commands;
}

// The values mode 1 must set, one per field of the record line: up to 28
// printable characters each, ended by a comma, a control or high byte, or the
// 29th character, which is lost; a field that begins with such a byte ends the list.
inline std::vector<std::string> record_fields(const std::string& line) {
    auto printable = [](unsigned char c) { return c >= 0x20 && c <= 0x7F; };
    std::vector<std::string> fields;
    std::size_t pos = 0;
    while (pos < line.size() && printable(static_cast<unsigned char>(line[pos]))) {
        std::string field;
        while (pos < line.size() && field.size() < 28 && line[pos] != ',' &&
               printable(static_cast<unsigned char>(line[pos])))
            field.push_back(line[pos++]);
        fields.push_back(field);
        if (pos < line.size()) ++pos;
    }
    return fields;
}

// Mode 1: the server runs "setreading <reading>_<NN> state <field>" for each
// field of the line, values byte for byte, then quit, and nothing else. The
// device names are no patterns (word bytes only).
inline const char* reading_commands_as_read(const std::string& text, const std::string& reading,
                                            const std::string& line) {
    CHECK_THAT(text.size() >= 5 && text.compare(text.size() - 5, 5, "quit\n") == 0, "mode 1 ends in quit");
    std::vector<std::string> commands = server_commands(text);
    std::vector<std::string> fields = record_fields(line);
    CHECK_THAT(commands.size() == fields.size() + 1, "mode 1 runs one command per field and quit");
    CHECK_THAT(commands.back() == "quit", "mode 1 last command is quit");
    for (unsigned char c : reading) CHECK_THAT(is_word_byte(c), "reading name of word bytes, no pattern");
    for (std::size_t i = 0; i < fields.size(); ++i) {
        char counter[24];
        std::snprintf(counter, sizeof counter, "%02zu", i);
        CHECK_THAT(commands[i] == "setreading " + reading + "_" + counter + " state " + fields[i],
                   "mode 1 command is setreading of its field, value byte for byte");
    }
    return nullptr;
}

// The value of a double-quoted literal from its opening quote on, as the
// server's expression language reads it; false where it would interpolate,
// know no escape, or not end; end is the index after the closing quote.
inline bool literal_value(const std::string& text, std::size_t open, std::string& value, std::size_t& end) {
    value.clear();
    for (std::size_t i = open + 1; i < text.size(); ++i) {
        char c = text[i];
        if (c == '"') {
            end = i + 1;
            return true;
        }
        if (c == '$' || c == '@') return false;
        if (c != '\\') {
            value.push_back(c);
            continue;
        }
        if (++i == text.size()) return false;
        switch (text[i]) {
            case '\\': case '"': case '$': case '@': value.push_back(text[i]); break;
            case 'n': value.push_back('\n'); break;
            case 'r': value.push_back('\r'); break;
            default: return false;
        }
    }
    return false;
}

// Mode 2: the server runs exactly one expression, "{ <name>("<literal>") }",
// whose literal's value is the record line and a blank, then quit.
inline const char* call_expression_as_read(const std::string& text, const std::string& line) {
    std::vector<std::string> commands = server_commands(text);
    CHECK_THAT(commands.size() == 2 && commands[1] == "quit", "mode 2 runs one expression, then quit");
    const std::string& expression = commands[0];
    CHECK_THAT(expression.rfind("{ ", 0) == 0, "mode 2 begins with a brace");
    std::size_t open = expression.find("(\"");
    CHECK_THAT(open != std::string::npos && open > 2, "mode 2 has a name and its opening");
    for (std::size_t i = 2; i < open; ++i)
        CHECK_THAT(is_word_byte(static_cast<unsigned char>(expression[i])), "mode 2 name of word bytes");
    std::string value;
    std::size_t end = 0;
    CHECK_THAT(literal_value(expression, open + 1, value, end), "mode 2 literal neither interpolates nor breaks");
    CHECK_THAT(expression.substr(end) == ") }", "mode 2 nothing after the literal but the closing");
    CHECK_THAT(value == line + " ", "mode 2 literal is the record line");
    return nullptr;
}

}  // namespace checks

#undef CHECK_THAT
