#include "reception/checks.hpp"

#include <cstdio>
#include <cstring>

namespace ql {

std::int32_t char_sum(const char* text, std::size_t len) {
    std::int32_t total = 0;
    for (std::size_t i = 0; i < len; ++i) total += static_cast<std::int8_t>(text[i]);
    return total;
}

void checksum_digits(std::int32_t total, char out[9]) {
    std::snprintf(out, 9, "%04X", static_cast<unsigned>(total));
}

bool checksum_matches(std::int32_t total, const char four[4]) {
    // Five or more digits, or a negative total, can never equal four characters.
    if (total < 0 || total > 0xFFFF) return false;
    static constexpr char hex[] = "0123456789ABCDEF";
    for (int i = 0; i < 4; ++i) {
        if (four[i] != hex[(total >> (12 - 4 * i)) & 0xF]) return false;
    }
    return true;
}

Checked check_datagram(const char* bytes, std::size_t n) {
    Checked c{};
    if (n == 0) { c.verdict = Verdict::empty; return c; }
    if (n < short_min) { c.verdict = Verdict::too_short; return c; }
    if (std::memcmp(bytes + 12, "qL=", 3) == 0) { c.verdict = Verdict::acknowledgement; return c; }

    c.full_len = strnlen(bytes, n);
    c.text_len = c.full_len;
    c.is_long = n >= long_min;
    c.verdict = Verdict::valid;
    if (!c.is_long) return c;

    if (c.full_len < 4) {
        // A text cut short by a zero byte carries no checksum to compare.
        c.verdict = Verdict::bad_checksum;
        std::memcpy(c.got, bytes, c.full_len);
        c.text_len = 0;
        return c;
    }
    c.text_len = c.full_len - 4;
    std::int32_t total = char_sum(bytes, c.text_len);
    if (!checksum_matches(total, bytes + c.text_len)) {
        c.verdict = Verdict::bad_checksum;
        std::memcpy(c.got, bytes + c.text_len, 4);
        checksum_digits(total, c.want);
    }
    return c;
}

}  // namespace ql
