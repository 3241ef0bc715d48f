// Runs nc <address> 7072 directly (no shell), found through PATH, with the
// given descriptor as its standard input and /dev/null as its output, and waits
// for it; a run that outlives the time limit is ended.
#pragma once
#include <cstddef>

namespace ql {

constexpr int nc_time_limit_ms = 10000;

enum class NcResult { finished, not_started, timed_out };

// error receives the errno of a start that failed.
NcResult run_nc(const char* address, int input_fd, int time_limit_ms, int& error);

// The first blank-separated word of an address list. Returns its length.
std::size_t first_address(char* out, std::size_t cap, const char* list);

}  // namespace ql
