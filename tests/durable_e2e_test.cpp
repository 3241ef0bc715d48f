// Group commit: what was written is synced at most once a second while
// datagrams arrive, within a second of the last one when they stop, and once
// more at SIGTERM; never once per datagram.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "tests/e2e_support.hpp"

using namespace e2e;

namespace {

std::vector<long long> syncs_in(const std::string& log) {
    std::vector<long long> times;
    std::istringstream in(log);
    for (long long t; in >> t;) times.push_back(t);
    return times;
}

class DurableTest : public OutputTestBase {};

}  // namespace

TEST_F(DurableTest, SyncedOnceASecondAtMostAndAtTheStop) {
    for (std::vector<std::string> mode : {std::vector<std::string>{"-a"}, {}, {"-T127.0.0.1"}}) {
        std::string log = dir / ("syncs" + std::to_string(mode.size()) + (mode.empty() ? "" : mode[0]));
        Options options;
        options.env = {"LD_PRELOAD=" FAILING_WRITES_LIBRARY, "QLFWD_SYNCS=" + log, "ASAN_OPTIONS=verify_asan_link_order=0"};
        mode.push_back(dir / "out/");
        auto r = start(mode, options);
        auto began = std::chrono::steady_clock::now();
        ASSERT_EQ(system((std::string(QLSEND_BINARY) + " -q -s 127.0.0.2 -c 20 -n 3000 -r 1000 -i -t durable, >/dev/null").c_str()), 0);
        long long sent_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now().time_since_epoch()).count();
        // Idle now: what was written last is synced within about a second
        // (the last sync near the end of the sending or after it), and then
        // nothing more (quiet for two seconds).
        ASSERT_TRUE(eventually([&] {
            std::vector<long long> t = syncs_in(read_file(log));
            long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now().time_since_epoch()).count();
            return !t.empty() && now - std::max(t.back(), sent_ms) > 2000;
        }, 30000ms));
        std::vector<long long> during = syncs_in(read_file(log));
        EXPECT_GE(during.back(), sent_ms - 1500) << "the last writes synced";
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        EXPECT_GE(during.size(), 2u) << "synced while datagrams arrived";
        EXPECT_LE(during.size(), static_cast<std::size_t>(seconds) + 1) << "at most once a second, never per datagram";
        // The shim reads the clock a moment after the receiver does, before each sync.
        for (std::size_t i = 1; i < during.size(); ++i) EXPECT_GE(during[i] - during[i - 1], 990) << i;
        EXPECT_EQ(r->stop(), 0);
        EXPECT_EQ(syncs_in(read_file(log)).size(), during.size()) << "nothing written since: no sync at the stop";
        // One datagram, then a stop at once: synced before the exit. (The
        // file an earlier mode left must not pass for this one's.)
        std::filesystem::remove(dir / "out/Qln009.txt");
        auto again = start(mode, options);
        send_from("127.0.0.9", "just before the stop");
        ASSERT_TRUE(eventually([&] { return file_exists(dir / "out/Qln009.txt") || file_exists(dir / "out/Qln009-telnet.txt"); }));
        std::size_t before = syncs_in(read_file(log)).size();
        EXPECT_EQ(again->stop(), 0);
        EXPECT_GE(syncs_in(read_file(log)).size(), before + (before == during.size() ? 1 : 0)) << mode[0];
    }
}
