#include "sender/datagram.hpp"

#include "reception/checks.hpp"

namespace ql {

std::string checksum_of(const std::string& text) {
    char digits[9];
    checksum_digits(char_sum(text.data(), text.size()), digits);
    return digits;
}

std::string long_datagram(const std::string& label, const std::string& text, bool wrong_checksum) {
    if (label.size() > 8) return {};
    std::string d = sender_header;
    d.append(8 - label.size(), '_');
    d += label;
    d += text;
    if (d.size() < long_min - 4) d.append(long_min - 4 - d.size(), ' ');
    if (d.size() + 4 > datagram_max) return {};
    std::int32_t total = char_sum(d.data(), d.size()) + (wrong_checksum ? 1 : 0);
    char digits[9];
    checksum_digits(total, digits);
    return d + digits;
}

}  // namespace ql
