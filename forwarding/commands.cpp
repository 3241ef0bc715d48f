#include "forwarding/commands.hpp"

namespace ql {

static bool is_word_byte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

static bool is_printable(unsigned char c) { return c >= 0x20 && c <= 0x7F; }

// The server splits every line into commands at ";" and reads ";;" as one
// literal ";": doubled, a datagram's ";" stays inside its own command.
static void append_literal(std::string& out, const char* bytes, std::size_t len) {
    for (std::size_t i = 0; i < len; ++i) {
        if (bytes[i] == ';') out.push_back(';');
        out.push_back(bytes[i]);
    }
}

std::size_t reading_name(char out[label_max + 1], Label label) {
    std::size_t i = 0;
    while (i < label.len && label.bytes[i] == '_') ++i;
    std::size_t n = 0;
    for (; i < label.len; ++i) {
        unsigned char c = static_cast<unsigned char>(label.bytes[i]);
        out[n++] = is_word_byte(c) ? static_cast<char>(c) : '_';
    }
    out[n] = '\0';
    return n;
}

static void append_counter(std::string& out, unsigned counter) {
    char digits[12];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + counter % 10);
        counter /= 10;
    } while (counter != 0);
    if (n == 1) digits[n++] = '0';
    while (n > 0) out.push_back(digits[--n]);
}

void reading_commands(std::string& out, const char* reading, const char* line, std::size_t line_len) {
    std::size_t pos = 0;
    unsigned counter = 0;
    while (pos < line_len && is_printable(static_cast<unsigned char>(line[pos]))) {
        out.append("setreading ");
        out.append(reading);
        out.push_back('_');
        append_counter(out, counter++);
        out.append(" state ");
        std::size_t start = pos;
        while (pos < line_len && pos - start < field_max && line[pos] != ',' &&
               is_printable(static_cast<unsigned char>(line[pos])))
            ++pos;
        append_literal(out, line + start, pos - start);
        out.append("\r\n");
        // The byte that ended the field is dropped: a comma, a control byte, or
        // the 29th character of a long field.
        if (pos < line_len) ++pos;
    }
}

void call_expression(std::string& out, const char* name, std::size_t name_len, const char* line,
                     std::size_t line_len) {
    out.append("{ ");
    for (std::size_t i = 0; i < name_len; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        out.push_back(is_word_byte(c) ? static_cast<char>(c) : '_');
    }
    out.append("(\"");
    for (std::size_t i = 0; i < line_len; ++i) {
        char c = line[i];
        switch (c) {
            case '\n': out.append("\\n"); break;
            case '\r': out.append("\\r"); break;
            case '\\': case '"': case '$': case '@':
                out.push_back('\\');
                out.push_back(c);
                break;
            case ';': out.append(";;"); break;
            default: out.push_back(c);
        }
    }
    out.append(" \") }\r\n");
}

void command_text(std::string& out, int mode, const char* name, std::size_t name_len, Label label,
                  const char* line, std::size_t line_len) {
    out.clear();
    if (mode == 1) {
        char reading[label_max + 1];
        reading_name(reading, label);
        reading_commands(out, reading, line, line_len);
    } else {
        call_expression(out, name, name_len, line, line_len);
    }
    out.append("quit\n");
}

}  // namespace ql
