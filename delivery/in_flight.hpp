// The texts out at once, oldest first: where each lies in the queue, what its
// transport calls it (nc's run, a publish's message id), and whether it has
// settled. They leave the window oldest first, however they settle, as the
// queue keeps them in order. Pure.
#pragma once
#include <cstdint>

namespace ql {

class InFlight {
public:
    static constexpr unsigned capacity = 32;
    enum class State : unsigned char { out, arrived, given_up };
    struct Text {
        std::int64_t at;    // its place in the queue
        std::uint32_t tag;  // the transport's name for it
        State state;
    };

    unsigned count() const { return count_; }
    bool empty() const { return count_ == 0; }
    bool full() const { return count_ == capacity; }

    void push(std::int64_t at, std::uint32_t tag) { ring_[(first_ + count_++) % capacity] = Text{at, tag, State::out}; }
    void retag_newest(std::uint32_t tag) {
        if (count_ > 0) ring_[(first_ + count_ - 1) % capacity].tag = tag;
    }
    // The text out under this tag settles; false when none is out under it.
    bool settle(std::uint32_t tag, bool arrived) {
        for (unsigned i = 0; i < count_; ++i) {
            Text& t = ring_[(first_ + i) % capacity];
            if (t.state == State::out && t.tag == tag) {
                t.state = arrived ? State::arrived : State::given_up;
                return true;
            }
        }
        return false;
    }
    const Text& front() const { return ring_[first_]; }
    // The oldest, once settled.
    bool front_settled() const { return count_ > 0 && ring_[first_].state != State::out; }
    void pop() {
        first_ = (first_ + 1) % capacity;
        --count_;
    }
    void clear() { count_ = 0; }

private:
    Text ring_[capacity] = {};
    unsigned first_ = 0, count_ = 0;
};

}  // namespace ql
