#include "common/settings.hpp"

namespace ql {

Settings settings;
volatile std::sig_atomic_t terminate = 0;
std::atomic<int> quenlink_socket{-1};

static_assert(std::atomic<int>::is_always_lock_free, "the SIGTERM handler needs a lock-free descriptor");

}  // namespace ql
