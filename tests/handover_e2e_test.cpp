// The receiver on a socket handed over by a service manager: restarts lose
// nothing, a socket of the wrong kind is refused, the kernel's drops are
// reported exactly, and a burst fits the receive queue.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>

#include "common/settings.hpp"
#include "reception/drops.hpp"
#include "reception/udp_listing.hpp"
#include "tests/e2e_support.hpp"
#include "tests/pattern.hpp"

using namespace e2e;

namespace {

class HandoverTest : public OutputTestBase {
protected:
    void TearDown() override {
        if (endpoint >= 0) close(endpoint);
    }

    std::unique_ptr<Receiver> start_handed(std::vector<std::string> args, Options options = {}) {
        options.args = std::move(args);
        options.listen_fd = endpoint;
        return std::make_unique<Receiver>(dir, options);
    }

    // Runs qlsend with these arguments; its exit status.
    int qlsend(const std::string& args) {
        return system((std::string(QLSEND_BINARY) + " -q " + args + " >/dev/null").c_str());
    }

    int endpoint = -1;
};

// The numbers at the end of the lines of a record file, in order.
std::vector<long> numbers_in(const std::string& records) {
    std::vector<long> numbers;
    std::istringstream in(records);
    std::string line;
    while (std::getline(in, line)) numbers.push_back(std::stol(line.substr(line.size() - 8)));
    return numbers;
}

long lines_in(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

// The sum of the numbers in the lines "Fehler: <n> Pakete verloren, Empfangspuffer voll".
long reported_losses(const std::string& out) {
    static const Pattern line("Fehler: ([0-9]+) Pakete verloren, Empfangspuffer voll\n");
    long sum = 0;
    for (const std::vector<std::string>& m : line.all(out)) sum += std::stol(m[1]);
    return sum;
}

// What waits in the port's receive queue, as the kernel lists it.
unsigned long waiting_bytes() {
    ql::UdpLine line;
    return ql::find_udp_line(ql::udp_line_of_port, ql::Porto, line) ? line.rx_queue : 0;
}

}  // namespace

TEST_F(HandoverTest, TwoRestartsWhileSendingLoseNothing) {
    endpoint = bind_endpoint(8 << 20);
    ASSERT_GE(endpoint, 0);
    std::atomic<int> sender_status{-1};
    auto r = start_handed({"-d", "-a", dir / "out/"});
    // 3,000 numbered datagrams at 1,000/s; qlfwd is replaced twice meanwhile.
    std::thread sender([&] { sender_status = qlsend("-s 127.0.0.42 -n 3000 -r 1000 -i -t restart,number,"); });
    for (int restart = 0; restart < 2; ++restart) {
        ASSERT_TRUE(eventually([&] { return lines_in(read_file(dir / "out/Qln042.txt")) >= 900 * (restart + 1); }));
        EXPECT_EQ(r->stop(), 0) << "restart " << restart;
        // Nobody receives: the queue holds them.
        ASSERT_TRUE(eventually([&] { return waiting_bytes() > 0; }));
        r = start_handed({"-d", "-a", dir / "out/"});
    }
    sender.join();
    ASSERT_EQ(sender_status, 0);
    std::string path = dir / "out/Qln042.txt";
    ASSERT_TRUE(eventually([&] { return lines_in(read_file(path)) >= 3000; }, 15000ms)) << lines_in(read_file(path));
    EXPECT_EQ(r->stop(), 0);
    std::vector<long> numbers = numbers_in(read_file(path));
    ASSERT_EQ(numbers.size(), 3000u);
    for (long i = 0; i < 3000; ++i) ASSERT_EQ(numbers[i], i + 1) << "at line " << i;
    EXPECT_EQ(r->out(), "> Oeffne socket\n> beende programm\n> schliesse socket\n");
    EXPECT_EQ(ql::socket_drops(endpoint), 0u);
}

TEST_F(HandoverTest, SocketOfTheWrongKindIsRefused) {
    const std::string refused =
        "qlfwd: der uebergebene Socket (Deskriptor 3) ist kein IPv4-UDP-Socket an Port 60096\n";
    struct Case {
        const char* what;
        int family, type, port;
    } cases[] = {{"TCP", AF_INET, SOCK_STREAM, 60096},
                 {"UDP on another port", AF_INET, SOCK_DGRAM, 60097},
                 {"IPv6 UDP", AF_INET6, SOCK_DGRAM, 60096}};
    for (const Case& c : cases) {
        int fd = socket(c.family, c.type | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0) << c.what;
        sockaddr_storage address{};
        socklen_t len;
        if (c.family == AF_INET) {
            auto* a = reinterpret_cast<sockaddr_in*>(&address);
            a->sin_family = AF_INET;
            a->sin_port = htons(static_cast<std::uint16_t>(c.port));
            len = sizeof *a;
        } else {
            auto* a = reinterpret_cast<sockaddr_in6*>(&address);
            a->sin6_family = AF_INET6;
            a->sin6_port = htons(static_cast<std::uint16_t>(c.port));
            len = sizeof *a;
        }
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), len), 0) << c.what;
        endpoint = fd;
        auto r = start_handed({"-d", dir / "out/"});
        EXPECT_EQ(r->wait_exit(), 2) << c.what;
        EXPECT_EQ(r->err(), refused) << c.what;
        EXPECT_EQ(r->out(), "> Oeffne socket\nFehler: konnte Socket nicht oeffnen\n") << c.what;
        close(fd);
        endpoint = -1;
    }

    endpoint = bind_endpoint();
    Options two;
    two.listen_fds = "2";
    auto r = start_handed({dir / "out/"}, two);
    EXPECT_EQ(r->wait_exit(), 2);
    EXPECT_EQ(r->err(), "qlfwd: LISTEN_FDS nennt nicht genau einen Socket\n");
    EXPECT_EQ(r->out(), "");
}

// The variables are the receiver's alone, and the socket stays its own.
TEST_F(HandoverTest, NcAndTheShellSeeNeitherTheVariablesNorTheSocket) {
    endpoint = bind_endpoint();
    Options options = fake_nc_options(dir, "env > \"$d/nc-env\"\n");
    auto r = start_handed({"-t127.0.0.1", "-T", dir / "out/"}, options);  // -T: detection runs the shell
    send_from("127.0.0.42", "through the handed socket");
    ASSERT_TRUE(eventually([&] { return fake_nc_inputs(dir).size() == 1; }));
    EXPECT_EQ(r->stop(), 0);
    std::string env = read_file(dir / "nc-env");
    EXPECT_NE(env.find("PATH="), std::string::npos);
    EXPECT_EQ(env.find("LISTEN_"), std::string::npos) << env;
    EXPECT_EQ(read_file(dir / "nc-fds").find("socket:"), std::string::npos) << read_file(dir / "nc-fds");
}

// Counted from what the kernel attaches to a datagram, or, where it attaches
// nothing (qemu-user, or the shim refusing the option), from the listing.
TEST_F(HandoverTest, DropsAreReportedExactly) {
    for (bool attached : {true, false}) {
        SCOPED_TRACE(attached ? "count attached" : "count listed");
        std::filesystem::remove_all(dir / "out");
        std::filesystem::create_directory(dir / "out");
        if (endpoint >= 0) close(endpoint);
        endpoint = bind_endpoint();
        int small = 1;  // the kernel's minimum: a few datagrams
        ASSERT_EQ(setsockopt(endpoint, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
        Options options;
        if (!attached)
            options.env = {"LD_PRELOAD=" FAILING_WRITES_LIBRARY, "QLFWD_NO_DROP_COUNT=1", "ASAN_OPTIONS=verify_asan_link_order=0"};
        auto r = start_handed({"-d", "-a", dir / "out/"}, options);
        send_from("127.0.0.42", "before the stop, 0");
        ASSERT_TRUE(eventually([&] { return file_exists(dir / "out/Qln042.txt"); }));
        r->signal(SIGSTOP);
        ASSERT_EQ(qlsend("-s 127.0.0.42 -n 200 -i -t while,stopped,"), 0);
        r->signal(SIGCONT);
        // Once the queue is drained, one more datagram carries the final count.
        ASSERT_TRUE(eventually([&] { return lines_in(read_file(dir / "out/Qln042.txt")) > 1; }));
        ASSERT_TRUE(eventually([&] { return waiting_bytes() == 0; }));
        send_from("127.0.0.43", "after the drops, 1");
        ASSERT_TRUE(eventually([&] { return file_exists(dir / "out/Qln043.txt"); }));
        unsigned kernel = ql::socket_drops(endpoint);
        // Where the kernel attaches no count (qemu-user), it is read a little later.
        EXPECT_TRUE(eventually([&] { return reported_losses(r->out()) == static_cast<long>(kernel); })) << r->out();
        EXPECT_EQ(r->stop(), 0);

        long recorded = lines_in(read_file(dir / "out/Qln042.txt")) - 1;
        long reported = reported_losses(r->out());
        EXPECT_GT(kernel, 0u) << "the queue did not overflow";
        EXPECT_EQ(reported, static_cast<long>(kernel)) << r->out();
        EXPECT_EQ(recorded + reported, 200);
        // Each report comes before the datagram that carried it, and only then.
        EXPECT_TRUE(Pattern("> Oeffne socket\n"
                            "(Fehler: [0-9]+ Pakete verloren, Empfangspuffer voll\n)+"
                            "> beende programm\n> schliesse socket\n")
                        .matches(r->out()))
            << r->out();
    }
}

TEST_F(HandoverTest, BurstOfTenThousandFromTwoHundredFiftyDevicesAllRecorded) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for an 8 MiB receive queue (SO_RCVBUFFORCE)";
    auto r = start({"-d", "-a", dir / "out/"});
    ASSERT_EQ(qlsend("-s 127.0.1.1 -c 250 -n 10000 -i -t burst,of,many,"), 0);
    auto total = [&] {
        long lines = 0;
        for (auto& f : std::filesystem::directory_iterator(dir / "out")) lines += lines_in(read_file(f.path()));
        return lines;
    };
    ASSERT_TRUE(eventually([&] { return total() >= 10000; }, 30000ms)) << total() << "\n" << r->out();
    EXPECT_EQ(r->stop(), 0);
    EXPECT_EQ(total(), 10000);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "out"), {}), 250);
    EXPECT_EQ(r->out(), "> Oeffne socket\n> beende programm\n> schliesse socket\n");
}
