// Forwarding to the command server end to end: the real nc against a stand-in
// server, a stand-in nc where its argv, input or descriptors matter, and a
// stand-in ifconfig for own-address detection.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "tests/e2e_support.hpp"

using namespace e2e;

namespace {

class ForwardingTest : public ReceiverTestBase {
protected:
    void SetUp() override {
        ReceiverTestBase::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(mkdir((dir / "bin").c_str(), 0755), 0);
    }


    Options fake_nc() { return fake_nc_options(dir); }

    // A stand-in ifconfig that prints the older listing with "inet addr:".
    void old_ifconfig(const std::string& extra = "") {
        write_script(dir / "bin/ifconfig",
                     extra +
                     "cat <<'LIST'\n"
                     "eth0      Link encap:Ethernet  HWaddr 02:00:00:00:00:01\n"
                     "          inet addr:10.1.2.3  Bcast:10.1.2.255  Mask:255.255.255.0\n"
                     "          inet6 addr: fe80::1/64 Scope:Link\n"
                     "lo        Link encap:Local Loopback\n"
                     "          inet addr:127.0.0.1  Mask:255.0.0.0\n"
                     "          inet6 addr: ::1/128 Scope:Host\n"
                     "LIST\n");
    }

    int runs() { return static_cast<int>(fake_nc_inputs(dir).size()); }

};

}  // namespace

TEST_F(ForwardingTest, ReadingCommandsReachTheServer) {
    CommandServer server;
    auto r = start({"-t127.0.0.1", dir.prefix()});
    std::string datagram = long_datagram("__Pumpe1", ",21.5,,on");
    send_from("127.0.0.42", datagram);
    ASSERT_TRUE(server.wait_sessions(1));
    std::string header = datagram.substr(0, 15);
    std::string expected = "setreading Pumpe1_00 state STAMP\r\n"
                           "setreading Pumpe1_01 state Quenlink\r\n"
                           "setreading Pumpe1_02 state Qln042__Pumpe1\r\n"
                           "setreading Pumpe1_03 state " + header + "\r\n"
                           "setreading Pumpe1_04 state 21.5\r\n"
                           "setreading Pumpe1_05 state \r\n"
                           "setreading Pumpe1_06 state on" + std::string(26, ' ') + "\r\n";
    std::string session = server.sessions()[0];
    EXPECT_EQ(unstamp(session).substr(0, expected.size()), expected);
    EXPECT_TRUE(session.ends_with("\r\nquit\n"));
    EXPECT_EQ(read_file(dir / "Qln042__Pumpe1-telnet.txt"), session);
    EXPECT_FALSE(file_exists(dir / "Qln042__Pumpe1.txt"));
    EXPECT_EQ(r->stop(), 0);
}

TEST_F(ForwardingTest, ShortDatagramInModeOne) {
    CommandServer server;
    auto r = start({"-t127.0.0.1", dir.prefix()});
    send_from("127.0.0.7", "x=1,y=2,z=3456");
    ASSERT_TRUE(server.wait_sessions(1));
    EXPECT_EQ(unstamp(server.sessions()[0]),
              "setreading _00 state STAMP\r\nsetreading _01 state Quenlink\r\nsetreading _02 state Qln007\r\n"
              "setreading _03 state x=1\r\nsetreading _04 state y=2\r\nsetreading _05 state z=3456\r\nquit\n");
    EXPECT_EQ(r->stop(), 0);
}

TEST_F(ForwardingTest, CallExpressionReachesTheServer) {
    CommandServer server;
    auto r = start({"-a", "-T127.0.0.1", dir.prefix()});
    send_from("127.0.0.42", "T,a\"b$c@d\\e,long enough");
    ASSERT_TRUE(server.wait_sessions(1));
    EXPECT_EQ(unstamp(server.sessions()[0]),
              "{ Qln042(\"STAMP,Quenlink,Qln042,T,a\\\"b\\$c\\@d\\\\e,long enough\\n \") }\r\nquit\n");
    EXPECT_EQ(r->stop(), 0);
}

TEST_F(ForwardingTest, AppendKeepsTheFileButSendsOnlyTheNewCommands) {
    CommandServer server;
    auto r = start({"-a", "-T127.0.0.1", dir.prefix()});
    send_from("127.0.0.42", "first datagram,1");
    ASSERT_TRUE(server.wait_sessions(1));
    send_from("127.0.0.42", "second datagram,2");
    ASSERT_TRUE(server.wait_sessions(2));
    std::vector<std::string> sessions = server.sessions();
    EXPECT_EQ(unstamp(sessions[0]), "{ Qln042(\"STAMP,Quenlink,Qln042,first datagram,1\\n \") }\r\nquit\n");
    EXPECT_EQ(unstamp(sessions[1]), "{ Qln042(\"STAMP,Quenlink,Qln042,second datagram,2\\n \") }\r\nquit\n");
    EXPECT_EQ(read_file(dir / "Qln042-telnet.txt"), sessions[0] + sessions[1]);
    EXPECT_EQ(r->stop(), 0);
}

TEST_F(ForwardingTest, ThousandsOfCommandsAllSent) {
    CommandServer server;
    auto r = start({"-t127.0.0.1", dir.prefix()});
    // The most commas whose sum still fits four digits: a label of eight commas
    // and 1498 commas after the device name, so 1500 commands.
    std::string commas(1489, ',');
    send_from("127.0.0.42", commas + checksum_of(commas));
    ASSERT_TRUE(server.wait_sessions(1));
    std::string session = server.sessions()[0];
    std::size_t count = 0;
    for (std::size_t p = 0; (p = session.find("setreading ", p)) != std::string::npos; ++p) ++count;
    EXPECT_EQ(count, 1500u);
    EXPECT_TRUE(session.ends_with("setreading _________1499 state \r\nquit\n"));
    EXPECT_EQ(r->stop(), 0);
}

TEST_F(ForwardingTest, NcStartedDirectlyWithNothingLeaked) {
    auto r = start({"-t10.0.0.9 10.0.0.8", dir.prefix()}, fake_nc());
    // Shell syntax in label and text must reach no shell.
    std::string hostile = long_datagram("$(touch)", " x);`touch y`;touch z;'\"\n$HOME");
    send_from("127.0.0.42", hostile);
    ASSERT_TRUE(eventually([&] { return runs() == 1; }));
    EXPECT_EQ(read_file(dir / "nc-args"), "argc=2 [10.0.0.9] [7072] []\n");
    std::string fds = read_file(dir / "nc-fds");
    // The text from the queue, in memory: never a file a datagram could name.
    EXPECT_NE(fds.find(" 0 -> /memfd:qlfwd-commands"), std::string::npos) << fds;
    EXPECT_NE(fds.find(" 1 -> /dev/null"), std::string::npos) << fds;
    EXPECT_EQ(fds.find("socket:"), std::string::npos) << fds;
    EXPECT_EQ(fake_nc_inputs(dir)[0], read_file(dir / "Qln042$(touch)-telnet.txt"));
    for (const char* f : {"x", "y", "z", "x)", "touch"}) EXPECT_FALSE(file_exists(dir / f)) << f;
    EXPECT_EQ(r->stop(), 0);
}

TEST_F(ForwardingTest, HostileLabelStaysInsideThePrefix) {
    ASSERT_EQ(mkdir((dir / "out").c_str(), 0755), 0);
    auto r = start({"-T127.0.0.2", dir / "out/"}, fake_nc());
    send_from("127.0.0.42", long_datagram("../../xy", ",v"));
    ASSERT_TRUE(eventually([&] { return runs() == 1; }));
    EXPECT_TRUE(file_exists(dir / "out/Qln042.._.._xy-telnet.txt"));
    EXPECT_EQ(unstamp(fake_nc_inputs(dir)[0]).substr(0, 50),
              "{ Qln042______xy(\"STAMP,Quenlink,Qln042../../xy,QL");
    EXPECT_EQ(r->stop(), 0);
}

TEST_F(ForwardingTest, MissingNcReportedAndReceptionGoesOn) {
    Options options;
    options.path = dir / "bin";  // holds no nc
    auto r = start({"-d", "-t127.0.0.1", dir.prefix()}, options);
    send_from("127.0.0.42", "first datagram!");
    send_from("127.0.0.43", "second datagram");
    std::string line = "Fehler: konnte nc nicht starten, No such file or directory (errno=2)\n";
    EXPECT_TRUE(eventually([&] { return r->out() == "> Oeffne socket\n" + line + line; })) << r->out();
    EXPECT_TRUE(file_exists(dir / "Qln043-telnet.txt"));
    EXPECT_EQ(r->stop(), 0);
}

TEST_F(ForwardingTest, RefusingServerDoesNotStopReception) {
    auto r = start({"-t127.0.0.1", dir.prefix()});  // nothing listens on 7072
    send_from("127.0.0.42", "nobody listens!");
    ASSERT_TRUE(eventually([&] { return file_exists(dir / "Qln042-telnet.txt"); }));
    CommandServer server;
    send_from("127.0.0.43", "now somebody is");
    // The first nc may still be on its way and reach the new server too.
    EXPECT_TRUE(eventually([&] {
        for (const std::string& session : server.sessions())
            if (session.find("state now somebody is\r\n") != std::string::npos) return true;
        return false;
    }));
    EXPECT_EQ(r->stop(), 0);
}

TEST_F(ForwardingTest, ServerThatNeverClosesIsCutOffWhileReceptionGoesOn) {
    auto server = std::make_unique<CommandServer>(false);
    auto r = start({"-d", "-t127.0.0.1", dir.prefix()});
    auto started = std::chrono::steady_clock::now();
    send_from("127.0.0.42", "never answered!");
    send_from("127.0.0.43", "waits its turn!");
    // Reception does not wait for the hung run.
    ASSERT_TRUE(eventually([&] { return file_exists(dir / "Qln043-telnet.txt"); }, 2000ms));
    ASSERT_TRUE(eventually([&] { return r->out().find("abgebrochen") != std::string::npos; }, 15000ms));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 9500ms);
    server.reset();
    server = std::make_unique<CommandServer>();  // recovered: the second text follows, the first is not sent again
    ASSERT_TRUE(server->wait_sessions(1, 5000ms));
    EXPECT_NE(server->sessions()[0].find("state waits its turn!\r\n"), std::string::npos);
    // The server has the text a moment before nc's end is seen.
    const std::string expected = "> Oeffne socket\nFehler: nc nach 10 s abgebrochen\n"
                                 "> nc 127.0.0.1 7072 wieder erfolgreich, 0 Befehlstexte warten\n";
    EXPECT_TRUE(eventually([&] { return r->out() == expected; }, 30000ms)) << r->out();
    EXPECT_EQ(r->stop(), 0);
    EXPECT_EQ(server->sessions().size(), 1u);
}

TEST_F(ForwardingTest, DetectedAddressFromOlderListing) {
    old_ifconfig();
    auto r = start({"-t", dir.prefix()}, fake_nc());
    send_from("127.0.0.42", "to this host!!!");
    ASSERT_TRUE(eventually([&] { return runs() == 1; }));
    // "10.1.2.3 fe80" was detected; nc takes the first word.
    EXPECT_EQ(read_file(dir / "nc-args"), "argc=2 [10.1.2.3] [7072] []\n");
    EXPECT_FALSE(file_exists(dir / "my-ip"));
    EXPECT_EQ(r->stop(), 0);
}

TEST_F(ForwardingTest, DetectedAddressFromInterfacesWhenListingHasNoAddr) {
    write_script(dir / "bin/ifconfig", "echo 'eth0: flags=4163<UP>  mtu 1500'\necho '        inet 10.200.0.1'\n");
    ASSERT_EQ(system("ip link add qlv0 type veth peer name qlv1 && ip addr add 10.200.0.1/24 dev qlv0"), 0);
    auto r = start({"-T", dir.prefix()}, fake_nc());
    send_from("127.0.0.42", "to this host!!!");
    ASSERT_TRUE(eventually([&] { return runs() == 1; }));
    EXPECT_EQ(read_file(dir / "nc-args"), "argc=2 [10.200.0.1] [7072] []\n");
    EXPECT_EQ(r->stop(), 0);
}

TEST_F(ForwardingTest, FallbackAddressWhenNothingIsFound) {
    write_script(dir / "bin/ifconfig", "exit 1\n");
    auto r = start({"-t", dir.prefix()}, fake_nc());
    send_from("127.0.0.42", "to this host!!!");
    ASSERT_TRUE(eventually([&] { return runs() == 1; }));
    EXPECT_EQ(read_file(dir / "nc-args"), "argc=2 [192.168.1.10] [7072] []\n");
    EXPECT_EQ(r->stop(), 0);
}

TEST_F(ForwardingTest, AddressFileThatCannotBeOpenedEndsWith255) {
    old_ifconfig();
    ASSERT_EQ(mkdir((dir / "my-ip").c_str(), 0755), 0);  // even root cannot open it as a file
    Options options = fake_nc();
    options.args = {"-d", "-t", dir.prefix()};
    Receiver r(dir, options);
    EXPECT_EQ(r.wait_exit(), 255);
    EXPECT_NE(r.err().find("my-ip: Is a directory\n"), std::string::npos) << r.err();
    EXPECT_EQ(r.out(), "err not found: my-ip \r\n");
    EXPECT_TRUE(file_exists(dir / "my-ip"));
    // -d after -t comes too late for the detection's message.
    options.args = {"-t", "-d", dir.prefix()};
    Receiver late(dir, options);
    EXPECT_EQ(late.wait_exit(), 255);
    EXPECT_EQ(late.out(), "");
}

TEST_F(ForwardingTest, SigtermDuringStartUpStillEndsWithZero) {
    old_ifconfig("touch '" + dir.path() + "/listing'\nsleep 0.5\n");
    Options options = fake_nc();
    options.args = {"-d", "-t", dir.prefix()};
    Receiver r(dir, options);
    ASSERT_TRUE(eventually([&] { return file_exists(dir / "listing"); }));
    r.signal(SIGTERM);
    EXPECT_EQ(r.wait_exit(), 0);
    EXPECT_EQ(r.out(), "> beende programm\n> Oeffne socket\n> schliesse socket\n");
}
