// The moment the kernel received a datagram (SO_TIMESTAMP), carried in the
// control data that recvmsg returns anyway: no system call per datagram.
#pragma once
#include <sys/socket.h>

#include <cstdint>
#include <ctime>

namespace ql {

// Room for the stamp's control message, in its 64-bit form (the larger).
constexpr std::size_t arrival_control_size = CMSG_SPACE(2 * sizeof(std::int64_t));

// Asks the kernel to stamp every datagram: the 64-bit form where it has it
// (32-bit hosts past 2038), else the native one. False when neither is granted.
bool enable_arrival_stamp(int fd);

// Pure: the arrival second in a received message's control data, if it carries one.
bool arrival_in(const msghdr& message, std::time_t& arrived);

}  // namespace ql
