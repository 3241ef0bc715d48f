// What the delivery engine asks of a way to the consumer (a run of nc, a
// broker connection), and what such a way tells the engine back. A transport
// never blocks: it sends, and later reports what became of what it sent.
#pragma once
#include <cstddef>
#include <cstdint>

#include "delivery/retry.hpp"

namespace ql {

// The engine, as a transport sees it. Texts out leave the queue oldest first,
// however they are reported.
class DeliverySink {
public:
    virtual ~DeliverySink() = default;
    // The text out under tag arrived, or is given up: it may have arrived,
    // so it is never sent again.
    virtual void settled(std::uint32_t tag, bool arrived) = 0;
    // Every text out stays queued, to be sent again in order.
    virtual void returned() = 0;
    // An attempt failed: the next waits 1 s, doubling up to 30 s (at once 30 s
    // where trying again sooner cannot help).
    virtual void attempt_failed(bool slowest = false) = 0;
    // An attempt worked: the next may come at once.
    virtual void attempt_succeeded() = 0;
    // Texts waiting, for messages.
    virtual unsigned long long waiting() const = 0;
};

enum class Sent {
    out,      // on its way; tag names it until it settles
    refused,  // it can never be sent (not a text of this transport's): given up
    failed,   // not sent; it stays queued, and the transport has told the sink so
};

class Transport {
public:
    virtual ~Transport() = default;
    // How many more texts it takes now, with out of them out; 0 while it cannot send.
    virtual unsigned room(unsigned out) const = 0;
    // Sends the oldest text not yet out (it stays valid only during the call).
    virtual Sent send(const char* text, std::size_t len, std::int64_t now_ms, DeliverySink& sink,
                      std::uint32_t& tag) = 0;
    // What to wait for: a descriptor (-1: none), whether to wait until it takes
    // writing too, and when work is due (-1: never).
    virtual void next(int& fd, bool& write, std::int64_t& due_ms) const = 0;
    // The longest wait between attempts that fail (1 s doubling up to it).
    virtual std::int64_t retry_most_ms() const { return RetrySchedule::most_ms; }
    // It has nothing under way and would begin an attempt (a connect) when allowed.
    virtual bool wants_attempt() const { return false; }
    // What it reads back now are acknowledgements alone, which may wait a
    // little: work with POLLIN reads them whether or not poll looked.
    virtual bool acks_may_wait() const { return false; }
    // Does what is due; may_try says whether a new attempt may begin now,
    // events what poll found on its descriptor (0: none).
    virtual void work(std::int64_t now_ms, bool may_try, short events, DeliverySink& sink) = 0;
    // At the stop: what is under way may settle, briefly; the rest stays queued.
    virtual void finish(DeliverySink& sink) = 0;
};

}  // namespace ql
