#include "forwarding/record.hpp"

#include <cstdio>
#include <cstring>

namespace ql {

Label device_label(const char* text, std::size_t text_len, bool is_long) {
    if (!is_long || text_len <= 7) return {text, 0};
    std::size_t len = text_len - 7;
    return {text + 7, len < label_max ? len : label_max};
}

std::size_t device_name(char out[device_name_max + 1], unsigned octet, Label label) {
    out[0] = 'Q';
    out[1] = 'l';
    out[2] = 'n';
    out[3] = static_cast<char>('0' + octet / 100 % 10);
    out[4] = static_cast<char>('0' + octet / 10 % 10);
    out[5] = static_cast<char>('0' + octet % 10);
    std::memcpy(out + 6, label.bytes, label.len);
    out[6 + label.len] = '\0';
    return 6 + label.len;
}

char* two_digits(char* out, int value) {
    out[0] = static_cast<char>('0' + value / 10 % 10);
    out[1] = static_cast<char>('0' + value % 10);
    return out + 2;
}

void time_stamp(char out[stamp_len + 1], const std::tm& local) {
    int year = local.tm_year + 1900;
    if (year < 0 || year > 9999) {  // never in practice; keeps the stamp 19 characters
        std::snprintf(out, stamp_len + 1, "0000.00.00_00:00:00");
        return;
    }
    char* p = two_digits(out, year / 100);
    p = two_digits(p, year % 100);
    *p++ = '.';
    p = two_digits(p, local.tm_mon + 1);
    *p++ = '.';
    p = two_digits(p, local.tm_mday);
    *p++ = '_';
    p = two_digits(p, local.tm_hour);
    *p++ = ':';
    p = two_digits(p, local.tm_min);
    *p++ = ':';
    p = two_digits(p, local.tm_sec);
    *p = '\0';
}

std::size_t record_line(char out[record_line_max + 1], const char* stamp, const char* name,
                        std::size_t name_len, const char* text, std::size_t text_len, bool append) {
    char* p = out;
    std::memcpy(p, stamp, stamp_len);
    p += stamp_len;
    std::memcpy(p, ",Quenlink,", 10);
    p += 10;
    std::memcpy(p, name, name_len);
    p += name_len;
    *p++ = ',';
    std::memcpy(p, text, text_len);
    p += text_len;
    if (append) *p++ = '\n';
    *p = '\0';
    return static_cast<std::size_t>(p - out);
}

const Record& RecordMaker::make(const Accepted& datagram, bool line_feed) {
    Record& r = record_;
    r.label = device_label(datagram.text, datagram.text_len, datagram.is_long);
    r.name_len = device_name(r.name, datagram.octet, r.label);
    if (datagram.arrived != stamp_time_) {
        localtime_r(&datagram.arrived, &r.local);
        time_stamp(stamp_, r.local);
        stamp_time_ = datagram.arrived;
    }
    r.arrived = datagram.arrived;
    r.text = datagram.text;
    r.text_len = datagram.text_len;
    r.line_len = record_line(r.line, stamp_, r.name, r.name_len, r.text, r.text_len, line_feed);
    return r;
}

}  // namespace ql
