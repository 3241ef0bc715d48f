// The fair floor for mode 3: one thread that receives the datagrams (port
// 60096, the kernel's arrival stamp), makes the same record and MQTT message
// as qlfwd, and publishes it with libmosquitto to 127.0.0.1:1883, QoS 1,
// retained, at most 20 in flight. No checks, no queue: with 20 in flight it
// reads no further datagram until one is acknowledged.
// Usage: floor_mqtt COUNT (ends when COUNT are acknowledged, or at SIGTERM).
#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "forwarding/mqtt_record.hpp"
#include "forwarding/record.hpp"

static volatile sig_atomic_t stop = 0;

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    long count = std::atol(argv[1]);
    struct sigaction action {};
    action.sa_handler = [](int) { stop = 1; };
    sigaction(SIGTERM, &action, nullptr);

    int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int queue = 8 << 20;  // as qlfwd asks, so that losses compare
    if (setsockopt(udp, SOL_SOCKET, SO_RCVBUFFORCE, &queue, sizeof queue) != 0)
        setsockopt(udp, SOL_SOCKET, SO_RCVBUF, &queue, sizeof queue);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(60096);
    if (bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 2;
    int one = 1;
    setsockopt(udp, SOL_SOCKET, SO_TIMESTAMP, &one, sizeof one);

    mosquitto_lib_init();
    long acked = 0, in_flight = 0;
    mosquitto* mosq = mosquitto_new("floor-mqtt", true, &acked);
    mosquitto_publish_callback_set(mosq, [](mosquitto*, void* obj, int) { ++*static_cast<long*>(obj); });
    if (mosquitto_connect(mosq, "127.0.0.1", 1883, 30) != MOSQ_ERR_SUCCESS) return 1;

    static char bytes[ql::datagram_max + 1];
    ql::RecordMaker maker;
    std::string buffer;
    buffer.reserve(16384);
    char topic[ql::topic_max + 1];
    while (!stop && acked < count) {
        long sent_before = acked;
        pollfd fds[2] = {{mosquitto_socket(mosq), static_cast<short>(POLLIN | (mosquitto_want_write(mosq) ? POLLOUT : 0)), 0},
                         {udp, POLLIN, 0}};
        int n = poll(fds, in_flight < 20 ? 2 : 1, 1000);
        if (n < 0) continue;
        if (fds[0].revents & POLLIN) mosquitto_loop_read(mosq, 1);
        in_flight -= acked - sent_before;
        if (in_flight < 20 && (fds[1].revents & POLLIN)) {
            sockaddr_in from{};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timeval))];
            iovec part{bytes, ql::datagram_max};
            msghdr message{};
            message.msg_name = &from;
            message.msg_namelen = sizeof from;
            message.msg_iov = &part;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            ssize_t got = recvmsg(udp, &message, 0);
            if (got > 0) {
                ql::Accepted datagram{ntohl(from.sin_addr.s_addr) & 0xFF, bytes, static_cast<std::size_t>(got), false, 0};
                cmsghdr* c = CMSG_FIRSTHDR(&message);
                if (c != nullptr && c->cmsg_type == SO_TIMESTAMP) {
                    timeval arrived;
                    std::memcpy(&arrived, CMSG_DATA(c), sizeof arrived);
                    datagram.arrived = arrived.tv_sec;
                }
                ql::MqttMessage m;
                ql::mqtt_message(buffer, m, maker.make(datagram, false));
                std::memcpy(topic, m.topic, m.topic_len);
                topic[m.topic_len] = '\0';
                if (mosquitto_publish(mosq, nullptr, topic, static_cast<int>(m.payload_len), m.payload, 1, true) ==
                    MOSQ_ERR_SUCCESS)
                    ++in_flight;
            }
        }
        if (mosquitto_want_write(mosq)) mosquitto_loop_write(mosq, 1);
        mosquitto_loop_misc(mosq);
    }
    mosquitto_disconnect(mosq);
    mosquitto_destroy(mosq);
    close(udp);
    return 0;
}
