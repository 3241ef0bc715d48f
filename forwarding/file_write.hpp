// The one way an output file is written: prefix + name, opened, written whole,
// given mode 0666 and closed, per call.
#pragma once
#include <cstddef>

#include "common/settings.hpp"
#include "common/prefix.hpp"
#include "forwarding/record.hpp"

namespace ql {

constexpr std::size_t file_name_max = device_name_max + 11;  // + "-telnet.txt"

// The device name with suffix, as a file name that stays one path component:
// "/" and control bytes (below 0x20, and 0x7F) become "_". Returns the length.
std::size_t file_name(char out[file_name_max + 1], const char* name, std::size_t name_len,
                      const char* suffix);

constexpr std::size_t output_path_max = path_max + file_name_max;

// The prefix joined directly to the file name (no separator). Returns the length.
std::size_t output_path(char out[output_path_max + 1], const char* prefix, const char* name);

// 0: written; 1: cannot be opened (missing directory, no permission, a symbolic
// link); 2: opened but not written whole (no partial text stays); 3: refused,
// as it would grow the file system below its floor of free space. Appends one
// text, or replaces the file whole through a hidden temporary beside it. Never
// follows a symbolic link in the last component, never blocks on a FIFO.
int file_write(const char* prefix, const char* name, const char* text, std::size_t len, bool append);

// The same with the settings' prefix and append mode.
int file_write(const char* name, const char* text, std::size_t len);

}  // namespace ql
