#include "common/diag.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/settings.hpp"
#include "common/storage.hpp"

namespace ql {

void diag_init() { std::setvbuf(stdout, nullptr, _IOLBF, 0); }

void diag(const char* format, ...) {
    if (!settings.debug) return;
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}

void diag_safe(const char* text) {
    if (!settings.debug) return;
    int saved = errno;
    // A handful of system calls, each safe in a signal handler.
    (void)write_all(STDOUT_FILENO, text, std::strlen(text));
    errno = saved;
}

}  // namespace ql
