#include "delivery/mqtt_entry.hpp"

#include <array>
#include <cstring>

namespace ql {

namespace {

constexpr char tag[] = "M1 ";
constexpr char hex[] = "0123456789abcdef";

char* put_number(char* out, unsigned long long v) {
    char digits[24];
    int n = 0;
    do digits[n++] = static_cast<char>('0' + v % 10);
    while ((v /= 10) != 0);
    while (n > 0) *out++ = digits[--n];
    return out;
}

// A decimal number up to the next blank; at moves past the blank.
bool take_number(const char* p, std::size_t len, std::size_t& at, unsigned long long& v) {
    std::size_t start = at;
    v = 0;
    while (at < len && p[at] >= '0' && p[at] <= '9' && at - start < 19) v = v * 10 + static_cast<unsigned>(p[at++] - '0');
    if (at == start || at >= len || p[at] != ' ') return false;
    ++at;
    return true;
}

// Tables, not comparisons: every record is decoded once as it is sent.
constexpr std::array<signed char, 256> hex_values = [] {
    std::array<signed char, 256> t{};
    t.fill(-1);
    for (int i = 0; i < 16; ++i) t[static_cast<unsigned char>(hex[i])] = static_cast<signed char>(i);
    return t;
}();

constexpr std::array<bool, 256> topic_bytes = [] {
    std::array<bool, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    return t;
}();

bool valid_topic(const char* t, std::size_t len) {
    if (len <= sizeof topic_root - 1 || len > topic_max || std::memcmp(t, topic_root, sizeof topic_root - 1) != 0)
        return false;
    bool valid = true;
    for (std::size_t i = sizeof topic_root - 1; i < len; ++i) valid &= topic_bytes[static_cast<unsigned char>(t[i])];
    return valid;
}

// From a JSON string's opening quote, the index of its closing one (len when none).
std::size_t string_end(const char* p, std::size_t len, std::size_t open) {
    for (std::size_t i = open + 1; i < len; ++i) {
        if (p[i] == '\\')
            ++i;
        else if (p[i] == '"')
            return i;
    }
    return len;
}

bool starts(const char* p, std::size_t len, std::size_t at, const char* word) {
    std::size_t n = std::strlen(word);
    return at <= len && len - at >= n && std::memcmp(p + at, word, n) == 0;
}

// A field as JSON text: a number has no escapes, and blanks stand as they are.
bool json_field_is_text(const char* p, std::size_t len) {
    std::size_t from = 0, to = len;
    while (from < to && p[from] == ' ') ++from;
    while (to > from && p[to - 1] == ' ') --to;
    if (from == to) return false;
    std::size_t i = from;
    if (p[i] == '-') ++i;
    std::size_t digits = i;
    while (i < to && p[i] >= '0' && p[i] <= '9') ++i;
    if (i == digits) return true;
    if (i < to && p[i] == '.') {
        std::size_t decimals = ++i;
        while (i < to && p[i] >= '0' && p[i] <= '9') ++i;
        if (i == decimals) return true;
    }
    return i != to;
}

// "qlfwd/<topic>" LF {"time":"…","device":"…","fields":["…",…],"record":"…"}
bool decode_first_release(const char* text, std::size_t len, MqttMessage& m) {
    const char* lf = static_cast<const char*>(std::memchr(text, '\n', len));
    if (lf == nullptr || !valid_topic(text, static_cast<std::size_t>(lf - text))) return false;
    m.topic = text;
    m.topic_len = static_cast<std::size_t>(lf - text);
    m.device_topic = text + sizeof topic_root - 1;
    m.device_topic_len = m.topic_len - (sizeof topic_root - 1);
    m.payload = lf + 1;
    m.payload_len = len - m.topic_len - 1;
    const char* p = m.payload;
    std::size_t n = m.payload_len;
    if (!starts(p, n, 0, "{\"time\":\"")) return false;
    std::size_t at = string_end(p, n, 8) + 1;
    if (!starts(p, n, at, ",\"device\":\"")) return false;
    std::size_t open = at + 10;
    std::size_t close = string_end(p, n, open);
    if (close >= n || close - open - 1 > device_json_max) return false;
    m.device_json = p + open + 1;
    m.device_json_len = close - open - 1;
    at = close + 1;
    if (!starts(p, n, at, ",\"fields\":[")) return false;
    at += 11;
    m.fields = 0;
    m.texts = FieldSet{};
    while (at < n && p[at] == '"') {
        std::size_t end = string_end(p, n, at);
        if (end >= n) return false;
        if (m.fields < discovery_fields_max && json_field_is_text(p + at + 1, end - at - 1)) m.texts.add(m.fields);
        ++m.fields;
        at = end + 1;
        if (at < n && p[at] == ',') ++at;
    }
    if (!starts(p, n, at, "],\"record\":\"")) return false;
    m.arrived = 0;
    // Its topic was the cleaned name, which other names may share.
    m.own_topic = m.device_json_len == m.device_topic_len &&
                  std::memcmp(m.device_json, m.device_topic, m.device_topic_len) == 0;
    return true;
}

}  // namespace

// Every record is encoded once, as it is queued: the head is put together
// in place, the rest copied in one piece each.
void encode_mqtt_entry(std::string& out, const MqttMessage& m) {
    char head[sizeof tag + 2 * 20 + 2 + 32 + 1];
    char* p = head;
    std::memcpy(p, tag, sizeof tag - 1);
    p = put_number(p + sizeof tag - 1, static_cast<unsigned long long>(m.arrived < 0 ? 0 : m.arrived));
    *p++ = ' ';
    p = put_number(p, m.fields);
    *p++ = ' ';
    for (int word = 1; word >= 0; --word)
        for (int shift = 60; shift >= 0; shift -= 4) *p++ = hex[m.texts.bits[word] >> shift & 15];
    *p++ = ' ';
    std::size_t head_len = static_cast<std::size_t>(p - head);
    out.resize(head_len + m.topic_len + 1 + m.device_json_len + 1 + m.payload_len);
    char* o = out.data();
    auto put = [&o](const char* from, std::size_t n) {
        std::memcpy(o, from, n);
        o += n;
    };
    put(head, head_len);
    put(m.topic, m.topic_len);
    *o++ = ' ';
    put(m.device_json, m.device_json_len);
    *o++ = '\n';
    put(m.payload, m.payload_len);
}

bool decode_mqtt_entry(const char* text, std::size_t len, MqttMessage& m) {
    m = MqttMessage{};
    if (!starts(text, len, 0, tag)) return decode_first_release(text, len, m);
    std::size_t at = sizeof tag - 1;
    unsigned long long arrived = 0, fields = 0;
    if (!take_number(text, len, at, arrived) || !take_number(text, len, at, fields) || fields > 100000) return false;
    if (len - at < 33 || text[at + 32] != ' ') return false;
    int bad = 0;
    for (int word = 1; word >= 0; --word) {
        std::uint64_t bits = 0;
        for (int i = 0; i < 16; ++i) {
            int v = hex_values[static_cast<unsigned char>(text[at++])];
            bad |= v;
            bits = bits << 4 | static_cast<unsigned>(v & 15);
        }
        m.texts.bits[word] = bits;
    }
    if (bad < 0) return false;
    ++at;
    const char* blank = static_cast<const char*>(std::memchr(text + at, ' ', len - at));
    const char* lf = static_cast<const char*>(std::memchr(text + at, '\n', len - at));
    if (blank == nullptr || lf == nullptr || blank > lf) return false;
    m.topic = text + at;
    m.topic_len = static_cast<std::size_t>(blank - m.topic);
    if (!valid_topic(m.topic, m.topic_len)) return false;
    m.device_topic = m.topic + sizeof topic_root - 1;
    m.device_topic_len = m.topic_len - (sizeof topic_root - 1);
    m.device_json = blank + 1;
    m.device_json_len = static_cast<std::size_t>(lf - m.device_json);
    if (m.device_json_len > device_json_max) return false;
    m.payload = lf + 1;
    m.payload_len = len - static_cast<std::size_t>(m.payload - text);
    m.arrived = static_cast<std::time_t>(arrived);
    m.fields = static_cast<unsigned>(fields);
    m.own_topic = true;
    return true;
}

}  // namespace ql
