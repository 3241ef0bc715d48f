// Diagnostics on standard output, printed only while settings.debug is set.
#pragma once

namespace ql {

// Makes standard output line-buffered, so every complete line leaves at once,
// also into a pipe or a file.
void diag_init();

void diag(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Async-signal-safe form for the SIGTERM path: one fixed text through write(2).
void diag_safe(const char* text);

}  // namespace ql
