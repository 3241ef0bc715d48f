// Any datagram that passes the checks gives a message whose payload is valid
// UTF-8 JSON: "device", every one of "fields" joined with "," and "record" are
// the name, the text and the record line read as Latin-1; the queue's entry
// of it, read back, agrees (topic, device, payload, each field's kind).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "delivery/mqtt_entry.hpp"
#include "forwarding/mqtt_record.hpp"
#include "forwarding/record.hpp"
#include "fuzz/datagram_input.hpp"
#include "fuzz/require.hpp"
#include "reception/checks.hpp"

using namespace ql;

using fuzz::require;

namespace {

std::string latin1(const char* bytes, std::size_t len) {
    std::string out;
    for (std::size_t i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

bool valid_utf8(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t more = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 9;
        if (more == 9 || (more == 1 && c < 0xC2) || i + more >= s.size() + (more == 0 ? 1 : 0)) return false;
        for (std::size_t k = 1; k <= more; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += more + 1;
    }
    return true;
}

// A small strict JSON reader for the one shape the payload has.
struct Reader {
    const std::string& s;
    std::size_t at = 0;

    bool take(char c) {
        if (at < s.size() && s[at] == c) return ++at, true;
        return false;
    }
    bool string(std::string& out) {
        if (!take('"')) return false;
        out.clear();
        while (at < s.size()) {
            unsigned char c = static_cast<unsigned char>(s[at++]);
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c != '\\') {
                out.push_back(static_cast<char>(c));
                continue;
            }
            if (at >= s.size()) return false;
            char e = s[at++];
            if (e == '"' || e == '\\' || e == '/') {
                out.push_back(e);
            } else if (e == 'u') {
                if (at + 4 > s.size()) return false;
                unsigned v = static_cast<unsigned>(std::strtoul(s.substr(at, 4).c_str(), nullptr, 16));
                at += 4;
                if (v >= 0x80) return false;  // the payload escapes only ASCII control bytes
                out.push_back(static_cast<char>(v));
            } else {
                return false;
            }
        }
        return false;
    }
    bool key(const char* name) {
        std::string k;
        return string(k) && k == name && take(':');
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    unsigned octet = data[0];
    std::size_t n = 0;
    char* bytes = fuzz::datagram_bytes(data, size, n);
    Checked c = check_datagram(bytes, n);
    if (c.verdict == Verdict::valid) {
        Label label = device_label(bytes, c.text_len, c.is_long);
        char name[device_name_max + 1];
        std::size_t name_len = device_name(name, octet, label);
        std::tm local{};
        local.tm_year = octet;
        local.tm_gmtoff = (static_cast<long>(octet) - 128) * 60;
        char line[record_line_max + 1];
        std::size_t line_len = record_line(line, "2026.12.08_14:03:59", name, name_len, bytes, c.text_len, false);
        std::string buffer;
        MqttMessage built;
        mqtt_message(buffer, built, name, name_len, local, 1796000000, bytes, c.text_len, line, line_len);
        std::string payload(built.payload, built.payload_len);
        require(payload.find('\n') == std::string::npos && payload.find('\0') == std::string::npos,
                "no line feed, no zero byte");
        require(valid_utf8(payload), "payload is UTF-8");
        Reader r{payload};
        std::string time, device, field, record;
        std::vector<std::string> fields;
        require(r.take('{') && r.key("time") && r.string(time) && r.take(',') && r.key("device") &&
                    r.string(device) && r.take(',') && r.key("fields") && r.take('['),
                "payload begins as JSON");
        do {
            require(r.string(field), "a field is a string");
            fields.push_back(field);
        } while (r.take(','));
        require(r.take(']') && r.take(',') && r.key("record") && r.string(record) && r.take('}') &&
                    r.at == payload.size(),
                "payload ends as JSON");
        std::string joined;
        for (std::size_t i = 0; i < fields.size(); ++i) joined += (i ? "," : "") + fields[i];
        require(joined == latin1(bytes, c.text_len), "fields joined are the text read as Latin-1");
        require(device == latin1(name, name_len), "device is the name read as Latin-1");
        require(record == latin1(line, line_len), "record is the line read as Latin-1");
        require(time.size() == iso_time_len, "time has its length");

        // As the queue keeps it, and as the transport reads it back.
        std::string entry;
        encode_mqtt_entry(entry, built);
        require(entry.find('\0') == std::string::npos, "the entry holds no zero byte");
        MqttMessage facts;
        require(decode_mqtt_entry(entry.data(), entry.size(), facts), "the queue reads it back");
        require(facts.fields == fields.size(), "field count agrees");
        require(std::string(facts.payload, facts.payload_len) == payload, "payload agrees");
        require(std::string(facts.device_json, facts.device_json_len) == std::string(built.device_json, built.device_json_len),
                "device agrees");
        for (std::size_t i = 0; i < fields.size() && i < discovery_fields_max; ++i) {
            bool text = field_kind(fields[i].data(), fields[i].size()) == FieldKind::text;
            require(facts.texts.has(static_cast<unsigned>(i)) == text, "each field's kind agrees");
        }
        require(facts.topic_len > 6 && facts.device_topic_len <= device_topic_max, "topic within bounds");
        for (std::size_t i = 6; i < facts.topic_len; ++i) {
            char t = facts.topic[i];
            require((t >= 'a' && t <= 'z') || (t >= 'A' && t <= 'Z') || (t >= '0' && t <= '9') || t == '_' || t == '-',
                    "topic holds no wildcard or separator");
        }
    }
    std::free(bytes);
    return 0;
}
