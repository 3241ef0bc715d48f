// The delivery queue: its file of texts in arrival order (EntryLog) and the
// texts out of it at once (InFlight), which settle oldest first however their
// transport reports them.
#pragma once
#include <cstddef>
#include <cstdint>

#include "delivery/entry_log.hpp"
#include "delivery/in_flight.hpp"

namespace ql {

class QueueFile {
public:
    using Taken = EntryLog::Taken;
    using Opened = EntryLog::Opened;

    explicit QueueFile(MonotonicClock clock = monotonic_ms) : log_(clock) {}

    Opened open(const char* path, const char* temp, QueueKind kind, Taken& taken, unsigned& version) {
        window_.clear();
        return log_.open(path, temp, kind, taken, version);
    }
    // A queue of command texts; false when it is not ok.
    bool open(const char* path, const char* temp, Taken& taken) {
        unsigned version = 0;
        return open(path, temp, QueueKind::commands, taken, version) == Opened::ok;
    }
    bool is_open() const { return log_.is_open(); }
    void close() {
        window_.clear();
        log_.close();
    }

    bool append(const char* text, std::size_t len, std::uint64_t& dropped) { return log_.append(text, len, dropped); }

    static constexpr unsigned out_max = InFlight::capacity;

    // Reads the oldest text not yet out and counts it out under tag; text
    // stays valid until the next call. False when there is none, when out_max
    // are out, or when the file proved damaged there.
    bool begin(const char*& text, std::size_t& len, std::uint32_t tag = 0);
    // The newest text out is called tag from now on.
    void tag_newest(std::uint32_t tag);
    // The oldest text out is done with (delivered or given up).
    void finish() { settle_front(window_.empty() ? 0 : window_.front().tag, true); }
    // The text out under tag arrived (or is given up). Those that can leave
    // the window (oldest first) leave it; arrived and given_up count them.
    // False when no text is out under tag.
    bool settle(std::uint32_t tag, bool arrived, std::uint64_t& arrived_count, std::uint64_t& given_up_count);
    // Every text out stays queued, to be sent again in order.
    void release() {
        window_.clear();
        log_.rewind();
    }
    unsigned out() const { return window_.count(); }

    std::int64_t upkeep_at() const { return log_.upkeep_at(); }
    std::int64_t marks_due_at() const { return log_.marks_due_at(); }
    std::uint64_t upkeep(std::int64_t now_ms, std::int64_t until_ms) { return log_.upkeep(now_ms, until_ms); }
    std::uint64_t pending() const { return log_.pending(); }
    bool failing() const { return log_.failing(); }

private:
    void settle_front(std::uint32_t tag, bool arrived);

    EntryLog log_;
    InFlight window_;
};

}  // namespace ql
