// qlsend: sends datagrams the way the devices do to a receiver's UDP port
// 60096, to check an installation, for the tests and for the benchmark.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "common/settings.hpp"
#include "sender/datagram.hpp"

namespace {

const char usage[] =
    "usage: qlsend [-s SOURCE] [-c SOURCES] [-H HOST] [-n COUNT] [-r RATE] [-i] [-q]\n"
    "              [-l LABEL [-w]] (-t TEXT | -f FILE)\n"
    "Sends a datagram to HOST's UDP port 60096 (default 127.0.0.1).\n"
    "  -t TEXT     the datagram's text\n"
    "  -f FILE     the datagram's bytes from FILE (- for standard input), as they are\n"
    "  -l LABEL    a long datagram: LABEL (up to 8 characters) at offset 7, the text,\n"
    "              blanks up to 156 bytes, then its checksum\n"
    "  -w          with -l: a wrong checksum, which the receiver must reject\n"
    "  -s SOURCE   the IPv4 source address to bind, such as 127.0.0.42\n"
    "  -c SOURCES  send from SOURCES addresses in turn, SOURCE's last octet counting up\n"
    "  -n COUNT    how many datagrams (default 1)\n"
    "  -r RATE     datagrams per second (default 0: as fast as possible)\n"
    "  -i          number the datagrams: each text ends in its number, from 1, as 8 digits\n"
    "  -q          print only the summary line\n";

[[noreturn]] void fail(const std::string& message, int status = 2) {
    std::fprintf(stderr, "qlsend: %s\n", message.c_str());
    std::exit(status);
}

long number(const char* text, const char* option) {
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 0) fail(std::string("bad number for ") + option);
    return value;
}

std::string shown(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c >= 0x20 && c < 0x7F) out += static_cast<char>(c);
        else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

timespec plus_seconds(timespec t, double seconds) {
    t.tv_sec += static_cast<time_t>(seconds);
    t.tv_nsec += static_cast<long>((seconds - static_cast<long>(seconds)) * 1e9);
    if (t.tv_nsec >= 1000000000) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000;
    }
    return t;
}

double seconds_since(const timespec& start) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) + (now.tv_nsec - start.tv_nsec) / 1e9;
}

struct Plan {
    std::string bytes;  // the datagram, or with numbered the first one
    std::string text, label;
    bool is_long = false, wrong = false, numbered = false;
    std::string source;
    long sources = 1;
    std::string host = "127.0.0.1";
    long count = 1;
    long rate = 0;
    bool quiet = false;
};

// The datagram with this number (numbers count only with -i).
std::string datagram(const Plan& plan, long number) {
    std::string text = plan.text;
    if (plan.numbered) {
        char digits[24];
        std::snprintf(digits, sizeof digits, "%08ld", number);
        text += digits;
    }
    return plan.is_long ? ql::long_datagram(plan.label, text, plan.wrong) : text;
}

Plan parse(int argc, char** argv) {
    Plan plan;
    std::string file;
    bool have_text = false, have_file = false;
    int opt;
    while ((opt = getopt(argc, argv, "t:f:l:ws:c:H:n:r:iqh")) != -1) {
        switch (opt) {
            case 't': plan.text = optarg; have_text = true; break;
            case 'f': file = optarg; have_file = true; break;
            case 'l': plan.label = optarg; plan.is_long = true; break;
            case 'w': plan.wrong = true; break;
            case 'i': plan.numbered = true; break;
            case 's': plan.source = optarg; break;
            case 'c': plan.sources = number(optarg, "-c"); break;
            case 'H': plan.host = optarg; break;
            case 'n': plan.count = number(optarg, "-n"); break;
            case 'r': plan.rate = number(optarg, "-r"); break;
            case 'q': plan.quiet = true; break;
            case 'h': std::fputs(usage, stdout); std::exit(0);
            default: std::fputs(usage, stderr); std::exit(2);
        }
    }
    if (optind != argc || have_text == have_file) {
        std::fputs(usage, stderr);
        std::exit(2);
    }
    if (have_file) {
        std::ifstream in;
        if (file != "-") {
            in.open(file, std::ios::binary);
            if (!in) fail("cannot read " + file);
        }
        std::istream& from = file == "-" ? std::cin : in;
        plan.text.assign(std::istreambuf_iterator<char>(from), std::istreambuf_iterator<char>());
    }
    if (plan.wrong && !plan.is_long) fail("-w goes with -l");
    if (plan.sources < 1 || plan.sources > 255) fail("-c takes 1 to 255");
    if (plan.numbered && plan.count > 99999999) fail("-i numbers up to 99999999 datagrams");
    if (plan.is_long && !plan.wrong) {
        // The largest number has the largest sum: if that fits, every one fits.
        std::int32_t sum = ql::long_datagram_sum(plan.label, plan.numbered ? plan.text + "99999999" : plan.text);
        if (!ql::checksum_acceptable(sum))
            fail("the characters sum to " + std::to_string(sum) +
                     ", which four hexadecimal digits cannot state: no receiver accepts this datagram "
                     "(shorten the text, or give -w to send a wrong checksum on purpose)",
                 1);
    }
    plan.bytes = datagram(plan, 1);
    if (plan.is_long && plan.bytes.empty()) fail("label longer than 8 characters, or text too long for 1500 bytes");
    return plan;
}

sockaddr_in ipv4(const std::string& dotted, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (inet_pton(AF_INET, dotted.c_str(), &a.sin_addr) != 1) fail("not an IPv4 address: " + dotted);
    return a;
}

std::vector<int> open_sockets(const Plan& plan) {
    std::vector<int> sockets;
    std::uint32_t first = 0;
    if (!plan.source.empty()) first = ntohl(ipv4(plan.source, 0).sin_addr.s_addr);
    for (long i = 0; i < plan.sources; ++i) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) fail(std::string("socket: ") + std::strerror(errno));
        if (!plan.source.empty()) {
            sockaddr_in from{};
            from.sin_family = AF_INET;
            from.sin_addr.s_addr = htonl(first + static_cast<std::uint32_t>(i));
            if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
                char dotted[INET_ADDRSTRLEN];
                inet_ntop(AF_INET, &from.sin_addr, dotted, sizeof dotted);
                fail(std::string("cannot bind ") + dotted + ": " + std::strerror(errno));
            }
        }
        sockets.push_back(fd);
    }
    return sockets;
}

}  // namespace

int main(int argc, char** argv) {
    Plan plan = parse(argc, argv);
    sockaddr_in to = ipv4(plan.host, ql::Porto);
    std::vector<int> sockets = open_sockets(plan);

    // One batch of identical messages per call where a single source sends.
    constexpr long batch_max = 256;
    iovec iov{const_cast<char*>(plan.bytes.data()), plan.bytes.size()};
    std::vector<mmsghdr> batch(batch_max);
    for (auto& m : batch) {
        m.msg_hdr = {};
        m.msg_hdr.msg_name = &to;
        m.msg_hdr.msg_namelen = sizeof to;
        m.msg_hdr.msg_iov = &iov;
        m.msg_hdr.msg_iovlen = 1;
    }

    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    long sent = 0, failed = 0, next_socket = 0;
    while (sent + failed < plan.count) {
        long due = plan.count;
        if (plan.rate > 0) {
            double elapsed = seconds_since(start);
            due = std::min(plan.count, static_cast<long>(elapsed * plan.rate) + 1);
            // Behind by more than 10 ms (the sender was not scheduled): go on from
            // now rather than catch up in one burst that no receive queue holds.
            long behind = due - sent - failed;
            if (behind > plan.rate / 100 + 1) {
                start = plus_seconds(start, static_cast<double>(behind - 1) / plan.rate);
                due = sent + failed + 1;
            }
            if (due <= sent + failed) {
                timespec wake = plus_seconds(start, static_cast<double>(sent + failed) / plan.rate);
                clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
                continue;
            }
        }
        long want = due - sent - failed;
        if (sockets.size() == 1 && !plan.numbered) {
            int n = sendmmsg(sockets[0], batch.data(), static_cast<unsigned>(std::min(want, batch_max)), 0);
            if (n > 0) sent += n;
            else if (errno != EINTR) ++failed;
        } else {
            // One at a time: the sources take turns, or every datagram has its own number.
            std::string numbered = plan.numbered ? datagram(plan, sent + failed + 1) : std::string();
            const std::string& bytes = plan.numbered ? numbered : plan.bytes;
            int fd = sockets[static_cast<std::size_t>(next_socket++) % sockets.size()];
            if (sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) >= 0)
                ++sent;
            else
                ++failed;
        }
    }
    double took = seconds_since(start);

    if (!plan.quiet) {
        std::printf("datagram: %s\n", shown(plan.bytes).c_str());
        if (const char* why = ql::dropped_because(plan.bytes))
            std::fprintf(stderr, "qlsend: note: a receiver drops this datagram: %s\n", why);
    }
    std::printf("sent %ld datagram%s of %zu bytes from %s%s to %s:%u in %.3f s", sent, sent == 1 ? "" : "s",
                plan.bytes.size(), plan.source.empty() ? "any address" : plan.source.c_str(),
                plan.sources > 1 ? (" and the " + std::to_string(plan.sources - 1) + " after it").c_str() : "",
                plan.host.c_str(), ql::Porto, took);
    if (failed > 0) std::printf(", %ld failed", failed);
    std::printf("\n");
    return failed > 0 ? 1 : 0;
}
