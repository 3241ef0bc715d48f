// The delivery queue's file: a header line naming what it holds and its
// format's version, then its entries. An entry is a 12-byte header, then one
// text. The header begins with a zero byte, which no command text holds (a
// datagram's text ends at its first zero byte), so no text can pass for an
// entry when the file is searched after damage. Pure.
//
//   0      1-2   3      4-7                8-11                     12...
//   0x00   "Ql"  state  text length (LE)   CRC-32 of bytes 4-7      text
//                'P' pending, 'D' done     and of the text
//
// The file's header is "qlfwd queue <kind> <version>" LF. Files of the first
// release have none: their entries begin at byte 0. An empty file has none
// either; it gets one with its first entry.
#pragma once
#include <cstddef>
#include <cstdint>

#include "delivery/crc32.hpp"

namespace ql {

// What a queue holds: command texts (modes 1 and 2), or MQTT records (mode 3).
enum class QueueKind : char { commands = 'C', records = 'M' };
constexpr unsigned queue_version = 1;
constexpr std::size_t queue_header_max = 32;

// This release's header for the kind. Returns its length.
std::size_t queue_header(char out[queue_header_max], QueueKind kind);

enum class HeaderCheck {
    none,     // no header: the first release's format, or an empty file
    current,  // this release's header; its length is given
    cut,      // the start of this release's header and nothing more: a file cut while it was made
    foreign,  // another kind, a newer or unknown version, or a damaged start: not to be touched
};

// Looks at a file's first bytes (avail of them, the whole file when it is
// shorter than queue_header_max). version is what a foreign header says (0
// where it says nothing readable).
HeaderCheck check_queue_header(const char* bytes, std::size_t avail, QueueKind kind, std::size_t& header_len,
                               unsigned& version);

constexpr std::size_t entry_header_size = 12;
// A command text of a 1500-byte datagram is at most about 51 KiB (mode 1,
// a field per byte); the limit leaves room and bounds the one read buffer.
constexpr std::size_t entry_text_max = 64 * 1024;
constexpr std::size_t entry_state_at = 3;
constexpr char entry_pending = 'P';
constexpr char entry_done = 'D';

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
