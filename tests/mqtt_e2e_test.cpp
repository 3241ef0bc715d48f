// Mode 3 against Debian's real mosquitto broker: what a consumer subscribed
// to it receives, while the broker is up, away, stopped or strict.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "delivery/queue_entry.hpp"
#include "tests/e2e_support.hpp"
#include "tests/mqtt_support.hpp"

using namespace e2e;

namespace {

class MqttTest : public MqttTestBase {
protected:
    // A broker, a subscriber to the records, and qlfwd -m connected to it.
    std::unique_ptr<Receiver> connected_to(Broker& broker, std::unique_ptr<Subscriber>& sub) {
        EXPECT_TRUE(broker.start()) << broker.log();
        sub = std::make_unique<Subscriber>(dir, std::vector<std::string>{"qlfwd/+"});
        EXPECT_TRUE(sub->ready());
        auto r = start_mqtt({"-m"});
        EXPECT_TRUE(eventually([&] { return has(r->out(), connected(0)); })) << r->out();
        return r;
    }
    // Numbered datagrams as fast as qlsend can, the hosts from 127.0.0.10 on taking turns.
    static int burst(int count, int hosts, const std::string& text) {
        return std::system((std::string(QLSEND_BINARY) + " -q -c " + std::to_string(hosts) + " -s 127.0.0.10 -i -n " +
                            std::to_string(count) + " -t " + text + " >/dev/null").c_str());
    }
};

TEST_F(MqttTest, RecordsArriveAsJsonAndAvailabilityIsSaid) {
    Broker broker(dir);
    ASSERT_TRUE(broker.start()) << broker.log();
    Subscriber sub(dir, {"qlfwd/#"});
    ASSERT_TRUE(sub.ready());
    auto r = start_mqtt({"-a", "-m"});
    // Connected first: a record that came before would be said as waiting.
    ASSERT_TRUE(eventually([&] { return has(r->out(), connected(0)); })) << r->out();
    send_from("127.0.0.42", long_datagram("kitchen", "21.5,60\xB0,\"q\\"));
    send_from("127.0.0.43", "ab;c,,d,0123456789");
    ASSERT_TRUE(sub.wait_lines(3)) << r->out();
    ASSERT_TRUE(status_has("2 weitergegeben")) << status();
    EXPECT_TRUE(has(status(), ", 0 in Warteschlange")) << status();
    EXPECT_EQ(r->stop(), 0);
    ASSERT_TRUE(sub.wait_lines(4));
    std::vector<std::string> lines = sub.lines();
    std::string padded(129, ' ');  // qlsend fills a long datagram with blanks up to 156 bytes
    EXPECT_EQ(untime(lines[0]), "qlfwd/status online");
    EXPECT_EQ(untime(lines[1]),
              "qlfwd/Qln042_kitchen {\"time\":\"TIME\",\"device\":\"Qln042_kitchen\",\"fields\":[\"QLSEND _kitchen21.5\","
              "\"60\xC2\xB0\",\"\\\"q\\\\" + padded + "\"],\"record\":\"STAMP,Quenlink,Qln042_kitchen,QLSEND _kitchen21.5,"
              "60\xC2\xB0,\\\"q\\\\" + padded + "\"}");
    EXPECT_EQ(untime(lines[2]),
              "qlfwd/Qln043 {\"time\":\"TIME\",\"device\":\"Qln043\",\"fields\":[\"ab;c\",\"\",\"d\",\"0123456789\"],"
              "\"record\":\"STAMP,Quenlink,Qln043,ab;c,,d,0123456789\"}");
    EXPECT_EQ(lines[3], "qlfwd/status offline");
    EXPECT_EQ(r->out(), "> Oeffne socket\n" + connected(0) + "> beende programm\n> schliesse socket\n");
    // Records go to the broker only: no record or command files.
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_FALSE(entry.path().filename().string().starts_with("Qln")) << entry.path();
    struct stat st {};
    ASSERT_EQ(stat(queue_path(dir).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 0);
}

// The broker away, qlfwd restarted twice meanwhile: once it is back, every
// record arrives, in arrival order, each once.
TEST_F(MqttTest, AwayAndRestartedLosesNothing) {
    Broker broker(dir);
    ASSERT_TRUE(broker.start()) << broker.log();
    {
        Subscriber first(dir, {"qlfwd/+"}, 1883, true);  // its session outlives the outage
        ASSERT_TRUE(first.ready());
    }
    broker.stop();
    unsigned sent = 0;
    for (int run = 0; run < 3; ++run) {
        auto r = start_mqtt({"-m"});
        for (int i = 0; i < 10; ++i, ++sent) send_from("127.0.0.42", "reading,number," + std::to_string(sent));
        ASSERT_TRUE(eventually([&] { return has(r->out(), "nicht erreichbar"); }, 5000ms)) << r->out();
        ASSERT_TRUE(status_has("10 empfangen")) << status();
        EXPECT_EQ(r->stop(), 0);
        EXPECT_TRUE(has(r->out(), "Fehler: MQTT 127.0.0.1:1883 nicht erreichbar (")) << r->out();
    }
    ASSERT_TRUE(broker.start()) << broker.log();
    Subscriber sub(dir, {"qlfwd/+"}, 1883, true);
    auto r = start_mqtt({"-m"});
    EXPECT_TRUE(eventually([&] { return has(r->out(), connected(sent)); })) << r->out();
    ASSERT_TRUE(sub.wait_lines(sent + 1)) << sub.lines().size();
    ASSERT_TRUE(status_has(std::to_string(sent) + " weitergegeben")) << status();
    std::vector<std::string> records;
    for (const auto& line : sub.lines())
        if (line.starts_with("qlfwd/Qln042 ")) records.push_back(line.substr(line.rfind(',') + 1));
    ASSERT_EQ(records.size(), sent);
    for (unsigned i = 0; i < sent; ++i) EXPECT_EQ(records[i], std::to_string(i) + "\"}");
}

// A broker that stops answering (SIGSTOP) never holds reception up; once it
// goes on, everything arrives.
TEST_F(MqttTest, StoppedBrokerNeverStallsReception) {
    Broker broker(dir);
    std::unique_ptr<Subscriber> sub;
    auto r = connected_to(broker, sub);
    ASSERT_FALSE(HasFailure());
    broker.pause();
    constexpr int count = 300;
    ASSERT_EQ(burst(count, 20, "reading,number,"), 0);
    EXPECT_TRUE(status_has(std::to_string(count) + " empfangen", 5000ms)) << status();
    broker.resume();
    ASSERT_TRUE(sub->wait_lines(count, 20000ms)) << sub->lines().size();
    EXPECT_TRUE(status_has(std::to_string(count) + " weitergegeben")) << status();
    std::set<std::string> distinct;
    for (const auto& line : sub->lines())
        if (line.starts_with("qlfwd/Qln")) distinct.insert(line.substr(line.rfind(',')));
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(count));
}

// A burst from many hosts is taken from the kernel many datagrams a call:
// each record still carries its own sender and text, and each host's come in
// the order they were sent.
TEST_F(MqttTest, BurstFromManyHostsKeepsEachRecordItsOwn) {
    Broker broker(dir);
    std::unique_ptr<Subscriber> sub;
    auto r = connected_to(broker, sub);
    ASSERT_FALSE(HasFailure());
    constexpr int count = 1000, hosts = 20;
    ASSERT_EQ(burst(count, hosts, "burst,"), 0);
    ASSERT_TRUE(sub->wait_lines(count + 1, 30000ms)) << sub->lines().size() << " " << status();  // and qlfwd/status
    EXPECT_TRUE(status_has(std::to_string(count) + " weitergegeben")) << status();
    EXPECT_TRUE(has(status(), std::to_string(count) + " empfangen")) << status();
    std::map<int, int> last;  // host's last octet: its newest number
    std::set<int> seen;
    for (const auto& line : sub->lines()) {
        if (line == "qlfwd/status online") continue;
        ASSERT_TRUE(line.starts_with("qlfwd/Qln0") && line.ends_with("\"}")) << line;
        int host = std::atoi(line.substr(10, 2).c_str());
        int number = std::atoi(line.substr(line.size() - 10, 8).c_str());
        // qlsend's hosts take turns: number n comes from the (n - 1) % hosts'th.
        EXPECT_EQ(host, 10 + (number - 1) % hosts) << line;
        EXPECT_NE(line.find("\"fields\":[\"burst\",\"" + line.substr(line.size() - 10, 8) + "\"]"), std::string::npos) << line;
        EXPECT_GT(number, last[host]) << line;
        last[host] = number;
        seen.insert(number);
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(count));
    EXPECT_EQ(r->stop(), 0);
}

// A broker host that never answers (its packets go nowhere inside this
// namespace): the connect waits beside reception, and is given up after 10 s.
TEST_F(MqttTest, ADeadHostNeverStallsReception) {
    // Routed into lo, a packet for another host is dropped there: no answer, no error.
    ASSERT_EQ(std::system("ip route add 10.9.9.0/24 dev lo"), 0);
    auto r = start_mqtt({"-m10.9.9.9"});
    std::string qlsend = QLSEND_BINARY;
    ASSERT_EQ(std::system((qlsend + " -q -c 10 -s 127.0.0.10 -n 100 -t reading,number,1 >/dev/null").c_str()), 0);
    EXPECT_TRUE(status_has("100 empfangen", 3000ms)) << status();
    EXPECT_TRUE(has(status(), "100 in Warteschlange")) << status();
    EXPECT_FALSE(has(r->out(), "nicht erreichbar")) << r->out();
    EXPECT_TRUE(eventually([&] { return has(r->out(), "Fehler: MQTT 10.9.9.9:1883 nicht erreichbar (Connection timed out), 100 Datensaetze warten\n"); }, 15000ms))
        << r->out();
    EXPECT_EQ(r->stop(), 0);
}

// A crash can leave the last entry cut anywhere: whatever is whole before it
// is still delivered, and the cut one is counted as lost, never sent torn.
TEST_F(MqttTest, QueueCutAtEveryByteOfItsLastEntry) {
    std::string whole;
    {
        auto r = start_mqtt({"-m127.0.0.1:1999"});  // nobody listens there
        send_from("127.0.0.42", "first,record,1");
        send_from("127.0.0.43", "second,record,2");
        ASSERT_TRUE(status_has("2 empfangen")) << status();
        EXPECT_EQ(r->stop(), 0);
        std::ifstream in(queue_path(dir), std::ios::binary);
        whole.assign(std::istreambuf_iterator<char>(in), {});
    }
    char header[ql::queue_header_max];
    std::size_t last = whole.find(std::string("\0Ql", 3), ql::queue_header(header, ql::QueueKind::records) + 1);
    ASSERT_NE(last, std::string::npos);
    Broker broker(dir);
    ASSERT_TRUE(broker.start()) << broker.log();
    Subscriber sub(dir, {"qlfwd/Qln042"});
    ASSERT_TRUE(sub.ready());
    for (std::size_t cut = last; cut < whole.size(); ++cut) {
        std::ofstream(queue_path(dir), std::ios::binary | std::ios::trunc) << whole.substr(0, cut);
        std::size_t before = sub.lines().size();
        auto r = start_mqtt({"-m"});
        // Only the whole entry waits, and it arrives whole.
        ASSERT_TRUE(sub.wait_lines(before + 1)) << cut << ": " << r->out();
        EXPECT_TRUE(has(r->out(), connected(1))) << cut << ": " << r->out();
        EXPECT_TRUE(sub.lines().back().ends_with(",first,record,1\"}")) << cut << ": " << sub.lines().back();
        EXPECT_EQ(r->stop(), 0);
        EXPECT_EQ(sub.lines().size(), before + 1) << cut;
    }
}

std::string old_entry(const std::string& text) {
    char header[ql::entry_header_size];
    ql::entry_header(header, text.data(), text.size());
    return std::string(header, sizeof header) + text;
}

// The queue the first release wrote (no header, "<topic>" LF "<payload>"):
// delivered in order by this one; new records after it; rewritten with this
// release's header once it was emptied.
TEST_F(MqttTest, FirstReleaseQueueDeliveredInOrder) {
    std::string old;
    for (int i = 0; i < 3; ++i)
        old += old_entry("qlfwd/Qln042\n{\"time\":\"2026-12-08T14:03:59+01:00\",\"device\":\"Qln042\",\"fields\":[\"old\",\"" +
                         std::to_string(i) + "\"],\"record\":\"2026.12.08_14:03:59,Quenlink,Qln042,old," + std::to_string(i) + "\"}");
    write_file(queue_path(dir), old);
    Broker broker(dir);
    ASSERT_TRUE(broker.start()) << broker.log();
    Subscriber sub(dir, {"qlfwd/+"});
    ASSERT_TRUE(sub.ready());
    auto r = start_mqtt({"-m"});
    ASSERT_TRUE(eventually([&] { return has(r->out(), connected(3)); })) << r->out();
    send_from("127.0.0.42", "new,record,0003");
    ASSERT_TRUE(sub.wait_lines(5)) << r->out();
    std::vector<std::string> lines = sub.lines();
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(lines[1 + i].ends_with(",old," + std::to_string(i) + "\"}")) << lines[1 + i];
    EXPECT_TRUE(lines[4].ends_with(",new,record,0003\"}")) << lines[4];
    ASSERT_TRUE(status_has("1 empfangen, 4 weitergegeben, 0 verworfen, 0 verloren, 0 Ausgabefehler, 0 in Warteschlange"))
        << status();
    EXPECT_EQ(read_file(queue_path(dir)), "") << "emptied";
    // Broker away: what waits now is in this release's format.
    broker.stop();
    send_from("127.0.0.42", "waits,record,0004");
    ASSERT_TRUE(status_has("1 in Warteschlange")) << status();
    EXPECT_TRUE(read_file(queue_path(dir)).starts_with("qlfwd queue M 1\n"));
    EXPECT_EQ(r->stop(), 0);
}

// A queue a later release wrote is refused, said, and left exactly as it is.
TEST_F(MqttTest, QueueOfALaterReleaseLeftUntouched) {
    std::string later = "qlfwd queue M 2\n" + old_entry("in a format this release does not know");
    write_file(queue_path(dir), later);
    chmod(queue_path(dir).c_str(), 0640);
    auto r = start_mqtt({"-m127.0.0.1:1999"});
    send_from("127.0.0.42", "cannot,be,queued");
    ASSERT_TRUE(status_has("1 empfangen, 0 weitergegeben, 0 verworfen, 0 verloren, 1 Ausgabefehler")) << status();
    EXPECT_TRUE(eventually([&] {
        return has(r->out(), "Fehler: Warteschlange .qlfwd-mqtt-queue in unbekanntem Format, bleibt unberuehrt\n");
    })) << r->out();
    EXPECT_EQ(r->stop(), 0);
    EXPECT_EQ(read_file(queue_path(dir)), later);
    struct stat st {};
    ASSERT_EQ(stat(queue_path(dir).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    std::string out = r->out();
    EXPECT_EQ(out.find("unbekanntem Format"), out.rfind("unbekanntem Format")) << "said once";
}

TEST_F(MqttTest, PasswordFromTheCredentialsDirectory) {
    std::string passwords = dir / "passwords";
    ASSERT_EQ(std::system(("mosquitto_passwd -c -b " + passwords + " site s3cret").c_str()), 0);
    Broker broker(dir, 1883, {"password_file " + passwords});
    ASSERT_TRUE(broker.start()) << broker.log();
    std::filesystem::create_directory(dir / "right");
    std::filesystem::create_directory(dir / "wrong");
    std::ofstream(dir / "right/mqtt-password") << "s3cret\n";
    std::ofstream(dir / "wrong/mqtt-password") << "guess\n";
    struct Case {
        std::string credentials;
        std::string user;
        std::string says;
    } cases[] = {
        {"right", "site@", connected(0)},
        {"wrong", "site@", "Fehler: MQTT 127.0.0.1:1883 verweigert: Connection Refused: not authorised.\n"},
        {"right", "", "Fehler: MQTT 127.0.0.1:1883 verweigert: Connection Refused: not authorised.\n"},
    };
    for (const Case& c : cases) {
        auto r = start_mqtt({"-m" + c.user + "127.0.0.1"}, {"CREDENTIALS_DIRECTORY=" + (dir / c.credentials)});
        EXPECT_TRUE(eventually([&] { return has(r->out(), c.says); })) << c.credentials << c.user << r->out();
        send_from("127.0.0.42", "reading,number,1");
        bool right = c.says == connected(0);
        // Received, then delivered or left waiting: the status line says which.
        EXPECT_TRUE(status_has(right ? "1 empfangen, 1 weitergegeben"
                                     : "1 empfangen, 0 weitergegeben, 0 verworfen, 0 verloren, 0 Ausgabefehler"))
            << status();
        // Refused: tried again at the slowest pace, not at once.
        if (!right) {
            EXPECT_EQ(r->out().find(c.says), r->out().rfind(c.says)) << r->out();
        }
        EXPECT_EQ(r->stop(), 0);
        EXPECT_FALSE(has(r->out(), "s3cret"));
    }
}

TEST_F(MqttTest, TlsChecksTheBrokersCertificateAndName) {
    // The name is looked up as a site's would be, from a hosts file of the test's own.
    if (!use_hosts_file(dir, "127.0.0.1 localhost broker.test\n")) GTEST_SKIP() << "no private mount namespace here";
    ASSERT_TRUE(make_certificates(dir, "broker", "DNS:broker.test"));
    ASSERT_TRUE(make_certificates(dir, "other", "DNS:broker.test"));
    Broker broker(dir, 8883,
                  {"cafile " + (dir / "broker-ca.crt"), "certfile " + (dir / "broker.crt"),
                   "keyfile " + (dir / "broker.key")});
    ASSERT_TRUE(broker.start()) << broker.log();
    struct Case {
        std::string ca;
        std::string host;
        bool connects;
    } cases[] = {
        {"broker-ca.crt", "broker.test", true},
        {"other-ca.crt", "broker.test", false},  // signed by another CA
        {"broker-ca.crt", "127.0.0.1", false},   // the certificate names another host
        {"", "broker.test", false},              // the system's store does not know the test's CA
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(dir / "credentials");
        std::filesystem::create_directory(dir / "credentials");
        if (!c.ca.empty()) std::filesystem::copy_file(dir / c.ca, dir / "credentials/mqtt-ca");
        auto r = start_mqtt({"-M" + c.host}, {"CREDENTIALS_DIRECTORY=" + (dir / "credentials")});
        std::string says = c.connects ? "> MQTT " + c.host + ":8883 verbunden, 0 Datensaetze warten\n"
                                      : "Fehler: MQTT " + c.host + ":8883 nicht erreichbar (";
        EXPECT_TRUE(eventually([&] { return has(r->out(), says); })) << c.ca << " " << c.host << ": " << r->out();
        EXPECT_EQ(has(r->out(), "verbunden"), c.connects) << r->out();
        EXPECT_EQ(r->stop(), 0);
    }
}

// The status line follows its schedule: once the broker has every record,
// the line says so within a second, however the broker's acknowledgements fell.
TEST_F(MqttTest, StatusLineAtMostASecondOld) {
    Broker broker(dir);
    ASSERT_TRUE(broker.start()) << broker.log();
    {
        // A session that outlives the outage: qlfwd may connect before the subscriber does.
        Subscriber first(dir, {"qlfwd/+"}, 1883, true);
        ASSERT_TRUE(first.ready());
    }
    broker.stop();
    auto r = start_mqtt({"-m"});
    constexpr int count = 500;
    std::string qlsend = QLSEND_BINARY;
    ASSERT_EQ(std::system((qlsend + " -q -c 20 -s 127.0.0.10 -i -n " + std::to_string(count) + " -t reading,number, >/dev/null").c_str()),
              0);
    ASSERT_TRUE(status_has(std::to_string(count) + " in Warteschlange")) << status();
    ASSERT_TRUE(broker.start()) << broker.log();
    Subscriber sub(dir, {"qlfwd/+"}, 1883, true);
    ASSERT_TRUE(sub.wait_lines(count, 20000ms)) << sub.lines().size() << r->out();
    auto all_there = std::chrono::steady_clock::now();
    ASSERT_TRUE(status_has(std::to_string(count) + " weitergegeben, 0 verworfen, 0 verloren, 0 Ausgabefehler, 0 in Warteschlange", 3000ms))
        << status();
    auto said = std::chrono::steady_clock::now();
    EXPECT_LE(said - all_there, 1100ms) << "the line lagged";
    EXPECT_EQ(r->stop(), 0);
}

TEST_F(MqttTest, TheWillSaysOfflineWhenQlfwdIsKilled) {
    Broker broker(dir);
    ASSERT_TRUE(broker.start()) << broker.log();
    Subscriber sub(dir, {"qlfwd/status"});
    ASSERT_TRUE(sub.ready());
    auto r = start_mqtt({"-m"});
    ASSERT_TRUE(sub.wait_lines(1));
    r->signal(SIGKILL);
    ASSERT_TRUE(sub.wait_lines(2));
    EXPECT_EQ(sub.lines(), (std::vector<std::string>{"qlfwd/status online", "qlfwd/status offline"}));
}

}  // namespace

namespace {

// Refused before the socket opens, with exit status 1; a mistake is noted.
TEST_F(ReceiverTestBase, BrokerAddressesRefusedOrNoted) {
    std::string long_address = std::string(101, 'h');
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{"-m" + long_address}, 1, "qlfwd: Adresse in -m" + long_address + " ist laenger als 100 Zeichen\n"},
        {{"-M-broker"}, 1, "qlfwd: Adresse in -M-broker darf nicht mit \"-\" beginnen\n"},
        {{"-mbroker:0"}, 1, "qlfwd: Adresse in -mbroker:0 ist nicht [BENUTZER@]RECHNER[:PORT]\n"},
        {{"-H", "-t127.0.0.1"}, 0, "qlfwd: Hinweis: -H wirkt nur zusammen mit -m oder -M und bleibt hier ohne Wirkung\n"},
        {{"-m", "192.168.1.5"}, 0,
         "qlfwd: Hinweis: \"192.168.1.5\" nach -m wird nicht als Adresse genommen; die Adresse gehoert ohne "
         "Leerzeichen an die Option: -m192.168.1.5\n"},
    };
    for (const Case& c : cases) {
        Options options;
        options.args = c.args;
        options.args.push_back(dir.prefix());
        Receiver r(dir, options);
        if (c.status == 0) {
            ASSERT_TRUE(r.wait_bound()) << r.err();
            EXPECT_EQ(r.stop(), 0);
        } else {
            EXPECT_EQ(r.wait_exit(), c.status);
            EXPECT_FALSE(file_exists(queue_path(dir)));
        }
        EXPECT_EQ(r.err(), c.err) << c.args[0];
    }
    // A CA certificate that is there but cannot be read: no TLS without it.
    std::filesystem::create_directory(dir / "credentials");
    std::ofstream(dir / "credentials/mqtt-ca") << "not readable\n";
    chmod((dir / "credentials/mqtt-ca").c_str(), 0);
    ASSERT_EQ(chown(dir.path().c_str(), unprivileged_user, unprivileged_user), 0);
    Options options;
    options.args = {"-M", dir.prefix()};
    options.env = {"CREDENTIALS_DIRECTORY=" + (dir / "credentials")};
    options.user = unprivileged_user;
    Receiver r(dir, options);
    EXPECT_EQ(r.wait_exit(), 1);
    EXPECT_EQ(r.err(), "qlfwd: CA-Zertifikat " + (dir / "credentials/mqtt-ca") +
                           " kann nicht gelesen werden: Permission denied\n");
}

}  // namespace
