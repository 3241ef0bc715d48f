#include "common/diag.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/settings.hpp"

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
    std::size_t left = std::strlen(text);
    while (left > 0) {
        ssize_t n = ::write(STDOUT_FILENO, text, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text += n;
        left -= static_cast<std::size_t>(n);
    }
    errno = saved;
}

}  // namespace ql
