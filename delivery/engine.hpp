// The delivery engine: every text goes into a queue file beside the output
// files before it is first sent, and leaves it only when its transport says
// it arrived or gave it up. Texts go in arrival order; after a failed attempt
// the next waits 1 s, doubling up to 30 s. It keeps the counts of what it
// queues (weitergegeben, Ausgabefehler, in Warteschlange) and says its own
// events under -d.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/datagram.hpp"
#include "common/prefix.hpp"
#include "delivery/queue_file.hpp"
#include "delivery/retry.hpp"
#include "delivery/transport.hpp"

namespace ql {

struct EngineNames {
    const char* queue;  // the queue file's name after the prefix's ".<last part>"
    const char* texts;  // what the texts are called in messages ("Befehlstexte")
    QueueKind kind;
};

class DeliveryEngine final : public DeliverySink {
public:
    using Clock = MonotonicClock;
    DeliveryEngine(Transport& transport, Clock clock, EngineNames names)
        : transport_(transport), clock_(clock), names_(names), queue_(clock) {}

    // Opens the queue under prefix and takes over what an earlier run left
    // there, to be delivered first.
    void open(const char* prefix);
    // Queues one text: queued, or failed (reported) when it cannot be kept.
    Outcome enqueue(const char* text, std::size_t len);
    // Sends what the transport has room for now, without waiting for the
    // loop's next wake: a record just queued goes out at once.
    void send_now(std::int64_t now_ms);
    // What the receive loop waits for beside reception, and its work.
    // Acknowledgements alone it may leave to the next record's sending (the
    // descriptor -1) or to a deadline.
    void next(int& fd, bool& write, std::int64_t& due_ms);
    // events: what poll found on the transport's descriptor (0: none, or not looked).
    void work(std::int64_t now_ms, short events = 0);
    // At the stop: what is under way may settle; the rest stays queued.
    void finish();

    const QueueFile& queue() const { return queue_; }

    void settled(std::uint32_t tag, bool arrived) override;
    void returned() override;
    void attempt_failed(bool slowest) override;
    void attempt_succeeded() override;
    unsigned long long waiting() const override { return static_cast<unsigned long long>(queue_.pending()); }

private:
    static constexpr std::int64_t full_line_interval_ms = 1000;
    // Upkeep of the queue goes in slices this long, so that reception is never
    // away from the socket for long, also on a slow card.
    static constexpr std::int64_t upkeep_slice_ms = 20;
    // Acknowledgements of texts out, with none waiting behind them, are read
    // at the next record's sending, or this long after the last went.
    static constexpr std::int64_t ack_wait_ms = 20;

    bool ensure_open();
    bool acks_wait() const;
    void send_what_fits(std::int64_t now);
    void give_up(std::uint64_t texts);
    void say_full(std::int64_t now);
    void say_failing();

    Transport& transport_;
    Clock clock_;
    EngineNames names_;
    QueueFile queue_;
    char prefix_[path_max + 1] = {};
    char queue_name_[hidden_path_max + 1] = {};
    const char* queue_base_ = "";  // the file's own name, for messages

    RetrySchedule retry_;
    std::int64_t sent_at_ = 0;    // the last text went out then
    bool acks_late_ = false;      // their acknowledgements were read for at the deadline
    bool acks_deferred_ = false;  // the last wait left them unread
    std::int64_t retry_at_ = -1;  // -1: the next attempt may come at once
    std::uint64_t full_unsaid_ = 0;  // texts dropped from a full queue, not yet said
    std::int64_t full_said_at_ = -full_line_interval_ms;
    bool failing_said_ = false;  // the queue's file failed, and it was said
    bool foreign_ = false;       // the file is not one this release may touch
    bool foreign_said_ = false;
    RetrySchedule open_retry_;   // a queue that could not be opened or read
    std::int64_t open_at_ = 0;
};

}  // namespace ql
