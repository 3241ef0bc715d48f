// Work that the receive loop does beside reception (the delivery of modes 1,
// 2 and 3): the loop waits on its descriptor and its deadline as well as on the
// socket, and runs it when either is due, so reception never waits for it.
#pragma once
#include <cstdint>

namespace ql {

struct SideWork {
    // The descriptor to wait on (-1: none), whether for writing too, and the
    // monotonic ms from which the work is due (-1: not due at all).
    void (*next)(int& fd, bool& write, std::int64_t& due_ms) = nullptr;
    // Called when the descriptor is ready or the deadline has come; events are
    // what poll found on the descriptor (0: none).
    void (*run)(std::int64_t now_ms, short events) = nullptr;
};

}  // namespace ql
