// A message header for recvmsg into one buffer, with room for control data.
#pragma once
#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>

inline msghdr message_into(iovec& part, char* control, std::size_t control_len) {
    msghdr m{};
    m.msg_iov = &part;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = control_len;
    return m;
}
