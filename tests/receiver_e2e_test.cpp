// The receiver end to end in mode 0: real binary, real datagrams.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "tests/e2e_support.hpp"
#include "tests/pattern.hpp"

using namespace e2e;

namespace {

const Pattern stamp_pattern("^[0-9]{4}\\.[0-9]{2}\\.[0-9]{2}_[0-9]{2}:[0-9]{2}:[0-9]{2},");

// The record without its time stamp; fails the test when the stamp is malformed.
std::string without_stamp(const std::string& record) {
    EXPECT_TRUE(!stamp_pattern.first(record).empty()) << record;
    return record.size() >= 20 ? record.substr(20) : record;
}

class ReceiverTest : public ReceiverTestBase {
protected:


    std::string record(const std::string& name) { return read_file(dir / name); }

};

}  // namespace

TEST_F(ReceiverTest, ShortAndLongDatagramsBecomeRecords) {
    auto r = start({"-d", dir.prefix()});
    std::string long_one = long_datagram("__Pumpe1", ",21.5,ok");
    send_from("127.0.0.42", "hello,world,1234");
    send_from("127.0.0.255", long_one);
    send_marker();
    ASSERT_TRUE(marker_written(dir));
    EXPECT_EQ(without_stamp(record("Qln042.txt")), "Quenlink,Qln042,hello,world,1234");
    EXPECT_EQ(without_stamp(record("Qln255__Pumpe1.txt")),
              "Quenlink,Qln255__Pumpe1," + long_one.substr(0, long_one.size() - 4));
    EXPECT_EQ(r->stop(), 0);
    EXPECT_EQ(r->out(), "> Oeffne socket\n> beende programm\n> schliesse socket\n");
}

TEST_F(ReceiverTest, SizeLimits) {
    auto r = start({"-d", dir.prefix()});
    send_from("127.0.0.10", "");
    send_from("127.0.0.13", std::string(13, 'a'));
    send_from("127.0.0.14", std::string(14, 'b'));
    std::string s159(159, 'c');
    send_from("127.0.0.159", s159);
    std::string l160 = long_datagram("LABEL160", "");
    ASSERT_EQ(l160.size(), 160u);
    send_from("127.0.0.160", l160);
    send_marker();
    ASSERT_TRUE(marker_written(dir));
    EXPECT_FALSE(file_exists(dir / "Qln010.txt"));
    EXPECT_FALSE(file_exists(dir / "Qln013.txt"));
    EXPECT_EQ(without_stamp(record("Qln014.txt")), "Quenlink,Qln014," + std::string(14, 'b'));
    EXPECT_EQ(without_stamp(record("Qln159.txt")), "Quenlink,Qln159," + s159);
    EXPECT_EQ(without_stamp(record("Qln160LABEL160.txt")), "Quenlink,Qln160LABEL160," + l160.substr(0, 156));
    EXPECT_EQ(r->stop(), 0);
    EXPECT_EQ(r->out(), "> Oeffne socket\nFehler: zu kurzes Paket\n> beende programm\n> schliesse socket\n");
}

TEST_F(ReceiverTest, AcknowledgementsAndOwnDatagramsDropped) {
    auto r = start({"-d", dir.prefix()});
    send_from("127.0.0.42", "0123456789abqL=ok");
    std::string ack = "0123456789abqL=" + std::string(200, 'z');  // long, checksum never looked at
    send_from("127.0.0.42", ack);
    send_from("127.0.0.1", "from this very host");
    send_marker();
    ASSERT_TRUE(marker_written(dir));
    EXPECT_FALSE(file_exists(dir / "Qln042.txt"));
    EXPECT_FALSE(file_exists(dir / "Qln001.txt"));
    EXPECT_EQ(r->stop(), 0);
    EXPECT_EQ(r->out(),
              "> Oeffne socket\nFehler: Quittung empfangen\nFehler: Quittung empfangen\n"
              "Fehler: Paket von mir selbst\n> beende programm\n> schliesse socket\n");
}

TEST_F(ReceiverTest, ChecksumErrorsReportedExactly) {
    auto r = start({"-d", dir.prefix()});
    std::string base(156, 'y');                    // sum 0x49BC
    std::string wrong = base + "49BD";
    std::string lower = base + "49bc";
    std::string five = std::string(600, '~') + "2750";  // sum 0x12750
    std::string negative = std::string(156, '\xff') + "FF64";
    for (const std::string& d : {wrong, lower, five, negative}) send_from("127.0.0.42", d);
    send_marker();
    ASSERT_TRUE(marker_written(dir));
    EXPECT_FALSE(file_exists(dir / "Qln042yyyyyyyy.txt"));
    EXPECT_EQ(r->stop(), 0);
    EXPECT_EQ(r->out(), "> Oeffne socket\n"
                        "err checksum: " + wrong + "\r\nlen=160, IST=49BD, SOLL=49BC\r\n"
                        "err checksum: " + lower + "\r\nlen=160, IST=49bc, SOLL=49BC\r\n"
                        "err checksum: " + five + "\r\nlen=604, IST=2750, SOLL=12750\r\n"
                        "err checksum: " + negative + "\r\nlen=160, IST=FF64, SOLL=FFFFFF64\r\n"
                        "> beende programm\n> schliesse socket\n");
}

TEST_F(ReceiverTest, ZeroByteEndsTextAndOversizeIsCut) {
    auto r = start({dir.prefix()});
    std::string text = "HDR0001__Pumpe1,a";
    send_from("127.0.0.42", text + checksum_of(text) + std::string(1, '\0') + std::string(200, 'q'));
    // A long datagram that still looks short up to its zero byte gets no record.
    send_from("127.0.0.43", std::string("ab") + '\0' + std::string(200, 'q'));
    std::string big = "HDR0001BIGLABEL";
    while (big.size() < 1496) big += "a\x9f";  // pairs that sum to zero keep four digits
    big.resize(1496);
    send_from("127.0.0.44", big + checksum_of(big) + std::string(100, 'h'));  // 1600 bytes
    send_marker();
    ASSERT_TRUE(marker_written(dir));
    EXPECT_EQ(without_stamp(record("Qln042__Pumpe1.txt")), "Quenlink,Qln042__Pumpe1," + text);
    EXPECT_FALSE(file_exists(dir / "Qln043.txt"));
    EXPECT_EQ(without_stamp(record("Qln044BIGLABEL.txt")), "Quenlink,Qln044BIGLABEL," + big);
    EXPECT_EQ(r->stop(), 0);
}

TEST_F(ReceiverTest, OverwriteOrAppend) {
    {
        auto r = start({dir.prefix()});
        send_from("127.0.0.42", "first datagram!");
        send_from("127.0.0.42", "second datagram");
        send_marker();
        ASSERT_TRUE(marker_written(dir));
        EXPECT_EQ(without_stamp(record("Qln042.txt")), "Quenlink,Qln042,second datagram");
        EXPECT_EQ(r->stop(), 0);
    }
    unlink((dir / "Qln250.txt").c_str());
    auto r = start({"-a", dir.prefix()});
    send_from("127.0.0.42", "third datagram!");
    send_from("127.0.0.42", "");  // empty: dropped silently, nothing appended
    send_from("127.0.0.42", "fourth datagram");
    send_marker();
    ASSERT_TRUE(marker_written(dir));
    // Appended directly after the last record written without -a.
    std::string all = record("Qln042.txt");
    ASSERT_EQ(all.size(), 51u + 2 * 52);
    EXPECT_EQ(without_stamp(all.substr(0, 51)), "Quenlink,Qln042,second datagram");
    std::string rest = all.substr(51);
    EXPECT_EQ(without_stamp(rest.substr(0, 52)), "Quenlink,Qln042,third datagram!\n");
    EXPECT_EQ(without_stamp(rest.substr(52)), "Quenlink,Qln042,fourth datagram\n");
    EXPECT_EQ(r->stop(), 0);
}

TEST_F(ReceiverTest, RecordFilesOpenToAllUnderRestrictiveUmask) {
    Options options;
    options.umask = 077;
    auto r = start({dir.prefix()}, options);
    send_from("127.0.0.42", "permissions test");
    send_marker();
    ASSERT_TRUE(marker_written(dir));
    struct stat st {};
    ASSERT_EQ(stat((dir / "Qln042.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    EXPECT_EQ(r->stop(), 0);
}

TEST_F(ReceiverTest, MissingDirectoryReportedAtOnceEachTime) {
    auto r = start({"-d", dir / "missing/"});
    send_from("127.0.0.42", "nowhere to go 1");
    send_from("127.0.0.42", "nowhere to go 2");
    // Read while it still runs: every line must have left at once.
    std::string expected = "> Oeffne socket\nFehler: file_write Qln042.txt mit Fehler\n"
                           "Fehler: file_write Qln042.txt mit Fehler\n";
    EXPECT_TRUE(eventually([&] { return r->out() == expected; })) << r->out();
    EXPECT_FALSE(file_exists(dir / "missing"));
    EXPECT_EQ(r->stop(), 0);
}

TEST_F(ReceiverTest, SecondInstanceEndsWithStatusTwo) {
    auto first = start({dir.prefix()});
    Receiver second(dir, {"-d", dir.prefix()});
    EXPECT_EQ(second.wait_exit(), 2);
    EXPECT_EQ(second.out(),
              "> Oeffne socket\nFehler: konnte Socket nicht anbinden, Address already in use (errno=98)"
              "Fehler: konnte Socket nicht oeffnen\n");
    Receiver quiet(dir, {dir.prefix()});
    EXPECT_EQ(quiet.wait_exit(), 2);
    EXPECT_EQ(quiet.out(), "");
    // The first one is untouched by it.
    send_from("127.0.0.42", "still receiving");
    send_marker();
    EXPECT_TRUE(marker_written(dir));
    EXPECT_EQ(first->stop(), 0);
}

TEST_F(ReceiverTest, VersionLineThenReceivesAsUsual) {
    auto r = start({"-v", "-x", "foo", dir.prefix()});
    send_from("127.0.0.42", "after the version");
    send_marker();
    ASSERT_TRUE(marker_written(dir));
    EXPECT_TRUE(file_exists(dir / "Qln042.txt"));
    EXPECT_EQ(r->stop(), 0);
    EXPECT_EQ(r->out(), "qlfwd v0.2\n");
}

TEST_F(ReceiverTest, StopsOnSigtermWithStandardDescriptorsClosed) {
    Options options;
    options.close_standard = true;
    auto r = start({"-d", dir.prefix()}, options);
    send_from("127.0.0.42", "no stdout at all");
    send_marker();
    ASSERT_TRUE(marker_written(dir));
    EXPECT_EQ(without_stamp(record("Qln042.txt")), "Quenlink,Qln042,no stdout at all");
    EXPECT_EQ(r->stop(), 0);
}

TEST_F(ReceiverTest, OtherSignalsKeepTheirDefault) {
    auto r = start({dir.prefix()});
    r->signal(SIGINT);
    EXPECT_EQ(r->wait_exit(), -SIGINT);
}

TEST_F(ReceiverTest, HostileLabelStaysInsideThePrefix) {
    ASSERT_EQ(mkdir((dir / "out").c_str(), 0755), 0);
    auto r = start({"-d", dir / "out/"});
    std::string hostile = long_datagram("../../xy", ",v");
    send_from("127.0.0.42", hostile);
    std::string control = long_datagram("a\nb/\x01\x7f" "cd", ",w");
    send_from("127.0.0.43", control);
    send_from("127.0.0.250", "marker-datagram-0");
    ASSERT_TRUE(eventually([&] { return file_exists(dir / "out/Qln250.txt"); }));
    EXPECT_EQ(without_stamp(read_file(dir / "out/Qln042.._.._xy.txt")),
              "Quenlink,Qln042../../xy," + hostile.substr(0, hostile.size() - 4));
    EXPECT_EQ(without_stamp(read_file(dir / "out/Qln043a_b___cd.txt")),
              "Quenlink,Qln043a\nb/\x01\x7f" "cd," + control.substr(0, control.size() - 4));
    std::vector<std::string> outside;
    for (auto& entry : std::filesystem::recursive_directory_iterator(dir.path()))
        if (entry.path().parent_path() != dir.path() + "/out") outside.push_back(entry.path());
    EXPECT_EQ(outside.size(), 3u) << "only out/ and the captured output files";
    EXPECT_EQ(r->stop(), 0);
}

TEST_F(ReceiverTest, SymbolicLinkAtRecordPathRefused) {
    write_file(dir / "target", "keep me");
    ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "Qln042.txt").c_str()), 0);
    auto r = start({"-d", dir.prefix()});
    send_from("127.0.0.42", "through the link?");
    send_marker();
    ASSERT_TRUE(marker_written(dir));
    EXPECT_EQ(read_file(dir / "target"), "keep me");
    EXPECT_EQ(r->stop(), 0);
    EXPECT_EQ(r->out(), "> Oeffne socket\nFehler: file_write Qln042.txt mit Fehler\n"
                        "> beende programm\n> schliesse socket\n");
}

TEST_F(ReceiverTest, RefusedAddressesEndBeforeTheSocket) {
    Receiver too_long(dir, {"-d", "-t" + std::string(26, '1')});
    EXPECT_EQ(too_long.wait_exit(), 1);
    EXPECT_NE(too_long.err().find("25"), std::string::npos) << too_long.err();
    EXPECT_EQ(too_long.out(), "");
    Receiver option(dir, {"-T-e"});
    EXPECT_EQ(option.wait_exit(), 1);
    EXPECT_NE(option.err().find("-T-e"), std::string::npos) << option.err();
}

TEST_F(ReceiverTest, HelpPrintsUsage) {
    Receiver help(dir, {"--help"});
    EXPECT_EQ(help.wait_exit(), 0);
    EXPECT_EQ(help.out().rfind("Aufruf: qlfwd", 0), 0u) << help.out();
    Receiver h(dir, {"-d", "-h"});
    EXPECT_EQ(h.wait_exit(), 0);
    EXPECT_EQ(h.out(), help.out());
}

// The host's own addresses are taken again once they are a minute old.
TEST_F(ReceiverTest, NewOwnAddressKnownWithinAMinute) {
    // The receiver's clock, not the test, is put a minute ahead.
    std::string shift = dir / "clock-shift";
    write_file(shift, "0");
    Options options;
    options.env = {"LD_PRELOAD=" FAILING_WRITES_LIBRARY, "QLFWD_CLOCK_SHIFT=" + shift,
                   "ASAN_OPTIONS=verify_asan_link_order=0"};
    auto r = start({"-d", dir.prefix()}, options);
    send_from("127.0.0.42", "the list is taken");
    ASSERT_TRUE(eventually([&] { return file_exists(dir / "Qln042.txt"); }));
    ASSERT_EQ(system("ip addr add 10.77.0.5/32 dev lo"), 0);
    send_from("10.77.0.5", "not yet known!!");
    ASSERT_TRUE(eventually([&] { return file_exists(dir / "Qln005.txt"); }));
    write_file(shift, "59");
    send_from("10.77.0.5", "a minute is not over");
    ASSERT_TRUE(eventually([&] { return read_file(dir / "Qln005.txt").ends_with("a minute is not over"); }));
    write_file(shift, "61");
    send_from("10.77.0.5", "now known as own");
    EXPECT_TRUE(eventually([&] { return r->out().ends_with("Fehler: Paket von mir selbst\n"); })) << r->out();
    EXPECT_EQ(without_stamp(record("Qln005.txt")), "Quenlink,Qln005,a minute is not over");
    EXPECT_EQ(r->stop(), 0);
}

TEST_F(ReceiverTest, StampFollowsTheClock) {
    auto r = start({"-a", dir.prefix()});
    send_from("127.0.0.42", "first of two lines");
    ASSERT_TRUE(eventually([&] { return file_exists(dir / "Qln042.txt"); }));
    std::this_thread::sleep_for(1100ms);
    send_from("127.0.0.42", "second, a second later");
    ASSERT_TRUE(eventually([&] {
        std::string all = record("Qln042.txt");
        return std::count(all.begin(), all.end(), '\n') == 2;
    }));
    std::string all = record("Qln042.txt");
    std::string first = all.substr(0, 19), second = all.substr(all.find('\n') + 1, 19);
    EXPECT_LT(first, second) << all;
    EXPECT_EQ(unstamp(all), "STAMP,Quenlink,Qln042,first of two lines\nSTAMP,Quenlink,Qln042,second, a second later\n");
    EXPECT_EQ(r->stop(), 0);
}
