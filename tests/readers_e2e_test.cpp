// What a reader of the output finds: a latest-value file that is never empty
// or partial, stamps of the moment each datagram arrived, and a file system
// whose last 5 % the receiver never takes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <filesystem>
#include <set>
#include <thread>

#include "tests/e2e_support.hpp"
#include "tests/pattern.hpp"

using namespace e2e;

namespace {

class ReaderTest : public OutputTestBase {
protected:
    std::unique_ptr<Receiver> start_notified(std::vector<std::string> args, NotifySocket& notify) {
        Options options;
        options.env.push_back(notify.variable());
        return start(std::move(args), options);
    }

    void send(const std::string& options) {
        ASSERT_EQ(system((std::string(QLSEND_BINARY) + " -q " + options + " >/dev/null").c_str()), 0);
    }

    struct statvfs fs() {
        struct statvfs st {};
        EXPECT_EQ(statvfs((dir / "out").c_str(), &st), 0);
        return st;
    }

    std::string below_line() { return "Fehler: weniger als 5 % frei in " + dir / "out" + ", keine Ausgabe\n"; }
    std::string back_line() { return "> wieder genug Platz in " + dir / "out" + "\n"; }
};

std::string stamp_of(std::time_t t) {
    std::tm local;
    localtime_r(&t, &local);
    char out[32];
    std::strftime(out, sizeof out, "%Y.%m.%d_%H:%M:%S", &local);
    return out;
}

// "<r> empfangen, <w> weitergegeben, ..." as numbers.
std::vector<unsigned long> counts_in(const std::string& status) {
    std::vector<unsigned long> numbers;
    static const Pattern number("([0-9]+) ");
    for (const std::vector<std::string>& m : number.all(status)) numbers.push_back(std::stoul(m[1]));
    return numbers;
}

}  // namespace

TEST_F(ReaderTest, ReaderRacingTheWriterFindsOnlyWholeRecords) {
    auto r = start({dir / "out/"});
    std::atomic<bool> sending{true};
    std::atomic<long> reads{0}, whole{0};
    std::string bad;
    const Pattern record("[0-9]{4}\\.[0-9]{2}\\.[0-9]{2}_[0-9]{2}:[0-9]{2}:[0-9]{2},Quenlink,Qln042,latest,value,[0-9]{8}");
    std::thread reader([&] {
        while (sending) {
            int fd = open((dir / "out/Qln042.txt").c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) continue;  // before the first record
            char buffer[256];
            ssize_t n = read(fd, buffer, sizeof buffer);
            close(fd);
            ++reads;
            if (n > 0 && record.matches(std::string_view(buffer, n)))
                ++whole;
            else if (bad.empty())
                bad = n > 0 ? std::string(buffer, n) : "(empty)";
        }
    });
    send("-s 127.0.0.42 -n 2000 -r 1000 -i -t latest,value,");
    sending = false;
    reader.join();
    EXPECT_GT(reads, 1000);
    EXPECT_EQ(whole, reads) << "first bad read: " << bad;
    EXPECT_EQ(r->stop(), 0);
    // Nothing but the record file: no temporary is left behind.
    std::set<std::string> names;
    for (const auto& f : std::filesystem::directory_iterator(dir / "out")) names.insert(f.path().filename());
    EXPECT_EQ(names, std::set<std::string>{"Qln042.txt"});
}

TEST_F(ReaderTest, DatagramsThatWaitedAreStampedWhenTheyArrived) {
    auto r = start({"-a", dir / "out/"});
    r->signal(SIGSTOP);
    std::time_t first = time(nullptr);
    send("-s 127.0.0.42 -n 20 -r 10 -i -t waited,");
    std::time_t last = time(nullptr);
    sleep(3);
    std::time_t resumed = time(nullptr);
    r->signal(SIGCONT);
    std::set<std::string> allowed;
    for (std::time_t t = first; t <= last; ++t) allowed.insert(stamp_of(t));
    ASSERT_TRUE(eventually([&] { return read_file(dir / "out/Qln042.txt").find("00000020") != std::string::npos; }));
    std::string lines = read_file(dir / "out/Qln042.txt");
    int n = 0;
    for (std::size_t at = 0; at < lines.size(); at = lines.find('\n', at) + 1, ++n)
        EXPECT_TRUE(allowed.count(lines.substr(at, 19))) << lines.substr(at, 19) << " (resumed at " << stamp_of(resumed) << ")";
    EXPECT_EQ(n, 20);
    EXPECT_EQ(r->stop(), 0);
}

TEST_F(ReaderTest, FloodStopsAtTheFloorOfFreeBlocksAndResumesWhenSpaceIsBack) {
    if (!mount_small_tmpfs(dir / "out", "1m")) GTEST_SKIP() << "cannot mount a tmpfs here";
    NotifySocket notify(dir);
    auto r = start_notified({"-d", "-a", dir / "out/"}, notify);
    const std::string text = "flood," + std::string(100, 'f') + ",";
    const unsigned long record = 19 + 17 + text.size() + 8 + 1;  // stamp, ",Quenlink,Qln042,", text, number, LF
    send("-s 127.0.0.42 -n 12000 -r 20000 -i -t " + text);
    ASSERT_TRUE(eventually([&] { return notify.status().starts_with("12000 empfangen"); }, 10000ms)) << notify.status();
    std::vector<unsigned long> c = counts_in(notify.status());
    ASSERT_EQ(c.size(), 5u);
    EXPECT_EQ(c[1] + c[4], 12000u) << "weitergegeben + Ausgabefehler";
    EXPECT_GT(c[4], 0u);
    EXPECT_EQ(c[3], 0u) << "verloren";
    struct statvfs st = fs();
    unsigned long floor = (st.f_blocks * 5 + 99) / 100;
    EXPECT_GE(st.f_bavail * st.f_frsize + record, floor * st.f_frsize) << "below the floor by more than a record";
    EXPECT_EQ(read_file(dir / "out/Qln042.txt").size(), c[1] * record) << "whole records only";
    EXPECT_EQ(r->out(), "> Oeffne socket\n" + below_line());

    std::filesystem::remove(dir / "out/Qln042.txt");
    auto removed = std::chrono::steady_clock::now();
    ASSERT_TRUE(eventually([&] {
        send("-s 127.0.0.43 -t after,the,removal");
        return file_exists(dir / "out/Qln043.txt");
    }, 3000ms));
    EXPECT_LT(std::chrono::steady_clock::now() - removed, 1500ms);
    EXPECT_EQ(r->stop(), 0);
    EXPECT_EQ(r->out(), "> Oeffne socket\n" + below_line() + back_line() + "> beende programm\n> schliesse socket\n");
}

TEST_F(ReaderTest, NewLabelsStopAtTheFloorOfInodesButLatestValuesGoOn) {
    if (!mount_small_tmpfs(dir / "out", "size=4m,nr_inodes=100")) GTEST_SKIP() << "cannot mount a tmpfs here";
    NotifySocket notify(dir);
    auto r = start_notified({"-d", dir / "out/"}, notify);
    send("-s 127.0.0.2 -c 120 -n 120 -t new,device,here");
    ASSERT_TRUE(eventually([&] { return notify.status().starts_with("120 empfangen"); })) << notify.status();
    std::vector<unsigned long> c = counts_in(notify.status());
    EXPECT_EQ(c[1] + c[4], 120u);
    struct statvfs st = fs();
    EXPECT_GE(st.f_favail, (st.f_files * 5 + 99) / 100) << "an inode of the floor was taken";
    EXPECT_EQ(static_cast<unsigned long>(std::distance(std::filesystem::directory_iterator(dir / "out"), {})), c[1]);
    // An existing device's latest value is still replaced, below the floor too.
    std::string before = read_file(dir / "out/Qln002.txt");
    send("-s 127.0.0.2 -t replaced,value");
    ASSERT_TRUE(eventually([&] { return read_file(dir / "out/Qln002.txt").find("replaced,value") != std::string::npos; }));
    EXPECT_TRUE(eventually([&] { return counts_in(notify.status())[1] == c[1] + 1; }, 3000ms)) << notify.status();
    EXPECT_EQ(r->stop(), 0);
    EXPECT_EQ(r->out(), "> Oeffne socket\n" + below_line() + "> beende programm\n> schliesse socket\n");
}

// ext4 keeps 5 % for root: the service's unprivileged user meets a full disk
// while root's reserve is still free. The floor holds for what that user may
// use, so the command server and the others on the host keep their 5 %.
TEST_F(ReaderTest, FloodOnExtFourAsAnUnprivilegedUserStopsAtTheFloor) {
    std::string why = mount_ext4_image(dir / "ext4.img", dir / "out", 16);
    if (!why.empty()) GTEST_SKIP() << why;
    ASSERT_EQ(chown((dir / "out").c_str(), unprivileged_user, unprivileged_user), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0711), 0);
    NotifySocket notify(dir);
    ASSERT_EQ(chmod((dir / "notify").c_str(), 0777), 0);
    Options options;
    options.env.push_back(notify.variable());
    options.user = unprivileged_user;
    auto r = start({"-d", "-a", dir / "out/"}, options);
    // Long datagrams of some 1.3 KiB: the file system fills within 13,000.
    const std::string text = "flood," + std::string(1250, '!') + ",";
    const unsigned long sent = 16000;
    send("-s 127.0.0.42 -n " + std::to_string(sent) + " -r 4000 -i -l FLOOD001 -t " + text);
    // A few slow ones after it carry the count of any the kernel dropped.
    send("-s 127.0.0.43 -n 3 -r 10 -t after,the,flood");
    ASSERT_TRUE(eventually([&] {
        std::vector<unsigned long> c = counts_in(notify.status());
        return c.size() == 5 && c[0] + c[3] == sent + 3;
    }, 30000ms)) << notify.status();
    std::vector<unsigned long> c = counts_in(notify.status());
    EXPECT_EQ(c[1] + c[4], c[0]) << "weitergegeben + Ausgabefehler = empfangen";
    EXPECT_GT(c[4], 0u) << "the flood never met the floor";
    std::string records = read_file(dir / "out/Qln042FLOOD001.txt");
    const unsigned long record = records.find('\n') + 1;  // numbered: all of one length
    ASSERT_GT(record, text.size());
    std::string after = read_file(dir / "out/Qln043.txt");
    EXPECT_EQ(records.size() % record, 0u) << "whole records only";
    EXPECT_EQ(records.size() / record + std::count(after.begin(), after.end(), '\n'), c[1]);
    struct statvfs st = fs();
    unsigned long floor = (st.f_blocks * 5 + 99) / 100;
    EXPECT_GE(st.f_bavail * st.f_frsize + record, floor * st.f_frsize) << "below the floor by more than a record";
    EXPECT_EQ(r->out(), "> Oeffne socket\n" + below_line()) << "one line, none per datagram";
    EXPECT_EQ(r->stop(), 0);
}
