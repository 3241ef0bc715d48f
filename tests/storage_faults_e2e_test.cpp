// Every file the receiver writes, failed by the tests' shim where the storage
// calls meet the kernel: a write, a rename, a sync. Each failure is said,
// counted where a record is lost, and the file is whole again once the disk
// works: record files, command files, both queues, the list of devices.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "delivery/queue_entry.hpp"
#include "tests/e2e_support.hpp"
#include "tests/mqtt_support.hpp"

using namespace e2e;

namespace {

class StorageFaultTest : public ReceiverTestBase {
protected:
    // The shim failing op for paths that hold part, while dir/fail exists.
    Options failing(const std::string& part, const std::string& op, Options options = {}) {
        options.env.insert(options.env.end(), {"LD_PRELOAD=" FAILING_WRITES_LIBRARY, "QLFWD_FAIL_WRITES=" + dir / "fail",
                                               "QLFWD_FAIL_PATHS=" + part, "QLFWD_FAIL_OPS=" + op,
                                               "ASAN_OPTIONS=verify_asan_link_order=0", notify->variable()});
        return options;
    }
    void fail(bool on) {
        if (on)
            write_file(dir / "fail", "");
        else
            std::filesystem::remove(dir / "fail");
    }
    bool said(const Receiver& r, const std::string& line) {
        return eventually([&] { return r.out().find(line) != std::string::npos; }, 10000ms);
    }
    // Bound is not ready: the delivery queue is opened after the socket, and READY=1 says it is.
    bool ready() {
        return eventually([&] {
            const auto& all = notify->messages();
            return std::find(all.begin(), all.end(), "READY=1") != all.end();
        });
    }
    bool status_is(const std::string& text) {
        return eventually([&] { return notify->status() == text; }, 10000ms);
    }
    std::unique_ptr<NotifySocket> notify = std::make_unique<NotifySocket>(dir);
};

std::string counts(int received, int handed_on, int failed, int queued = -1) {
    std::string s = std::to_string(received) + " empfangen, " + std::to_string(handed_on) + " weitergegeben, 0 verworfen, 0 verloren, " +
                    std::to_string(failed) + " Ausgabefehler";
    return queued < 0 ? s : s + ", " + std::to_string(queued) + " in Warteschlange";
}

// The files written for each datagram: the failed one is said and counted,
// the next one, once the disk works, is written whole.
TEST_F(StorageFaultTest, FilesWrittenPerDatagram) {
    struct Case {
        std::vector<std::string> args;
        std::string part, op, says;
        bool queue;  // a delivery queue: the status line counts what waits
    } cases[] = {
        {{}, "Qln042.txt", "rename", "Fehler: file_write Qln042.txt mit Fehler\n", false},
        {{}, "Qln042.txt", "write", "Fehler: file_write Qln042.txt mit Fehler\n", false},
        {{"-a"}, "Qln042.txt", "write", "Fehler: file_write Qln042.txt mit Fehler\n", false},
        {{"-t127.0.0.1"}, "Qln042-telnet.txt", "write", "Fehler: file_write Qln042-telnet.txt mit Fehler\n", true},
        {{"-t127.0.0.1"}, "Qln042-telnet.txt", "rename", "Fehler: file_write Qln042-telnet.txt mit Fehler\n", true},
        {{"-t127.0.0.1"}, ".qlfwd-queue", "write", "Fehler: file_write .qlfwd-queue mit Fehler\n", true},
        {{"-m127.0.0.1:1999"}, ".qlfwd-mqtt-queue", "write", "Fehler: file_write .qlfwd-mqtt-queue mit Fehler\n", true},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(dir / "out");
        std::filesystem::create_directory(dir / "out");
        notify = std::make_unique<NotifySocket>(dir);
        // The stand-in nc keeps what it was given; the broker's port has no one behind it.
        Options options = failing(c.part, c.op, fake_nc_options(dir));
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "-d");
        args.push_back(dir / "out/");
        auto r = start(args, options);
        ASSERT_TRUE(ready()) << r->out();
        fail(true);
        send_from("127.0.0.42", "while the disk fails");
        ASSERT_TRUE(said(*r, c.says)) << c.part << " " << c.op << ": " << r->out();
        ASSERT_TRUE(status_is(counts(1, 0, 1, c.queue ? 0 : -1))) << c.part << " " << c.op << ": " << notify->status();
        fail(false);
        send_from("127.0.0.42", "once the disk works");
        bool mqtt = c.part == ".qlfwd-mqtt-queue";
        ASSERT_TRUE(status_is(mqtt ? counts(2, 0, 1, 1) : counts(2, 1, 1, c.queue ? 0 : -1)))
            << c.part << " " << c.op << ": " << notify->status() << r->out();
        if (c.args.empty() || c.args[0] == "-a") {
            EXPECT_EQ(unstamp(read_file(dir / "out/Qln042.txt")),
                      "STAMP,Quenlink,Qln042,once the disk works" + std::string(c.args.empty() ? "" : "\n"));
        }
        EXPECT_EQ(r->stop(), 0);
        std::string out = r->out();
        EXPECT_EQ(out.find(c.says), out.rfind(c.says)) << "said once: " << out;
        std::filesystem::remove_all(dir / "bin");
        for (int n = 0; file_exists(dir / ("nc-input-" + std::to_string(n))); ++n)
            std::filesystem::remove(dir / ("nc-input-" + std::to_string(n)));
    }
}

// A queue that cannot be rewritten at the start is used as it stands: its
// texts go, none twice, none lost.
TEST_F(StorageFaultTest, QueueThatCannotBeRenamedAtTheStartIsUsedAsItStands) {
    auto entry = [](const std::string& text, bool done) {
        char header[ql::entry_header_size];
        ql::entry_header(header, text.data(), text.size());
        if (done) header[ql::entry_state_at] = ql::entry_done;
        return std::string(header, sizeof header) + text;
    };
    std::string file = entry("delivered\r\nquit\n", true) + entry("waiting\r\nquit\n", false);
    write_file(dir / ".qlfwd-queue", file);
    fail(true);
    auto r = start({"-d", "-t127.0.0.1", dir.prefix()}, failing(".qlfwd-queue", "rename", fake_nc_options(dir)));
    ASSERT_TRUE(eventually([&] { return fake_nc_inputs(dir).size() == 1; })) << r->out();
    EXPECT_EQ(fake_nc_inputs(dir), (std::vector<std::string>{"waiting\r\nquit\n"}));
    EXPECT_EQ(r->stop(), 0);
}

// The list of kept devices: a failed write or rename is said and tried
// again; the list comes whole once the disk works.
TEST_F(StorageFaultTest, DevicesListWrittenOnceTheDiskWorks) {
    std::string missing = mqtt_tools_missing();
    if (!missing.empty()) GTEST_SKIP() << missing;
    Broker broker(dir);
    ASSERT_TRUE(broker.start()) << broker.log();
    for (const std::string op : {"write", "rename"}) {
        std::filesystem::remove(dir / ".qlfwd-mqtt-devices");
        notify = std::make_unique<NotifySocket>(dir);
        fail(true);
        auto r = start({"-d", "-m", "-H", dir.prefix()}, failing(".qlfwd-mqtt-devices", op));
        for (int i = 0; i < 2; ++i) send_from("127.0.0.42", "kept,from,its,second,record");
        ASSERT_TRUE(said(*r, "Fehler: file_write .qlfwd-mqtt-devices mit Fehler\n")) << op << ": " << r->out();
        EXPECT_TRUE(status_is(counts(2, 2, 0, 0))) << notify->status();
        EXPECT_FALSE(file_exists(dir / ".qlfwd-mqtt-devices"));
        fail(false);
        ASSERT_TRUE(eventually([&] { return read_file(dir / ".qlfwd-mqtt-devices").find("\nQln042 ") != std::string::npos; }))
            << op;
        EXPECT_EQ(r->stop(), 0);
    }
}

// A sync that fails is said once and tried again a second later: what was
// written is made durable once the disk works.
TEST_F(StorageFaultTest, FailedSyncSaidAndTriedAgain) {
    std::string log = dir / "syncs";
    Options options = failing("none", "sync");
    options.env.push_back("QLFWD_SYNCS=" + log);
    auto r = start({"-d", "-a", dir.prefix()}, options);
    ASSERT_TRUE(ready()) << r->out();
    fail(true);
    send_from("127.0.0.42", "written, not synced");
    std::string says = "Fehler: sync " + dir.path() + " mit Fehler (Input/output error)\n";
    ASSERT_TRUE(said(*r, says)) << r->out();
    auto syncs = [&] {
        std::string all = read_file(log);
        return std::count(all.begin(), all.end(), '\n');
    };
    ASSERT_TRUE(eventually([&] { return syncs() >= 2; })) << "tried again";
    fail(false);
    long before = syncs();
    ASSERT_TRUE(eventually([&] { return syncs() > before; }));
    EXPECT_EQ(r->stop(), 0);
    std::string out = r->out();
    EXPECT_EQ(out.find(says), out.rfind(says)) << "said once: " << out;
}

}  // namespace
