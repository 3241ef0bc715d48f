#include "delivery/engine.hpp"

#include <gtest/gtest.h>
#include <poll.h>

#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "common/clock.hpp"
#include "common/status.hpp"
#include "tests/temp_dir.hpp"

using namespace ql;

namespace {

std::int64_t now_ms = 0;
std::int64_t test_clock() { return now_ms; }

// A transport that takes what it is given and settles it when the test says.
class FakeTransport : public Transport {
public:
    unsigned capacity = 1;
    bool refuse_send = false;
    bool idle = false;  // wants to begin an attempt (a connect)
    int fd = -1;
    bool acks_alone = false;  // what it reads back are acknowledgements alone
    std::vector<short> reads;  // the events of each work call that read
    int attempts = 0;
    std::vector<std::string> sent;
    std::deque<std::uint32_t> out;  // the tags of the texts out, oldest first

    unsigned room(unsigned engine_out) const override {
        EXPECT_EQ(engine_out, out.size()) << "the engine's window knows what is out";
        return capacity > out.size() ? capacity - static_cast<unsigned>(out.size()) : 0;
    }
    Sent send(const char* text, std::size_t len, std::int64_t, DeliverySink& sink, std::uint32_t& tag) override {
        if (refuse_send) {
            sink.returned();
            sink.attempt_failed();
            return Sent::failed;
        }
        sent.emplace_back(text, len);
        tag = static_cast<std::uint32_t>(sent.size()) + 100;
        out.push_back(tag);
        return Sent::out;
    }
    void next(int& wait_fd, bool& write, std::int64_t& due) const override {
        wait_fd = fd;
        write = false;
        due = -1;
    }
    bool wants_attempt() const override { return idle; }
    bool acks_may_wait() const override { return acks_alone; }
    void work(std::int64_t, bool may_try, short events, DeliverySink&) override {
        if (idle && may_try) ++attempts;
        if (events & POLLIN) reads.push_back(events);
    }
    void finish(DeliverySink&) override {}
};

class EngineTest : public testing::Test {
protected:
    TempDir dir;
    FakeTransport transport;
    DeliveryEngine engine{transport, test_clock, {"qlfwd-test-queue", "Datensaetze", QueueKind::commands}};

    void SetUp() override {
        counts = Counts{};
        // Days away from the real clock: a deadline taken from it instead
        // of the engine's shows at once.
        now_ms = monotonic_ms() + 10ll * 24 * 3600 * 1000;
        engine.open(dir.prefix().c_str());
    }
    void enqueue(const std::string& text) { ASSERT_EQ(engine.enqueue(text.data(), text.size()), Outcome::queued); }
    struct Wait {
        int fd;
        std::int64_t at;
    };
    Wait wait() {
        Wait w{};
        bool write;
        engine.next(w.fd, write, w.at);
        return w;
    }
    std::int64_t due() { return wait().at; }
    int waited_fd() { return wait().fd; }
    // The oldest text out arrives, or is given up.
    void settle(bool arrived) {
        std::uint32_t tag = transport.out.front();
        transport.out.pop_front();
        engine.settled(tag, arrived);
    }
};

TEST_F(EngineTest, SendsInOrderWithinTheTransportsRoomAndCountsWhatArrived) {
    transport.capacity = 2;
    for (const char* t : {"a", "b", "c"}) enqueue(t);
    EXPECT_EQ(due(), 0) << "texts waiting and room: due at once";
    engine.work(now_ms);
    EXPECT_EQ(transport.sent, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(due(), -1) << "no room: nothing due";
    settle(true);
    engine.work(now_ms);
    EXPECT_EQ(transport.sent.back(), "c");
    settle(false);
    settle(true);
    EXPECT_EQ(counts.handed_on, 2u);
    EXPECT_EQ(counts.failed, 1u);
    EXPECT_EQ(counts.queued, 0u);
    EXPECT_EQ(engine.waiting(), 0u);
    EXPECT_TRUE(std::filesystem::exists(dir / ".qlfwd-test-queue"));
}

TEST_F(EngineTest, ReturnedTextsGoAgainInOrderAfterTheRetryDelay) {
    transport.capacity = 3;
    for (const char* t : {"a", "b", "c"}) enqueue(t);
    engine.work(now_ms);
    settle(true);
    EXPECT_EQ(due(), now_ms + 100) << "its mark is owed, on the engine's clock";
    engine.work(now_ms);
    transport.out.clear();
    engine.returned();
    engine.attempt_failed(false);
    struct Step {
        std::int64_t wait_ms;
    };
    // 1 s, then doubling: nothing goes before its time.
    for (Step step : {Step{1000}, Step{2000}, Step{4000}}) {
        EXPECT_EQ(due(), now_ms + step.wait_ms);
        std::size_t before = transport.sent.size();
        engine.work(now_ms + step.wait_ms - 1);
        EXPECT_EQ(transport.sent.size(), before);
        now_ms += step.wait_ms;
        engine.work(now_ms);
        ASSERT_EQ(transport.sent.size(), before + 2);
        EXPECT_EQ(transport.sent[before], "b");
        EXPECT_EQ(transport.sent[before + 1], "c");
        transport.out.clear();
        engine.returned();
        engine.attempt_failed(false);
    }
    engine.attempt_failed(true);
    EXPECT_EQ(due(), now_ms + 30000) << "a refusal waits the longest";
    engine.attempt_succeeded();
    EXPECT_EQ(due(), 0);
    EXPECT_EQ(counts.handed_on, 1u);
    EXPECT_EQ(counts.queued, 2u);
}

TEST_F(EngineTest, AnIdleTransportIsLetTryAtItsPace) {
    transport.idle = true;
    transport.capacity = 0;
    EXPECT_EQ(due(), 0);
    engine.work(now_ms);
    EXPECT_EQ(transport.attempts, 1);
    engine.attempt_failed(false);
    EXPECT_EQ(due(), now_ms + 1000);
    engine.work(now_ms + 500);
    EXPECT_EQ(transport.attempts, 1);
    engine.work(now_ms + 1000);
    EXPECT_EQ(transport.attempts, 2);
}

TEST_F(EngineTest, ASendThatFailsKeepsTheTextFirst) {
    enqueue("a");
    enqueue("b");
    transport.refuse_send = true;
    engine.work(now_ms);
    EXPECT_TRUE(transport.sent.empty());
    EXPECT_EQ(engine.waiting(), 2u);
    transport.refuse_send = false;
    now_ms += 1000;
    engine.work(now_ms);
    EXPECT_EQ(transport.sent, (std::vector<std::string>{"a"}));
}

TEST_F(EngineTest, WhatWaitsIsTakenOverByTheNextEngine) {
    transport.capacity = 2;
    for (const char* t : {"a", "b", "c"}) enqueue(t);
    engine.work(now_ms);
    settle(true);
    engine.finish();  // "b" was out: it stays
    counts = Counts{};
    FakeTransport next_transport;
    next_transport.capacity = 5;
    DeliveryEngine next{next_transport, test_clock, {"qlfwd-test-queue", "Datensaetze", QueueKind::commands}};
    next.open(dir.prefix().c_str());
    EXPECT_EQ(counts.queued, 2u);
    next.work(now_ms);
    EXPECT_EQ(next_transport.sent, (std::vector<std::string>{"b", "c"}));
}

// Acknowledgements in any order: a text leaves the queue only with every
// one before it, and one given up is counted so.
TEST_F(EngineTest, TextsSettledOutOfOrderLeaveOldestFirst) {
    transport.capacity = 3;
    for (const char* t : {"a", "b", "c"}) enqueue(t);
    engine.work(now_ms);
    ASSERT_EQ(transport.out.size(), 3u);
    engine.settled(transport.out[2], true);
    engine.settled(transport.out[1], false);
    EXPECT_EQ(counts.handed_on, 0u) << "c and b wait for a";
    EXPECT_EQ(engine.queue().out(), 3u);
    engine.settled(transport.out[0], true);
    EXPECT_EQ(counts.handed_on, 2u);
    EXPECT_EQ(counts.failed, 1u);
    EXPECT_EQ(counts.queued, 0u);
    EXPECT_EQ(engine.queue().out(), 0u);
    engine.settled(12345, true);  // a tag no text is out under: nothing changes
    EXPECT_EQ(counts.handed_on, 2u);
}

// At a steady pace the acknowledgement of one record is read as the next is
// sent: the descriptor stays out of the wait while texts are out with none
// behind them, until the next sending or the deadline; after that, and with a
// backlog, a full window or a transport that reads more, it is waited on.
TEST_F(EngineTest, AcknowledgementsAloneWaitForTheNextSending) {
    transport.capacity = 3;
    transport.fd = 7;
    transport.acks_alone = true;
    enqueue("a");
    engine.send_now(now_ms);
    EXPECT_TRUE(transport.reads.empty()) << "nothing out: nothing to read";
    EXPECT_EQ(waited_fd(), -1) << "a out, nothing behind it";
    EXPECT_EQ(due(), now_ms + 20);
    enqueue("b");
    enqueue("c");  // a burst: one read before its first
    engine.send_now(now_ms + 1);
    engine.send_now(now_ms + 1);
    EXPECT_EQ(transport.reads, std::vector<short>{POLLIN});
    EXPECT_EQ(transport.sent, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(waited_fd(), 7) << "the window full";
    settle(true);
    EXPECT_EQ(waited_fd(), -1);
    engine.work(now_ms + 20);
    EXPECT_EQ(transport.reads.size(), 1u) << "before the deadline";
    engine.work(now_ms + 21);
    EXPECT_EQ(transport.reads.size(), 2u) << "at the deadline";
    EXPECT_EQ(waited_fd(), 7) << "late: waited for as they come, never read again and again";
    engine.work(now_ms + 22);
    EXPECT_EQ(transport.reads.size(), 2u);
    settle(true);
    enqueue("d");
    enqueue("e");
    transport.capacity = 1;
    settle(true);
    engine.work(now_ms + 30);
    EXPECT_EQ(waited_fd(), 7) << "e waits behind d: a backlog";
    transport.capacity = 3;
    engine.work(now_ms + 30);
    EXPECT_EQ(waited_fd(), -1);
    transport.acks_alone = false;
    EXPECT_EQ(waited_fd(), 7) << "a transport that reads more than acknowledgements";
}

}  // namespace
