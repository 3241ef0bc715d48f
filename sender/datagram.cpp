#include "sender/datagram.hpp"

#include "reception/checks.hpp"

namespace ql {

// Everything before the checksum; empty when it cannot be built.
static std::string long_body(const std::string& label, const std::string& text) {
    if (label.size() > 8) return {};
    std::string d = sender_header;
    d.append(8 - label.size(), '_');
    d += label;
    d += text;
    if (d.size() < long_min - 4) d.append(long_min - 4 - d.size(), ' ');
    if (d.size() + 4 > datagram_max) return {};
    return d;
}

std::string checksum_of(const std::string& text) {
    char digits[9];
    checksum_digits(char_sum(text.data(), text.size()), digits);
    return digits;
}

std::int32_t long_datagram_sum(const std::string& label, const std::string& text) {
    std::string d = long_body(label, text);
    return char_sum(d.data(), d.size());
}

bool checksum_acceptable(std::int32_t sum) { return sum >= 0 && sum <= 0xFFFF; }

std::string long_datagram(const std::string& label, const std::string& text, bool wrong_checksum) {
    std::string d = long_body(label, text);
    if (d.empty()) return {};
    std::int32_t total = char_sum(d.data(), d.size()) + (wrong_checksum ? 1 : 0);
    char digits[9];
    checksum_digits(total, digits);
    return d + digits;
}

const char* dropped_because(const std::string& bytes) {
    switch (check_datagram(bytes.c_str(), bytes.size()).verdict) {
        case Verdict::empty: return "empty";
        case Verdict::too_short: return "fewer than 14 bytes";
        case Verdict::acknowledgement: return "\"qL=\" at offset 12 marks an acknowledgement";
        default: return nullptr;
    }
}

}  // namespace ql
