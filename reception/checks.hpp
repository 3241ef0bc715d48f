// The checks of one received datagram (size, acknowledgement, checksum of long
// datagrams). Pure: they read the bytes and never write them.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/datagram.hpp"

namespace ql {

constexpr std::size_t short_min = 14;   // fewer bytes: too short
constexpr std::size_t long_min = 160;   // this many or more: label and checksum

enum class Verdict {
    empty,           // n == 0, dropped silently
    too_short,       // 1 to 13 bytes
    acknowledgement, // "qL=" at offset 12
    valid,
    bad_checksum,    // long datagram, no output
};

struct Checked {
    Verdict verdict;
    bool is_long;
    std::size_t full_len;  // text length, up to the first zero byte, checksum included
    std::size_t text_len;  // what the record carries: full_len less the checksum of a long datagram
    char got[5];           // bad_checksum: the checksum characters received
    char want[9];          // bad_checksum: the computed digits
};

// Sum of the characters as signed 8-bit values.
std::int32_t char_sum(const char* text, std::size_t len);

// The "%04X" digits of a total (eight for a negative one, two's complement).
void checksum_digits(std::int32_t total, char out[9]);

// True when the four characters are exactly the total's "%04X" digits.
bool checksum_matches(std::int32_t total, const char four[4]);

// bytes holds n received bytes (n <= datagram_max) followed by a zero byte.
Checked check_datagram(const char* bytes, std::size_t n);

}  // namespace ql
