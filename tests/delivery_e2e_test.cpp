// Delivery in modes 1 and 2 end to end: the real nc against a stand-in server
// that is down, up or hung, the queue file across restarts, cut or damaged,
// full; numbered datagrams, exact counts and texts.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "delivery/queue_entry.hpp"
#include "tests/e2e_support.hpp"
#include "tests/pattern.hpp"

using namespace e2e;

namespace {

// "<batch><number>" of every session, in order: "a1", "b7", ... Datagrams are
// sent as "<batch>,value," numbered by qlsend; modes 1 and 2 both keep the two fields.
std::vector<std::string> numbers(const std::vector<std::string>& sessions) {
    static const Pattern call(",([a-z]+),value,([0-9]{8}) \"");
    static const Pattern readings("state ([a-z]+)\r\nsetreading _[0-9]{2} state value\r\n"
                                  "setreading _[0-9]{2} state ([0-9]{8})\r\n");
    std::vector<std::string> found;
    for (const std::string& s : sessions) {
        std::vector<std::string> m = call.first(s);
        if (m.empty()) m = readings.first(s);
        if (!m.empty())
            found.push_back(m[1] + std::to_string(std::stoi(m[2])));
        else
            found.push_back("?" + s.substr(0, 60));
    }
    return found;
}

std::vector<std::string> batch(const std::string& name, int from, int to) {
    std::vector<std::string> all;
    for (int i = from; i <= to; ++i) all.push_back(name + std::to_string(i));
    return all;
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// count datagrams "<name>,value,<n>", n from 1, from `sources` devices in turn from 127.0.0.2 on.
void send_batch(const std::string& name, int count, int sources = 1, int rate = 0) {
    std::string command = std::string(QLSEND_BINARY) + " -q -s 127.0.0.2 -c " + std::to_string(sources) + " -n " +
                          std::to_string(count) + " -r " + std::to_string(rate) + " -i -t " + name + ",value, >/dev/null";
    ASSERT_EQ(system(command.c_str()), 0);
}

std::string counts(int received, int delivered, int failed, int queued) {
    return std::to_string(received) + " empfangen, " + std::to_string(delivered) + " weitergegeben, 0 verworfen, " +
           "0 verloren, " + std::to_string(failed) + " Ausgabefehler, " + std::to_string(queued) + " in Warteschlange";
}

std::string failed_line(int status, int waiting) {
    return "Fehler: nc 127.0.0.1 7072 fehlgeschlagen (Status " + std::to_string(status) + "), " +
           std::to_string(waiting) + " Befehlstexte warten\n";
}

std::string back_line(int waiting) {
    return "> nc 127.0.0.1 7072 wieder erfolgreich, " + std::to_string(waiting) + " Befehlstexte warten\n";
}

// A queue file as an earlier run leaves it.
std::string entry(const std::string& text) {
    char header[ql::entry_header_size];
    ql::entry_header(header, text.data(), text.size());
    return std::string(header, sizeof header) + text;
}

class DeliveryTest : public OutputTestBase {
protected:
    std::unique_ptr<Receiver> start_notified(const std::string& mode, NotifySocket& notify, Options options = {}) {
        options.env.push_back(notify.variable());
        return start({"-d", mode + "127.0.0.1", dir / "out/"}, options);
    }

    bool status_is(NotifySocket& notify, const std::string& want, std::chrono::milliseconds limit = 5000ms) {
        return eventually([&] { return notify.status() == want; }, limit);
    }

    bool out_has(const Receiver& r, const std::string& text, std::chrono::milliseconds limit = 5000ms) {
        return eventually([&] { return r.out().find(text) != std::string::npos; }, limit);
    }

    std::string queue_file() { return dir / "out/.qlfwd-queue"; }
};

}  // namespace

TEST_F(DeliveryTest, ServerDownThenBackEverythingDeliveredOnceInArrivalOrder) {
    for (std::string mode : {"-t", "-T"}) {
        SCOPED_TRACE(mode);
        std::filesystem::remove_all(dir / "out");
        ASSERT_EQ(mkdir((dir / "out").c_str(), 0755), 0);
        NotifySocket notify(dir);
        auto r = start_notified(mode, notify);
        send_batch("a", 1);
        ASSERT_TRUE(out_has(*r, failed_line(1, 1))) << r->out();
        send_batch("b", 19, 19);  // before the retry a second later
        ASSERT_TRUE(status_is(notify, counts(20, 0, 0, 20)));
        ASSERT_TRUE(out_has(*r, failed_line(1, 20))) << r->out();
        {
            CommandServer server;  // back before the next retry, two seconds on
            ASSERT_TRUE(server.wait_sessions(20, 8000ms));
            EXPECT_EQ(numbers(server.sessions()), batch("a", 1, 1) + batch("b", 1, 19));
            ASSERT_TRUE(status_is(notify, counts(20, 20, 0, 0)));
            EXPECT_EQ(server.sessions().size(), 20u);
        }
        EXPECT_EQ(r->stop(), 0);
        EXPECT_EQ(r->out(), "> Oeffne socket\n" + failed_line(1, 1) + failed_line(1, 20) + back_line(19) +
                                "> beende programm\n> schliesse socket\n");
        struct stat st {};
        ASSERT_EQ(stat(queue_file().c_str(), &st), 0);
        EXPECT_EQ(st.st_size, 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
}

TEST_F(DeliveryTest, RestartsWhileTheServerIsAwayLoseNothing) {
    {
        NotifySocket notify(dir);
        auto first = start_notified("-T", notify);
        send_batch("a", 10, 5);
        ASSERT_TRUE(status_is(notify, counts(10, 0, 0, 10)));
        EXPECT_EQ(first->stop(), 0);
    }
    {
        NotifySocket notify(dir);
        auto second = start_notified("-T", notify);
        ASSERT_TRUE(status_is(notify, counts(0, 0, 0, 10))) << "taken over";
        send_batch("b", 10, 5);
        ASSERT_TRUE(status_is(notify, counts(10, 0, 0, 20)));
        EXPECT_EQ(second->stop(), 0);
    }
    // Neither ls nor a reader's glob sees the queue.
    for (const auto& f : std::filesystem::directory_iterator(dir / "out")) {
        std::string name = f.path().filename();
        EXPECT_TRUE(name == ".qlfwd-queue" || name.starts_with("Qln")) << name;
    }
    CommandServer server;
    NotifySocket notify(dir);
    auto third = start_notified("-T", notify);
    ASSERT_TRUE(server.wait_sessions(20));
    send_batch("c", 1);
    ASSERT_TRUE(server.wait_sessions(21));
    EXPECT_EQ(numbers(server.sessions()), batch("a", 1, 10) + batch("b", 1, 10) + batch("c", 1, 1));
    // empfangen + taken over (20) = weitergegeben + verworfen + Ausgabefehler + in Warteschlange
    ASSERT_TRUE(status_is(notify, counts(1, 21, 0, 0)));
    EXPECT_EQ(third->stop(), 0);
    EXPECT_EQ(third->out(), "> Oeffne socket\n> beende programm\n> schliesse socket\n");
}

TEST_F(DeliveryTest, HungServerNeitherStallsReceptionNorGetsTheNextTextTwice) {
    auto server = std::make_unique<CommandServer>(false);
    NotifySocket notify(dir);
    auto r = start_notified("-T", notify);
    auto began = std::chrono::steady_clock::now();
    send_batch("a", 300, 30, 5000);
    // All received while the first run hangs.
    ASSERT_TRUE(eventually([&] { return notify.status().starts_with("300 empfangen,"); }, 3000ms)) << notify.status();
    EXPECT_LT(std::chrono::steady_clock::now() - began, 4000ms);
    EXPECT_EQ(notify.status(), counts(300, 0, 0, 300));
    ASSERT_TRUE(out_has(*r, "Fehler: nc nach 10 s abgebrochen\n", 15000ms));
    server.reset();
    server = std::make_unique<CommandServer>();
    ASSERT_TRUE(server->wait_sessions(299, 60000ms));
    // The text the hung run took is given up, never sent again.
    EXPECT_EQ(numbers(server->sessions()), batch("a", 2, 300));
    ASSERT_TRUE(status_is(notify, counts(300, 299, 1, 0)));
    EXPECT_EQ(r->stop(), 0);
    EXPECT_EQ(r->out(), "> Oeffne socket\nFehler: nc nach 10 s abgebrochen\n" + back_line(298) +
                            "> beende programm\n> schliesse socket\n");
}

// Every way nc can fail by itself keeps the text for the next attempt; under
// qemu-user a missing program shows as status 127.
TEST_F(DeliveryTest, FailedRunsKeepTheTextUntilOneSucceeds) {
    struct Case {
        const char* failing;
        int status;
    } cases[] = {{"exit 1", 1}, {"exit 127", 127}, {"kill -KILL $$", 137}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failing);
        std::filesystem::remove_all(dir / "out");
        std::filesystem::remove_all(dir / "bin");
        for (int n = 0; file_exists(dir / ("nc-input-" + std::to_string(n))); ++n)
            unlink((dir / ("nc-input-" + std::to_string(n))).c_str());
        ASSERT_EQ(mkdir((dir / "out").c_str(), 0755), 0);
        write_file(dir / "broken", "");
        Options options = fake_nc_options(dir, "if [ -e \"$d/broken\" ]; then cat >/dev/null; " +
                                                   std::string(c.failing) + "; fi\n");
        NotifySocket notify(dir);
        auto r = start_notified("-t", notify, options);
        send_batch("a", 1);
        ASSERT_TRUE(out_has(*r, failed_line(c.status, 1))) << r->out();
        unlink((dir / "broken").c_str());
        ASSERT_TRUE(status_is(notify, counts(1, 1, 0, 0)));
        EXPECT_EQ(r->stop(), 0);
        EXPECT_EQ(r->out(), "> Oeffne socket\n" + failed_line(c.status, 1) + back_line(0) +
                                "> beende programm\n> schliesse socket\n");
        ASSERT_EQ(fake_nc_inputs(dir).size(), 1u);
        EXPECT_EQ(numbers(fake_nc_inputs(dir)), batch("a", 1, 1));
    }
}

// Power lost while the last entry was written: whatever was cut off is
// dropped and counted, never sent; the whole ones before it go.
TEST_F(DeliveryTest, QueueCutAtEveryByteOfItsLastEntryOrDamagedInside) {
    const std::string first = "{ Qln001(\"first\") }\r\nquit\n", second = "{ Qln002(\"second\") }\r\nquit\n";
    const std::string last = "{ Qln003(\"x\") }\r\nquit\n";
    std::string whole = entry(first) + entry(second);
    std::string tail = entry(last);
    struct Case {
        std::string name, file;
        std::vector<std::string> delivered;
        int failed;
    };
    std::vector<Case> cases;
    for (std::size_t cut = 0; cut < tail.size(); ++cut)
        cases.push_back({"cut at " + std::to_string(cut), whole + tail.substr(0, cut), {first, second}, cut == 0 ? 0 : 1});
    cases.push_back({"whole", whole + tail, {first, second, last}, 0});
    // A byte changed inside the middle text, and garbage between entries.
    std::string damaged = whole + tail;
    damaged[entry(first).size() + ql::entry_header_size + 3] ^= 0x20;
    cases.push_back({"damaged", damaged, {first, last}, 1});
    cases.push_back({"garbage", entry(first) + "garbage\n" + entry(second), {first, second}, 1});

    // Each start waits up to a second for its status to be due: a few go side
    // by side, each in a directory and a network namespace of its own.
    struct Run {
        TempDir dir;
        std::unique_ptr<NotifySocket> notify;
        std::unique_ptr<Receiver> receiver;
    };
    constexpr std::size_t side_by_side = 8;
    for (std::size_t from = 0; from < cases.size(); from += side_by_side) {
        std::size_t to = std::min(cases.size(), from + side_by_side);
        std::vector<std::unique_ptr<Run>> runs;
        for (std::size_t i = from; i < to; ++i) {
            auto run = std::make_unique<Run>();
            ASSERT_EQ(mkdir((run->dir / "out").c_str(), 0755), 0);
            write_file(run->dir / "out/.qlfwd-queue", cases[i].file);
            run->notify = std::make_unique<NotifySocket>(run->dir);
            Options options = fake_nc_options(run->dir);
            options.own_network = true;
            options.args = {"-d", "-T127.0.0.1", run->dir / "out/"};
            options.env.push_back(run->notify->variable());
            run->receiver = std::make_unique<Receiver>(run->dir, options);
            runs.push_back(std::move(run));
        }
        for (std::size_t i = from; i < to; ++i) {
            const Case& c = cases[i];
            Run& run = *runs[i - from];
            SCOPED_TRACE(c.name);
            int n = static_cast<int>(c.delivered.size());
            EXPECT_TRUE(status_is(*run.notify, counts(0, n, c.failed, 0), 10000ms)) << run.notify->status() << run.receiver->err();
            EXPECT_EQ(run.receiver->stop(), 0);
            EXPECT_EQ(fake_nc_inputs(run.dir), c.delivered);
            EXPECT_EQ(read_file(run.dir / "out/.qlfwd-queue"), "");
        }
    }
}

TEST_F(DeliveryTest, RestartWithAFullQueueDropsTheOldestAndSaysSo) {
    // Texts of 32 KiB up to the bound, the last one sized so that a datagram's
    // text no longer fits: it must push out exactly the oldest.
    std::string file;
    int texts = 0;
    const std::size_t bound = 64u * 1024 * 1024;
    while (file.size() + 2 * (12 + 32768) <= bound) {
        std::string text = "{ Qln001(\"f," + std::to_string(100000 + texts) + "\") } " + std::string(32700, 'x') + "\r\nquit\n";
        file += entry(text);
        ++texts;
    }
    file += entry("{ Qln001(\"g,1\") } " + std::string(bound - file.size() - 12 - 60, 'y') + "\r\nquit\n");
    ++texts;
    write_file(queue_file(), file);
    NotifySocket notify(dir);
    auto r = start_notified("-T", notify);
    // Bounds far above any load: a busy machine takes its time with 64 MiB.
    ASSERT_TRUE(status_is(notify, counts(0, 0, 0, texts), 60000ms)) << notify.status();
    send_batch("c", 1);
    ASSERT_TRUE(out_has(*r, "Fehler: Warteschlange voll, 1 aelteste Befehlstexte verworfen\n", 60000ms)) << r->out();
    ASSERT_TRUE(status_is(notify, counts(1, 0, 1, texts), 60000ms));
    EXPECT_EQ(r->stop(), 0);
    // The queue as the next start finds it: the oldest gone, the datagram's text last.
    std::string kept = read_file(queue_file());
    ASSERT_GT(kept.size(), ql::entry_header_size);
    EXPECT_NE(kept.find("f,100000\")"), std::string::npos);
    EXPECT_EQ(kept[ql::entry_state_at], ql::entry_done) << "the oldest is marked given up";
    EXPECT_NE(kept.rfind(",c,value,00000001 \") }\r\nquit\n"), std::string::npos);
    // And it delivers from there, the second-oldest first.
    CommandServer server;
    auto next = start_notified("-T", notify);
    ASSERT_TRUE(server.wait_sessions(3, 60000ms));
    EXPECT_NE(server.sessions()[0].find("f,100001\")"), std::string::npos);
    EXPECT_NE(server.sessions()[2].find("f,100003\")"), std::string::npos);
    EXPECT_EQ(next->stop(), 0);
}

// Upkeep that cannot write (here: the disk full to its last byte) must not
// cost an intact text: a damaged first entry costs that text alone.
TEST_F(DeliveryTest, DamagedFirstEntryOnAFullDiskCostsOnlyThatText) {
    if (!mount_small_tmpfs(dir / "out", "4m")) GTEST_SKIP() << "cannot mount a tmpfs here";
    NotifySocket notify(dir);
    auto r = start_notified("-t", notify);
    send_batch("a", 2000, 20, 4000);
    ASSERT_TRUE(status_is(notify, counts(2000, 0, 0, 2000), 60000ms)) << notify.status();
    {
        int fd = open(queue_file().c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        char header[ql::queue_header_max];
        off_t at = static_cast<off_t>(ql::queue_header(header, ql::QueueKind::commands) + ql::entry_header_size + 3);
        ASSERT_EQ(pwrite(fd, "#", 1, at), 1);
        close(fd);
    }
    {
        int fd = open((dir / "out/filler").c_str(), O_WRONLY | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        std::string block(65536, 'f');
        for (std::size_t size = block.size(); size > 0; size /= 2)
            while (write(fd, block.data(), size) == static_cast<ssize_t>(size)) {
            }
        close(fd);
    }
    // The next attempt meets the damage, with no byte free to rewrite the queue.
    ASSERT_TRUE(status_is(notify, counts(2000, 0, 1, 1999), 60000ms)) << notify.status();
    std::filesystem::remove(dir / "out/filler");
    CommandServer server;
    ASSERT_TRUE(server.wait_sessions(1999, 90000ms)) << server.sessions().size();
    EXPECT_EQ(numbers(server.sessions()), batch("a", 2, 2000));
    ASSERT_TRUE(status_is(notify, counts(2000, 1999, 1, 0), 60000ms)) << notify.status();
    EXPECT_EQ(r->stop(), 0);
}

// Delivered texts whose marks cannot be written (the queue's file failing
// with EIO) are cut away once it can be written again, never sent twice, and
// the failure is said once.
TEST_F(DeliveryTest, MarksThatCannotBeWrittenNeverSendATextTwice) {
    NotifySocket notify(dir);
    Options failing;
    failing.env = {"LD_PRELOAD=" FAILING_WRITES_LIBRARY, "QLFWD_FAIL_WRITES=" + dir / "fail",
                   "ASAN_OPTIONS=verify_asan_link_order=0"};
    auto r = start_notified("-t", notify, failing);
    send_batch("a", 10);
    ASSERT_TRUE(status_is(notify, counts(10, 0, 0, 10), 60000ms)) << notify.status();
    write_file(dir / "fail", "");
    CommandServer server;
    ASSERT_TRUE(server.wait_sessions(10, 60000ms));
    ASSERT_TRUE(status_is(notify, counts(10, 10, 0, 0), 60000ms)) << notify.status();
    const std::string said = "Fehler: file_write .qlfwd-queue mit Fehler\n";
    ASSERT_TRUE(out_has(*r, said));
    // Appends fail too: counted, said no more.
    send_batch("b", 3);
    ASSERT_TRUE(status_is(notify, counts(13, 10, 3, 0), 60000ms)) << notify.status();
    EXPECT_NE(read_file(queue_file()), "") << "neither marked nor cut while failing";
    std::filesystem::remove(dir / "fail");
    ASSERT_TRUE(eventually([&] { return std::filesystem::file_size(queue_file()) == 0; }, 60000ms));
    send_batch("c", 2);
    ASSERT_TRUE(server.wait_sessions(12, 60000ms));
    ASSERT_TRUE(status_is(notify, counts(15, 12, 3, 0), 60000ms)) << notify.status();
    EXPECT_EQ(r->stop(), 0);
    std::string out = r->out();
    std::size_t first = out.find(said);
    EXPECT_EQ(out.find(said, first + 1), std::string::npos) << "said once: " << out;
    auto next = start_notified("-t", notify);
    ASSERT_TRUE(status_is(notify, counts(0, 0, 0, 0), 60000ms)) << notify.status();
    EXPECT_EQ(next->stop(), 0);
    EXPECT_EQ(numbers(server.sessions()), batch("a", 1, 10) + batch("c", 1, 2));
}
