// What a service manager sees of the receiver: readiness and the counts on
// its notification socket, and record files that logrotate can rotate.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "tests/e2e_support.hpp"

using namespace e2e;

namespace {

class ServiceTest : public OutputTestBase {};

}  // namespace

TEST_F(ServiceTest, ReadyThenTheCountsOfWhatBecameOfEachDatagram) {
    NotifySocket notify(dir);
    auto messages = [&] { return notify.messages(); };
    Options options;
    options.env.push_back(notify.variable());
    auto r = start({"-d", dir / "out/"}, options);
    ASSERT_TRUE(eventually([&] { return messages().size() >= 2; }));
    EXPECT_EQ(messages()[0], "READY=1");
    EXPECT_EQ(messages()[1], "STATUS=0 empfangen, 0 weitergegeben, 0 verworfen, 0 verloren, 0 Ausgabefehler");

    auto began = std::chrono::steady_clock::now();
    send_from("127.0.0.42", "first,record,42");
    send_from("127.0.0.42", "second,record,4");
    send_from("127.0.0.43", long_datagram("__Pumpe1", ",21.5"));
    send_from("127.0.0.44", "too,short");                        // dropped: 9 bytes
    send_from("127.0.0.45", "QLSEND _____qL=ack");                // dropped: acknowledgement
    send_from("127.0.0.46", long_datagram("__Pumpe1", ",1", true));  // dropped: checksum
    send_from("127.0.0.1", "from this host itself");              // dropped: own address
    std::filesystem::remove_all(dir / "out");
    send_from("127.0.0.47", "cannot be written");                 // output failure
    const std::string final_counts = "STATUS=8 empfangen, 3 weitergegeben, 4 verworfen, 0 verloren, 1 Ausgabefehler";
    // Published within a second or so of the last change, even with nothing after it.
    ASSERT_TRUE(eventually([&] { return messages().back() == final_counts; }, 3000ms)) << messages().back();
    EXPECT_EQ(r->stop(), 0);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();

    // Only when changed, and never more than once a second: no two alike in a
    // row, and no more updates than whole seconds the sending took, plus one.
    auto all = messages();
    for (std::size_t i = 2; i < all.size(); ++i) EXPECT_NE(all[i], all[i - 1]);
    EXPECT_LE(all.size() - 2, static_cast<std::size_t>(seconds) + 1) << seconds << " s";
    // The -d lines are the events' own; the counts add none.
    EXPECT_EQ(r->out(),
              "> Oeffne socket\nFehler: zu kurzes Paket\nFehler: Quittung empfangen\n"
              "err checksum: " + long_datagram("__Pumpe1", ",1", true) + "\r\n" +
              "len=160, IST=" + long_datagram("__Pumpe1", ",1", true).substr(156) + ", SOLL=" +
              checksum_of(long_datagram("__Pumpe1", ",1").substr(0, 156)) + "\r\n" +
              "Fehler: Paket von mir selbst\nFehler: file_write Qln047.txt mit Fehler\n"
              "> beende programm\n> schliesse socket\n");
}

TEST_F(ServiceTest, LogrotateRotatesGrownFilesOnlyAndTheNextDatagramMakesThemAgain) {
    if (system("command -v logrotate >/dev/null") != 0) GTEST_SKIP() << "logrotate is not installed";
    // The shipped file, pointed at this directory, run as this user.
    std::string config = read_file(std::string(QLFWD_SOURCE_DIR) + "/systemd/qlfwd.logrotate");
    auto at = config.find("/var/lib/qlfwd/");
    ASSERT_NE(at, std::string::npos);
    config.replace(at, 15, dir / "out/");
    at = config.find("su qlfwd qlfwd");
    ASSERT_NE(at, std::string::npos);
    config.replace(at, 14, "su " + std::to_string(getuid()) + " " + std::to_string(getgid()));
    write_file(dir / "logrotate.conf", config);
    chmod((dir / "logrotate.conf").c_str(), 0644);

    auto r = start({"-a", dir / "out/"});
    std::string record = "a,record,of,the,many," + std::string(100, 'x');
    for (int i = 0; i < 9000; ++i) {  // about 1.2 MiB
        std::string line = "2026.12.08_10:00:00,Quenlink,Qln042," + record + "\n";
        std::ofstream(dir / "out/Qln042.txt", std::ios::app) << line;
    }
    write_file(dir / "out/Qln043.txt", "2026.12.08_10:00:00,Quenlink,Qln043,the,latest,value");
    std::string grown = read_file(dir / "out/Qln042.txt");
    ASSERT_GT(grown.size(), 1u << 20);

    std::string run = "logrotate -s " + dir / "logrotate.state" + " " + dir / "logrotate.conf";
    ASSERT_EQ(system(run.c_str()), 0);
    EXPECT_FALSE(file_exists(dir / "out/Qln042.txt"));
    EXPECT_EQ(read_file(dir / "out/Qln042.txt.1"), grown);
    EXPECT_EQ(read_file(dir / "out/Qln043.txt"), "2026.12.08_10:00:00,Quenlink,Qln043,the,latest,value");
    EXPECT_FALSE(file_exists(dir / "out/Qln043.txt.1"));

    send_from("127.0.0.42", "after,the,rotation");
    ASSERT_TRUE(eventually([&] { return file_exists(dir / "out/Qln042.txt"); }));
    EXPECT_EQ(r->stop(), 0);
    EXPECT_EQ(unstamp(read_file(dir / "out/Qln042.txt")), "STAMP,Quenlink,Qln042,after,the,rotation\n");
    struct stat st {};
    stat((dir / "out/Qln042.txt").c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0666u);

    // A second run compresses the first generation (delaycompress).
    for (int i = 0; i < 9000; ++i) std::ofstream(dir / "out/Qln042.txt", std::ios::app) << record << "\n";
    ASSERT_EQ(system(run.c_str()), 0);
    EXPECT_TRUE(file_exists(dir / "out/Qln042.txt.2.gz"));
    EXPECT_TRUE(file_exists(dir / "out/Qln042.txt.1"));
}
