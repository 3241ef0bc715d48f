// When a failed delivery is tried again: 1 s after the first failure in a row,
// doubling up to 30 s (or a shorter bound) while the server stays away; at
// once after a success.
// Pure.
#pragma once
#include <cstdint>

namespace ql {

class RetrySchedule {
public:
    static constexpr std::int64_t first_ms = 1000;
    static constexpr std::int64_t most_ms = 30000;

    // Counts a failure; the wait before the next attempt, doubling up to most.
    std::int64_t failed(std::int64_t most = most_ms) {
        delay_ = delay_ == 0 ? first_ms : (delay_ >= most / 2 ? most : delay_ * 2);
        return delay_;
    }
    // Counts a failure that trying again soon cannot mend: the longest wait.
    std::int64_t failed_slowest() { return delay_ = most_ms; }
    void succeeded() { delay_ = 0; }
    bool failing() const { return delay_ != 0; }

private:
    std::int64_t delay_ = 0;
};

}  // namespace ql
