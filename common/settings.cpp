#include "common/settings.hpp"

namespace ql {

Settings settings;
volatile std::sig_atomic_t terminate = 0;
std::atomic<int> quenlink_socket{-1};

static_assert(std::atomic<int>::is_always_lock_free, "the SIGTERM handler needs a lock-free descriptor");

}  // namespace ql

#include <sys/types.h>

#include <ctime>

// Stamps past 2038 and record files past 2 GiB, on 32-bit hosts too.
static_assert(sizeof(std::time_t) == 8, "time_t must be 64 bits (_TIME_BITS=64)");
static_assert(sizeof(off_t) == 8, "off_t must be 64 bits (_FILE_OFFSET_BITS=64)");
