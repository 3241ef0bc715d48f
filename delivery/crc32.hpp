// CRC-32 (IEEE 802.3, as zip and Ethernet sum), continued from an earlier
// value: crc32(crc32(0, a), b) sums a followed by b. Pure.
#pragma once
#include <cstddef>
#include <cstdint>

namespace ql {

std::uint32_t crc32(std::uint32_t crc, const void* bytes, std::size_t len);

// The same, eight bytes a step by tables, on any processor.
std::uint32_t crc32_tables(std::uint32_t crc, const void* bytes, std::size_t len);

}  // namespace ql
