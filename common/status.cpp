#include "common/status.hpp"

#include <cinttypes>
#include <cstdio>

namespace ql {

Counts counts;

std::size_t status_text(char out[status_text_max + 1], const Counts& c, bool with_queue) {
    int n = std::snprintf(out, status_text_max + 1,
                          "%" PRIu64 " empfangen, %" PRIu64 " weitergegeben, %" PRIu64 " verworfen, %" PRIu64
                          " verloren, %" PRIu64 " Ausgabefehler",
                          c.received, c.handed_on, c.dropped, c.lost, c.failed);
    if (n >= 0 && with_queue && static_cast<std::size_t>(n) < status_text_max)
        n += std::snprintf(out + n, status_text_max + 1 - static_cast<std::size_t>(n),
                           ", %" PRIu64 " in Warteschlange", c.queued);
    if (n < 0) return 0;
    return static_cast<std::size_t>(n) > status_text_max ? status_text_max : static_cast<std::size_t>(n);
}

bool StatusSchedule::due(const Counts& now, std::int64_t now_ms) const {
    if (!ever_) return true;
    return now != last_ && now_ms - last_ms_ >= interval_ms;
}

std::int64_t StatusSchedule::due_at(const Counts& now) const {
    if (!ever_) return 0;
    return now == last_ ? -1 : last_ms_ + interval_ms;
}

void StatusSchedule::published(const Counts& now, std::int64_t now_ms) {
    last_ = now;
    last_ms_ = now_ms;
    ever_ = true;
}

}  // namespace ql
