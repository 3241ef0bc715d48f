// Runs nc <address> 7072 directly (no shell), found through PATH, with a
// command text as its standard input and /dev/null as its output, beside the
// caller: start it, then look (or wait) until it has ended; a run that
// outlives the time limit is ended (SIGTERM, then SIGKILL a second later).
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace ql {

constexpr int nc_time_limit_ms = 10000;

struct NcRun {
    pid_t pid = -1;
    int pidfd = -1;              // readable once nc has ended; -1 where there is none
    std::int64_t deadline_ms = 0;  // the limit, then the moment for SIGKILL
    bool terminated = false;     // SIGTERM sent at the limit
};

enum class NcEnd {
    running,
    exited,     // ended by itself; status is its exit status (128 + signal when killed by one)
    timed_out,  // ended by us at the limit
};

// The first executable regular file called name in the directories of
// search_path (":"-separated; an empty entry is the working directory).
bool find_program(const char* name, const char* search_path, char* out, std::size_t cap);

// Starts nc; false with error set (ENOENT where PATH holds no nc) when it
// could not be started. The run is left running.
bool start_nc(const char* address, const char* text, std::size_t len, std::int64_t now_ms, NcRun& run, int& error);

// Looks without waiting; past the limit it ends the run.
NcEnd look_nc(NcRun& run, std::int64_t now_ms, int& status);

// Waits until the run has ended, at most until its limit (and its end after it).
NcEnd wait_nc(NcRun& run, int& status);

// The first blank-separated word of an address list. Returns its length.
std::size_t first_address(char* out, std::size_t cap, const char* list);

}  // namespace ql
