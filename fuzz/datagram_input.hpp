// A fuzz input as a received datagram: the first byte picks the sender's
// octet (and whatever else a target wants of it), the rest are the datagram's
// bytes, cut at the receive buffer's limit.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/datagram.hpp"

namespace fuzz {

// Exactly as large as the receive buffer's used part and its zero byte, so
// that any read past the text is caught; free it with std::free.
inline char* datagram_bytes(const std::uint8_t* data, std::size_t size, std::size_t& n) {
    n = size - 1 > ql::datagram_max ? ql::datagram_max : size - 1;
    char* bytes = static_cast<char*>(std::malloc(n + 1));
    std::memcpy(bytes, data + 1, n);
    bytes[n] = '\0';
    return bytes;
}

}  // namespace fuzz
