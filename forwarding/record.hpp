// Device name, device label, time stamp and record line of an accepted datagram.
// Pure: each writes only into the buffer it is given.
#pragma once
#include <cstddef>
#include <ctime>

#include "common/datagram.hpp"

namespace ql {

constexpr std::size_t label_max = 8;
constexpr std::size_t device_name_max = 3 + 3 + label_max;  // "Qln" + octet + label
constexpr std::size_t stamp_len = 19;                        // YYYY.MM.DD_hh:mm:ss
constexpr std::size_t record_line_max = stamp_len + 10 + device_name_max + 1 + datagram_max + 1;

struct Label {
    const char* bytes;
    std::size_t len;
};

// Up to eight characters from offset 7 of a long datagram's text; empty for a short one.
Label device_label(const char* text, std::size_t text_len, bool is_long);

// "Qln%03d" of the octet, then the label as received. Returns the length.
std::size_t device_name(char out[device_name_max + 1], unsigned octet, Label label);

void time_stamp(char out[stamp_len + 1], const std::tm& local);

// Two decimal digits of value (its last two); returns the place after them.
char* two_digits(char* out, int value);

// stamp,Quenlink,name,text (and a line feed with append). Returns the length.
std::size_t record_line(char out[record_line_max + 1], const char* stamp, const char* name,
                        std::size_t name_len, const char* text, std::size_t text_len, bool append);

// An accepted datagram as forwarding hands it on, whatever the mode.
struct Record {
    char name[device_name_max + 1];
    std::size_t name_len;
    Label label;  // within the text
    std::time_t arrived;
    std::tm local;  // the arrival, local time
    const char* text;
    std::size_t text_len;
    char line[record_line_max + 1];
    std::size_t line_len;
};

// Makes records; the arrival is converted to local time once a second, not
// per datagram. The record stays valid until the next one is made.
class RecordMaker {
public:
    // line_feed: the record line ends in a line feed ("-a" in modes 0 to 2).
    const Record& make(const Accepted& datagram, bool line_feed);

private:
    Record record_{};
    std::time_t stamp_time_ = -1;
    char stamp_[stamp_len + 1] = {};
};

}  // namespace ql
