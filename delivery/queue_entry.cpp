#include "delivery/queue_entry.hpp"

#include <cstring>

namespace ql {

static void put_le32(char* out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

static std::uint32_t get_le32(const char* in) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(in[i]);
    return v;
}

static std::uint32_t entry_crc(const char* length_bytes, const char* text, std::size_t len) {
    return crc32(crc32(0, length_bytes, 4), text, len);
}

void entry_header(char out[entry_header_size], const char* text, std::size_t len) {
    out[0] = '\0';
    out[1] = 'Q';
    out[2] = 'l';
    out[entry_state_at] = entry_pending;
    put_le32(out + 4, static_cast<std::uint32_t>(len));
    put_le32(out + 8, entry_crc(out + 4, text, len));
}

bool entry_length(const char header[entry_header_size], std::size_t& len) {
    if (header[0] != '\0' || header[1] != 'Q' || header[2] != 'l') return false;
    len = get_le32(header + 4);
    return len <= entry_text_max;
}

EntryCheck check_entry(const char* bytes, std::size_t avail, std::size_t& len) {
    if (avail < entry_header_size) {
        // A header cut short still shows its mark, as far as it got.
        const char mark[3] = {'\0', 'Q', 'l'};
        return std::memcmp(bytes, mark, avail < 3 ? avail : 3) == 0 ? EntryCheck::cut : EntryCheck::damaged;
    }
    std::size_t n = 0;
    if (!entry_length(bytes, n)) return EntryCheck::damaged;
    char state = bytes[entry_state_at];
    if (state != entry_pending && state != entry_done) return EntryCheck::damaged;
    if (avail - entry_header_size < n) return EntryCheck::cut;
    const char* text = bytes + entry_header_size;
    if (entry_crc(bytes + 4, text, n) != get_le32(bytes + 8)) return EntryCheck::damaged;
    if (std::memchr(text, '\0', n) != nullptr) return EntryCheck::damaged;
    len = n;
    return state == entry_pending ? EntryCheck::pending : EntryCheck::done;
}

std::size_t next_entry_mark(const char* bytes, std::size_t avail, std::size_t from) {
    for (std::size_t i = from; i < avail; ++i) {
        if (bytes[i] != '\0') continue;
        if (i + 1 >= avail || (bytes[i + 1] == 'Q' && (i + 2 >= avail || bytes[i + 2] == 'l'))) return i;
    }
    return avail;
}

std::size_t queue_header(char out[queue_header_max], QueueKind kind) {
    static constexpr char start[] = "qlfwd queue ";
    std::size_t n = sizeof start - 1;
    std::memcpy(out, start, n);
    out[n++] = static_cast<char>(kind);
    out[n++] = ' ';
    out[n++] = static_cast<char>('0' + queue_version);
    out[n++] = '\n';
    return n;
}

HeaderCheck check_queue_header(const char* bytes, std::size_t avail, QueueKind kind, std::size_t& header_len,
                               unsigned& version) {
    version = 0;
    header_len = 0;
    // No header begins with a zero byte, an entry does: the first release's
    // entries, whose damage (a zeroed block after a power cut) is searched past.
    if (avail == 0 || bytes[0] == '\0') return HeaderCheck::none;
    char ours[queue_header_max];
    std::size_t ours_len = queue_header(ours, kind);
    if (avail >= ours_len && std::memcmp(bytes, ours, ours_len) == 0) {
        header_len = ours_len;
        return HeaderCheck::current;
    }
    if (avail < ours_len && std::memcmp(bytes, ours, avail) == 0) return HeaderCheck::cut;
    // "qlfwd queue <kind> <version>": what a later release says of itself.
    static constexpr char start[] = "qlfwd queue ";
    std::size_t at = sizeof start - 1;
    if (avail > at + 2 && std::memcmp(bytes, start, at) == 0 && bytes[at + 1] == ' ') {
        unsigned v = 0;
        std::size_t i = at + 2;
        for (; i < avail && i < at + 11 && bytes[i] >= '0' && bytes[i] <= '9'; ++i) v = v * 10 + (bytes[i] - '0');
        if (i < avail && bytes[i] == '\n' && i > at + 2) version = v;
    }
    return HeaderCheck::foreign;
}

}  // namespace ql
