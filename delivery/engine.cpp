#include "delivery/engine.hpp"

#include <poll.h>

#include <cerrno>
#include <cstdio>

#include "common/diag.hpp"
#include "common/disk_floor.hpp"
#include "common/status.hpp"
#include "delivery/queue_entry.hpp"

namespace ql {

namespace {
std::int64_t earlier(std::int64_t due, std::int64_t at) { return due < 0 || at < due ? at : due; }
}  // namespace

void DeliveryEngine::give_up(std::uint64_t texts) {
    counts.failed += texts;
    counts.queued -= texts < counts.queued ? texts : counts.queued;
}

void DeliveryEngine::say_full(std::int64_t now) {
    if (full_unsaid_ == 0 || now - full_said_at_ < full_line_interval_ms) return;
    diag("Fehler: Warteschlange voll, %llu aelteste %s verworfen\n", static_cast<unsigned long long>(full_unsaid_),
         names_.texts);
    full_unsaid_ = 0;
    full_said_at_ = now;
}

// Said once while the queue's file fails, again only after it worked.
void DeliveryEngine::say_failing() {
    if (foreign_) {
        if (!foreign_said_)
            diag("Fehler: Warteschlange %s in unbekanntem Format, bleibt unberuehrt\n", queue_base_);
        foreign_said_ = true;
        return;
    }
    foreign_said_ = false;
    bool failing = queue_.failing() || !queue_.is_open();
    if (failing && !failing_said_) diag("Fehler: file_write %s mit Fehler\n", queue_base_);
    failing_said_ = failing;
}

bool DeliveryEngine::ensure_open() {
    if (queue_.is_open()) return true;
    std::int64_t now = clock_();
    if (now < open_at_) return false;
    char temp_name[hidden_name_max + 1];
    std::snprintf(temp_name, sizeof temp_name, "%s-new", names_.queue);
    char temp[hidden_path_max + 1];
    hidden_path(queue_name_, prefix_, names_.queue, &queue_base_);
    hidden_path(temp, prefix_, temp_name);
    QueueFile::Taken taken;
    unsigned version = 0;
    QueueFile::Opened opened = queue_.open(queue_name_, temp, names_.kind, taken, version);
    foreign_ = opened == QueueFile::Opened::foreign;
    if (opened != QueueFile::Opened::ok) {
        // Left as it is, and tried again later: what it holds is taken over then.
        open_at_ = now + open_retry_.failed();
        return false;
    }
    open_retry_.succeeded();
    // Texts an earlier run left wait as if received now; damaged ones are given up.
    counts.queued += taken.pending;
    counts.failed += taken.damaged;
    return true;
}

void DeliveryEngine::open(const char* prefix) {
    std::snprintf(prefix_, sizeof prefix_, "%s", prefix);
    (void)ensure_open();
}

Outcome DeliveryEngine::enqueue(const char* text, std::size_t len) {
    // Below the floor of free space the queue does not grow (the floor says so).
    if (!floor_allows(prefix_, entry_header_size + len, true, false)) return Outcome::failed;
    std::uint64_t dropped = 0;
    bool kept = ensure_open() && queue_.append(text, len, dropped);
    if (kept) {
        floor_wrote(entry_header_size + len, false);
        ++counts.queued;
    } else if (!foreign_) {
        floor_write_failed(errno);
    }
    if (dropped > 0) {
        give_up(dropped);
        full_unsaid_ += dropped;
        say_full(clock_());
    }
    say_failing();
    return kept ? Outcome::queued : Outcome::failed;
}

void DeliveryEngine::settled(std::uint32_t tag, bool arrived) {
    std::uint64_t delivered = 0, given_up = 0;
    if (!queue_.settle(tag, arrived, delivered, given_up)) return;
    counts.handed_on += delivered;
    counts.queued -= delivered < counts.queued ? delivered : counts.queued;
    give_up(given_up);
}

void DeliveryEngine::returned() { queue_.release(); }

void DeliveryEngine::attempt_failed(bool slowest) {
    retry_at_ = clock_() + (slowest ? retry_.failed_slowest() : retry_.failed(transport_.retry_most_ms()));
}

void DeliveryEngine::attempt_succeeded() {
    retry_.succeeded();
    retry_at_ = -1;
}

// Texts out and none behind them: at a steady pace the acknowledgement of one
// record is read as the next is sent, a wake a record instead of two. A
// backlog, or a full window, reads them as they come.
bool DeliveryEngine::acks_wait() const {
    return queue_.out() > 0 && queue_.pending() == queue_.out() && transport_.room(queue_.out()) > 0 &&
           transport_.acks_may_wait();
}

void DeliveryEngine::send_now(std::int64_t now) {
    if (retry_at_ >= 0 && now < retry_at_) return;
    if (acks_deferred_ && transport_.acks_may_wait()) transport_.work(now, false, POLLIN, *this);
    acks_deferred_ = false;  // the rest of a burst finds nothing new to read
    send_what_fits(now);
}

void DeliveryEngine::send_what_fits(std::int64_t now) {
    const char* text = nullptr;
    std::size_t len = 0;
    while (transport_.room(queue_.out()) > 0 && queue_.begin(text, len)) {
        std::uint32_t tag = 0;
        Sent sent = transport_.send(text, len, now, *this, tag);
        if (sent == Sent::failed) return;
        queue_.tag_newest(tag);
        sent_at_ = now;
        acks_late_ = false;
        if (sent == Sent::refused) settled(tag, false);
    }
}

void DeliveryEngine::next(int& fd, bool& write, std::int64_t& due_ms) {
    transport_.next(fd, write, due_ms);
    acks_deferred_ = fd >= 0 && !write && !acks_late_ && acks_wait();
    if (acks_deferred_) {
        fd = -1;
        due_ms = earlier(due_ms, sent_at_ + ack_wait_ms);
    }
    std::int64_t attempt_at = retry_at_ < 0 ? 0 : retry_at_;
    if (transport_.wants_attempt()) due_ms = earlier(due_ms, attempt_at);
    if (queue_.pending() > queue_.out() && transport_.room(queue_.out()) > 0) due_ms = earlier(due_ms, attempt_at);
    std::int64_t upkeep_at = queue_.upkeep_at();
    if (upkeep_at >= 0) due_ms = earlier(due_ms, upkeep_at);
    std::int64_t marks_at = queue_.marks_due_at();
    if (marks_at >= 0) due_ms = earlier(due_ms, marks_at);
    if (!queue_.is_open()) due_ms = earlier(due_ms, open_at_);
    if (full_unsaid_ > 0) due_ms = earlier(due_ms, full_said_at_ + full_line_interval_ms);
}

void DeliveryEngine::work(std::int64_t now, short events) {
    bool may_try = retry_at_ < 0 || now >= retry_at_;
    // Once read for at the deadline, they are waited for as they come.
    if (acks_deferred_ && now >= sent_at_ + ack_wait_ms) {
        events = static_cast<short>(events | POLLIN);
        acks_late_ = true;
    }
    transport_.work(now, may_try, events, *this);
    if (retry_at_ < 0 || now >= retry_at_) send_what_fits(now);
    if (!ensure_open()) return say_failing();
    give_up(queue_.upkeep(now, now + upkeep_slice_ms));
    say_full(now);
    say_failing();
}

void DeliveryEngine::finish() {
    transport_.finish(*this);
    full_said_at_ = -full_line_interval_ms;
    say_full(0);
    queue_.close();
}

}  // namespace ql
