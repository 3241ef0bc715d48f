#include "start_notes.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/prefix.hpp"
#include "common/settings.hpp"
#include "own_address.hpp"

namespace ql {

static bool is_digit(char c) { return c >= '0' && c <= '9'; }
static bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool looks_like_address(const char* a) {
    if (!is_digit(*a) && !is_letter(*a)) return false;
    bool dotted_digits = true, dot = false;
    for (const char* p = a; *p != '\0'; ++p) {
        if (*p == '.') dot = true;
        else if (!is_digit(*p)) dotted_digits = false;
        if (!is_digit(*p) && !is_letter(*p) && *p != '.' && *p != '-') return false;
    }
    return dotted_digits ? dot : true;
}

static bool is_directory(const char* path) {
    struct stat st {};
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// True the first time only: each note comes once.
static bool first_time(bool& said) {
    if (said) return false;
    said = true;
    return true;
}

void note_stray_address(const char* option, const char* argument) {
    static bool said = false;
    if (!first_time(said)) return;
    std::fprintf(stderr,
                 "qlfwd: Hinweis: \"%s\" nach %s wird nicht als Adresse genommen; die Adresse gehoert ohne "
                 "Leerzeichen an die Option: %s%s\n",
                 argument, option, option, argument);
}

void note_discovery_without_broker() {
    std::fprintf(stderr, "qlfwd: Hinweis: -H wirkt nur zusammen mit -m oder -M und bleibt hier ohne Wirkung\n");
}

void note_fallback_address() {
    static bool said = false;
    if (!first_time(said)) return;
    std::fprintf(stderr,
                 "qlfwd: Hinweis: keine eigene Adresse gefunden, die Befehle gehen an die feste Adresse %s; "
                 "die Adresse des Befehlsservers so angeben: -tADRESSE oder -TADRESSE\n",
                 fallback_address);
}

void note_directory_argument(const char* argument) {
    static bool said = false;
    if (*argument == '-' || !is_directory(argument) || !first_time(said)) return;
    std::fprintf(stderr,
                 "qlfwd: Hinweis: \"%s\" ist ein Verzeichnis, aber ohne \"/\" kein Praefix; gemeint ist wohl %s/\n",
                 argument, argument);
}

void note_prefix(const char* prefix) {
    char directory[prefix_directory_max + 1];
    prefix_directory(prefix, directory);
    if (::access(directory, W_OK | X_OK) != 0) {
        std::fprintf(stderr, "qlfwd: Hinweis: in das Verzeichnis %s kann nicht geschrieben werden: %s\n", directory,
                     std::strerror(errno));
        return;
    }
    std::size_t len = std::strlen(prefix);
    if (len > 0 && prefix[len - 1] != '/' && is_directory(prefix))
        std::fprintf(stderr,
                     "qlfwd: Hinweis: das Praefix %s ist ein Verzeichnis, die Dateien heissen aber %sQln...; "
                     "gemeint ist wohl %s/\n",
                     prefix, prefix, prefix);
}

void note_socket(int error) {
    std::fprintf(stderr, "qlfwd: UDP-Port %u kann nicht geoeffnet werden: %s\n", static_cast<unsigned>(Porto),
                 std::strerror(error));
}

}  // namespace ql
