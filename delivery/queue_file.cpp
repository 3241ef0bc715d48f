#include "delivery/queue_file.hpp"

namespace ql {

bool QueueFile::begin(const char*& text, std::size_t& len, std::uint32_t tag) {
    if (window_.full()) return false;
    std::int64_t at = 0;
    if (!log_.take_next(text, len, at)) return false;
    window_.push(at, tag);
    return true;
}

void QueueFile::tag_newest(std::uint32_t tag) {
    window_.retag_newest(tag);
}

bool QueueFile::settle(std::uint32_t tag, bool arrived, std::uint64_t& arrived_count, std::uint64_t& given_up_count) {
    if (!window_.settle(tag, arrived)) return false;
    while (window_.front_settled()) {
        if (window_.front().state == InFlight::State::arrived)
            ++arrived_count;
        else
            ++given_up_count;
        window_.pop();
        log_.settle_oldest(window_.empty() ? -1 : window_.front().at);
    }
    return true;
}

void QueueFile::settle_front(std::uint32_t tag, bool arrived) {
    std::uint64_t a = 0, g = 0;
    (void)settle(tag, arrived, a, g);
}

}  // namespace ql
