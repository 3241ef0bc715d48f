// The faults of a long-running service: its directory going away, a full file
// system, SIGTERM in the middle of a datagram, many devices at once.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "tests/e2e_support.hpp"

using namespace e2e;

namespace {

class FaultTest : public OutputTestBase {
protected:
    bool out_says(const Receiver& r, const std::string& text) {
        return eventually([&] { return r.out().find(text) != std::string::npos; });
    }
};

}  // namespace

TEST_F(FaultTest, DirectoryRemovedThenRecreated) {
    auto r = start({"-d", "-a", dir / "out/"});
    send_from("127.0.0.42", "before removal!");
    ASSERT_TRUE(eventually([&] { return file_exists(dir / "out/Qln042.txt"); }));
    std::filesystem::remove_all(dir / "out");
    send_from("127.0.0.42", "while it is gone");
    ASSERT_TRUE(out_says(*r, "Fehler: file_write Qln042.txt mit Fehler\n"));
    ASSERT_EQ(mkdir((dir / "out").c_str(), 0755), 0);
    send_from("127.0.0.42", "after recreation");
    ASSERT_TRUE(eventually([&] { return file_exists(dir / "out/Qln042.txt"); }));
    EXPECT_EQ(unstamp(read_file(dir / "out/Qln042.txt")), "STAMP,Quenlink,Qln042,after recreation\n");
    EXPECT_EQ(r->stop(), 0);
}

TEST_F(FaultTest, FullFileSystemLeavesNoPartialRecordAndRecovers) {
    if (!mount_small_tmpfs(dir / "out", "64k")) GTEST_SKIP() << "cannot mount a tmpfs here";
    // A record file whose last page has 50 bytes left, and a filler that takes
    // every other page: the file system is below its floor of free space.
    write_file(dir / "out/Qln042.txt", std::string(4045, 'x') + "\n");
    {
        std::ofstream filler(dir / "out/filler", std::ios::binary);
        std::string block(1024, 'f');
        while (filler.write(block.data(), block.size())) {
        }
    }
    std::string line = std::string(4045, 'x') + "\n";
    ASSERT_EQ(read_file(dir / "out/Qln042.txt"), line);
    NotifySocket notify(dir);
    Options options;
    options.env.push_back(notify.variable());
    auto r = start({"-d", "-a", dir / "out/"}, options);
    std::string text(120, 'r');
    send_from("127.0.0.42", text);
    const std::string below = "Fehler: weniger als 5 % frei in " + dir / "out" + ", keine Ausgabe\n";
    ASSERT_TRUE(out_says(*r, below)) << r->out();
    send_from("127.0.0.43", text);  // no new file either
    EXPECT_TRUE(eventually([&] {
        return notify.status() == "2 empfangen, 0 weitergegeben, 0 verworfen, 0 verloren, 2 Ausgabefehler";
    })) << notify.status();
    EXPECT_EQ(read_file(dir / "out/Qln042.txt"), line) << "a partial record was left";
    EXPECT_FALSE(file_exists(dir / "out/Qln043.txt"));

    std::filesystem::remove(dir / "out/filler");
    ASSERT_TRUE(eventually([&] {
        send_from("127.0.0.42", text);
        return read_file(dir / "out/Qln042.txt").size() > line.size();
    }, 3000ms));
    EXPECT_EQ(unstamp(read_file(dir / "out/Qln042.txt").substr(line.size())),
              "STAMP,Quenlink,Qln042," + text + "\n");
    EXPECT_EQ(r->stop(), 0);
    EXPECT_EQ(r->out(), "> Oeffne socket\n" + below + "> wieder genug Platz in " + dir / "out" + "\n" +
                            "> beende programm\n> schliesse socket\n");
}

TEST_F(FaultTest, SigtermWhileADatagramIsForwardedCompletesIt) {
    Options options = fake_nc_options(dir, "touch \"$d/nc-started\"\nsleep 1\n");
    auto r = start({"-d", "-t127.0.0.1", dir / "out/"}, options);
    send_from("127.0.0.42", "in flight at SIGTERM");
    ASSERT_TRUE(eventually([&] { return file_exists(dir / "nc-started"); }));
    r->signal(SIGTERM);
    EXPECT_EQ(r->wait_exit(), 0);
    std::vector<std::string> inputs = fake_nc_inputs(dir);
    ASSERT_EQ(inputs.size(), 1u) << "nc was not waited for";
    EXPECT_EQ(inputs[0], read_file(dir / "out/Qln042-telnet.txt"));
    EXPECT_EQ(r->out(), "> Oeffne socket\n> beende programm\n> schliesse socket\n");
}

TEST_F(FaultTest, TenThousandDatagramsFromTwoHundredFiftyDevices) {
    for (bool append : {true, false}) {
        std::filesystem::remove_all(dir / "out");
        ASSERT_EQ(mkdir((dir / "out").c_str(), 0755), 0);
        std::vector<std::string> args = {dir / "out/"};
        if (append) args.insert(args.begin(), "-a");
        auto r = start(args);
        // Paced, so that the kernel's receive queue never overflows.
        ASSERT_EQ(system((std::string(QLSEND_BINARY) + " -q -s 127.0.0.2 -c 250 -n 10000 -r 2000 -t first,round,of,many"
                          " >/dev/null").c_str()), 0);
        ASSERT_EQ(system((std::string(QLSEND_BINARY) + " -q -s 127.0.0.2 -c 250 -n 250 -r 2000 -t last,round,of,all"
                          " >/dev/null").c_str()), 0);
        ASSERT_TRUE(eventually(
            [&] { return read_file(dir / "out/Qln251.txt").find("last,round,of,all") != std::string::npos; }, 20000ms));
        EXPECT_EQ(r->stop(), 0);
        int files = 0;
        for (int octet = 2; octet <= 251; ++octet) {
            char name[16];
            std::snprintf(name, sizeof name, "Qln%03d", octet);
            std::string expected;
            if (append) {
                for (int i = 0; i < 40; ++i) expected += "STAMP,Quenlink," + std::string(name) + ",first,round,of,many\n";
                expected += "STAMP,Quenlink," + std::string(name) + ",last,round,of,all\n";
            } else {
                expected = "STAMP,Quenlink," + std::string(name) + ",last,round,of,all";
            }
            EXPECT_EQ(unstamp(read_file(dir / ("out/" + std::string(name) + ".txt"))), expected) << name;
            ++files;
        }
        EXPECT_EQ(files, 250);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "out"), {}), 250);
    }
}
