// One entry of the delivery queue's file: a 12-byte header, then one command
// text. The header begins with a zero byte, which no command text holds (a
// datagram's text ends at its first zero byte), so no text can pass for an
// entry when the file is searched after damage. Pure.
//
//   0      1-2   3      4-7                8-11                     12...
//   0x00   "Ql"  state  text length (LE)   CRC-32 of bytes 4-7      text
//                'P' pending, 'D' done     and of the text
#pragma once
#include <cstddef>
#include <cstdint>

namespace ql {

constexpr std::size_t entry_header_size = 12;
// A command text of a 1500-byte datagram is at most about 51 KiB (mode 1,
// a field per byte); the limit leaves room and bounds the one read buffer.
constexpr std::size_t entry_text_max = 64 * 1024;
constexpr std::size_t entry_state_at = 3;
constexpr char entry_pending = 'P';
constexpr char entry_done = 'D';

std::uint32_t crc32(std::uint32_t crc, const void* bytes, std::size_t len);

// The header of a pending entry for this text (len <= entry_text_max).
void entry_header(char out[entry_header_size], const char* text, std::size_t len);

// The text length a header gives, when its mark is right and the length within bounds.
bool entry_length(const char header[entry_header_size], std::size_t& len);

enum class EntryCheck {
    pending,   // whole and right, still to be delivered
    done,      // whole and right, delivered or given up
    cut,       // fewer bytes than the entry needs (the file ends inside it)
    damaged,   // not an entry: wrong mark, state or length, or a CRC that does not match
};

// Looks at the bytes from an entry's start (avail of them); on pending or done,
// len is its text's length.
EntryCheck check_entry(const char* bytes, std::size_t avail, std::size_t& len);

// Where the next entry may begin at or after from: the next zero byte
// followed by "Ql"; avail when there is none (the last two bytes may be the
// start of one).
std::size_t next_entry_mark(const char* bytes, std::size_t avail, std::size_t from);

}  // namespace ql
