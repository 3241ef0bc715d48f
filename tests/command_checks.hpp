// Properties of file names and command texts that hold for every datagram.
// Each check returns the first property violated, or nullptr. Used by the fuzz
// targets (a violation is a finding) and by the end-to-end tests.
#pragma once
#include <cstddef>
#include <cstdio>
#include <string>

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

// Every line "setreading <name>_<counter> state <value>" CR LF, counters
// 00, 01, ... in order, then "quit\n" and nothing else.
inline const char* reading_commands(const std::string& text, const std::string& reading) {
    CHECK_THAT(text.size() >= 5 && text.compare(text.size() - 5, 5, "quit\n") == 0, "mode 1 ends in quit");
    std::size_t pos = 0;
    unsigned counter = 0;
    const std::string head = "setreading " + reading + "_";
    while (pos < text.size() - 5) {
        std::size_t end = text.find("\r\n", pos);
        CHECK_THAT(end != std::string::npos && end < text.size() - 5, "mode 1 line ends in CR LF");
        std::string line = text.substr(pos, end - pos);
        CHECK_THAT(line.rfind(head, 0) == 0, "mode 1 line begins with setreading and the name");
        char digits[16];
        std::snprintf(digits, sizeof digits, "%02u", counter++);
        std::string rest = line.substr(head.size());
        CHECK_THAT(rest.rfind(std::string(digits) + " state ", 0) == 0, "mode 1 counter in order, then state");
        std::string value = rest.substr(std::string(digits).size() + 7);
        CHECK_THAT(value.size() <= 28, "mode 1 value of at most 28 characters");
        for (unsigned char c : value) CHECK_THAT(c != ',' && c >= 0x20 && c <= 0x7F, "mode 1 value without , or control");
        pos = end + 2;
    }
    CHECK_THAT(pos == text.size() - 5, "mode 1 nothing between the lines");
    for (unsigned char c : reading) CHECK_THAT(is_word_byte(c) || c == '.', "reading name of word bytes and dots");
    return nullptr;
}

// "{ <name>(\"<literal>\") }" CR LF then "quit\n": one line, and the literal's
// only unescaped quote is the one that closes it, at its end.
inline const char* call_expression(const std::string& text) {
    const std::string tail = " \") }\r\nquit\n";
    CHECK_THAT(text.rfind("{ ", 0) == 0, "mode 2 begins with a brace");
    CHECK_THAT(text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0,
            "mode 2 ends in the closing and quit");
    std::size_t open = text.find("(\"");
    CHECK_THAT(open != std::string::npos, "mode 2 has its opening");
    for (std::size_t i = 2; i < open; ++i) CHECK_THAT(is_word_byte(static_cast<unsigned char>(text[i])), "mode 2 name");
    std::size_t close = text.size() - tail.size() + 1;  // the closing quote
    for (std::size_t i = open + 2; i < close; ++i) {
        char c = text[i];
        CHECK_THAT(c != '\n' && c != '\r', "mode 2 literal on one line");
        if (c == '\\') {
            ++i;
            CHECK_THAT(i < close, "mode 2 escape complete");
            char e = text[i];
            CHECK_THAT(e == '\\' || e == '"' || e == '$' || e == '@' || e == 'n' || e == 'r', "mode 2 escape known");
            continue;
        }
        CHECK_THAT(c != '"' && c != '$' && c != '@', "mode 2 special byte escaped");
    }
    return nullptr;
}

}  // namespace checks

#undef CHECK_THAT
