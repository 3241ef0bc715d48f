// Datagrams as the devices send them, for qlsend, the tests and the benchmark.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace ql {

constexpr char sender_header[] = "QLSEND ";  // offsets 0 to 6

// A long datagram: the header, the label (padded on the left with "_" to eight
// characters) at offset 7, the text, blanks up to 156 characters, and the
// checksum (one too high when wrong_checksum). Empty when the label is longer
// than eight characters or the datagram would exceed 1500 bytes.
std::string long_datagram(const std::string& label, const std::string& text, bool wrong_checksum = false);

// The character sum that long_datagram's checksum states for this label and text.
std::int32_t long_datagram_sum(const std::string& label, const std::string& text);

// A receiver accepts a checksum only for a sum of 0 to 0xFFFF (four digits).
bool checksum_acceptable(std::int32_t sum);

// The four (or more) checksum digits of a text.
std::string checksum_of(const std::string& text);

// Why a receiver would drop these bytes before its checksum test, or null:
// empty, fewer than 14 bytes, or "qL=" at offset 12.
const char* dropped_because(const std::string& bytes);

}  // namespace ql
