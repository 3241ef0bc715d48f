#include "delivery/in_flight.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <vector>

using namespace ql;

namespace {

// What leaves the window, oldest first, as (place, arrived) pairs.
struct Left {
    std::int64_t at;
    bool arrived;
    bool operator==(const Left&) const = default;
};

std::vector<Left> leave(InFlight& w) {
    std::vector<Left> out;
    while (w.front_settled()) {
        out.push_back({w.front().at, w.front().state == InFlight::State::arrived});
        w.pop();
    }
    return out;
}

}  // namespace

// A tag no text is out under, or one already settled, settles nothing; a
// text out before its transport named it is renamed, and only it.
TEST(InFlight, UnknownOrSettledTagsAndRenaming) {
    InFlight w;
    w.push(1, 0);
    w.push(2, 0);
    w.retag_newest(7);
    EXPECT_FALSE(w.settle(5, true));
    EXPECT_TRUE(w.settle(7, true));
    EXPECT_FALSE(w.settle(7, true)) << "settled once only";
    EXPECT_TRUE(leave(w).empty());
    EXPECT_TRUE(w.settle(0, true));
    EXPECT_EQ(leave(w), (std::vector<Left>{{1, true}, {2, true}}));
    EXPECT_FALSE(w.settle(0, true));
    w.retag_newest(3);  // empty: nothing to rename
    EXPECT_TRUE(w.empty());
}

// Pushes and settlements in a fixed pseudo-random order, round the ring many
// times, against a plain list: full at capacity, and what leaves is always
// the oldest, in order.
TEST(InFlight, ModelRoundTheRing) {
    InFlight w;
    struct Out {
        std::int64_t at;
        std::uint32_t tag;
        int state;  // 0 out, 1 arrived, 2 given up
    };
    std::deque<Out> model;
    unsigned seed = 7;
    auto next_random = [&] { return (seed = seed * 1103515245u + 12345u) >> 16; };
    std::int64_t place = 0;
    std::uint32_t tag = 1;
    for (int step = 0; step < 20000; ++step) {
        if (next_random() % 2 == 0) {
            ASSERT_EQ(w.full(), model.size() == InFlight::capacity) << step;
            if (!w.full()) {
                w.push(place, tag);
                model.push_back({place, tag, 0});
                place += 1 + next_random() % 500;
                ++tag;
            }
        } else if (!model.empty()) {
            Out& o = model[next_random() % model.size()];
            bool arrived = next_random() % 4 != 0;
            ASSERT_EQ(w.settle(o.tag, arrived), o.state == 0) << step;
            if (o.state == 0) o.state = arrived ? 1 : 2;
        }
        std::vector<Left> expected;
        while (!model.empty() && model.front().state != 0) {
            expected.push_back({model.front().at, model.front().state == 1});
            model.pop_front();
        }
        ASSERT_EQ(leave(w), expected) << step;
        ASSERT_EQ(w.count(), model.size()) << step;
    }
}
