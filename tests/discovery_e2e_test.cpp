// Home Assistant discovery (-H) against Debian's real mosquitto broker: what
// the broker holds and what a subscriber receives, each config read as Home
// Assistant's MQTT integration reads it (tests/ha_discovery_check.py: its
// device-discovery schema, its template rendering, its sensor state rules).
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>

#include "sender/datagram.hpp"
#include "tests/e2e_support.hpp"
#include "tests/mqtt_support.hpp"

using namespace e2e;

namespace {

constexpr char checker[] = QLFWD_SOURCE_DIR "/tests/ha_discovery_check.py";

class DiscoveryTest : public MqttTestBase {
protected:
    void SetUp() override {
        if (std::system("/usr/bin/python3 -c 'import jinja2' 2>/dev/null") != 0)
            GTEST_SKIP() << "python3-jinja2 is not installed: the configs cannot be read as Home Assistant reads them";
        MqttTestBase::SetUp();
    }
    std::string devices_path() const { return dir / ".qlfwd-mqtt-devices"; }
};

std::string topic_of(const std::string& line) { return line.substr(0, line.find(' ')); }
std::string payload_of(const std::string& line) { return line.substr(line.find(' ') + 1); }

std::vector<std::string> starting(const std::vector<std::string>& lines, const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& l : lines)
        if (l.starts_with(prefix)) out.push_back(l);
    return out;
}

std::string config_topic(const std::string& device) { return "homeassistant/device/qlfwd_" + device + "/config"; }

// What Home Assistant makes of the config and of each record: errors, then
// the sensors' states a record a line.
std::string as_home_assistant(const std::string& config_line, const std::vector<std::string>& records) {
    std::string input = topic_of(config_line) + "\n" + payload_of(config_line) + "\n";
    for (const auto& r : records) input += payload_of(r) + "\n";
    std::string in_path = "/tmp/qlfwd-ha-check-" + std::to_string(getpid());
    std::ofstream(in_path) << input;
    std::string command = std::string("/usr/bin/python3 ") + checker + " < " + in_path;
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
        pclose(p);
    }
    std::remove(in_path.c_str());
    return out;
}

bool no_errors(const std::string& checked) { return checked.find("error: ") == std::string::npos; }

// One config per device, key by key as Home Assistant's device-based
// discovery reads it; a sensor per field, graphs for numbers; announced from
// the device's second record on, and again once per device at its birth.
TEST_F(DiscoveryTest, OneConfigPerDeviceReadAsHomeAssistantReadsIt) {
    Broker broker(dir);
    ASSERT_TRUE(broker.start()) << broker.log();
    Subscriber sub(dir, {"qlfwd/+", "homeassistant/#"});
    ASSERT_TRUE(sub.ready());
    auto r = start_mqtt({"-m", "-H"});
    ASSERT_TRUE(eventually([&] { return has(r->out(), connected(0)); })) << r->out();
    send_from("127.0.0.42", "21.5,on,,7,-3,5");
    ASSERT_TRUE(sub.wait_lines(2)) << r->out();
    send_from("127.0.0.42", " 22 ,off,x,8,-4,5");
    send_from("127.0.0.43", "1,2,345678901234");
    send_from("127.0.0.43", "1,2,345678901234");
    ASSERT_TRUE(sub.wait_lines(7)) << r->out();
    std::vector<std::string> lines = sub.lines();
    EXPECT_EQ(lines[0], "qlfwd/status online");
    EXPECT_TRUE(lines[1].starts_with("qlfwd/Qln042 ")) << "a first record comes unannounced: " << lines[1];
    EXPECT_EQ(topic_of(lines[2]), config_topic("Qln042"));
    EXPECT_TRUE(lines[3].starts_with("qlfwd/Qln042 ")) << lines[3];
    EXPECT_EQ(lines[4].substr(0, 13), "qlfwd/Qln043 ");
    EXPECT_EQ(topic_of(lines[5]), config_topic("Qln043"));
    std::string config = payload_of(lines[2]);
    EXPECT_EQ(config,
              "{\"dev\":{\"identifiers\":[\"qlfwd_Qln042\"],\"name\":\"Qln042\",\"model\":\"Quenlink\"},"
              "\"o\":{\"name\":\"qlfwd\",\"sw\":\"0.2\"},\"cmps\":{"
              "\"f00\":{\"p\":\"sensor\",\"name\":\"f00\",\"unique_id\":\"qlfwd_Qln042_f00\",\"value_template\":"
              "\"{{ (value_json.fields[0] | trim)[:255] if value_json.fields | length > 0 else None }}\","
              "\"state_class\":\"measurement\"},"
              "\"f01\":{\"p\":\"sensor\",\"name\":\"f01\",\"unique_id\":\"qlfwd_Qln042_f01\",\"value_template\":"
              "\"{{ (value_json.fields[1] | trim)[:255] if value_json.fields | length > 1 else None }}\"},"
              "\"f02\":{\"p\":\"sensor\",\"name\":\"f02\",\"unique_id\":\"qlfwd_Qln042_f02\",\"value_template\":"
              "\"{{ (value_json.fields[2] | trim)[:255] if value_json.fields | length > 2 else None }}\"},"
              "\"f03\":{\"p\":\"sensor\",\"name\":\"f03\",\"unique_id\":\"qlfwd_Qln042_f03\",\"value_template\":"
              "\"{{ (value_json.fields[3] | trim)[:255] if value_json.fields | length > 3 else None }}\","
              "\"state_class\":\"measurement\"},"
              "\"f04\":{\"p\":\"sensor\",\"name\":\"f04\",\"unique_id\":\"qlfwd_Qln042_f04\",\"value_template\":"
              "\"{{ (value_json.fields[4] | trim)[:255] if value_json.fields | length > 4 else None }}\","
              "\"state_class\":\"measurement\"},"
              "\"f05\":{\"p\":\"sensor\",\"name\":\"f05\",\"unique_id\":\"qlfwd_Qln042_f05\",\"value_template\":"
              "\"{{ (value_json.fields[5] | trim)[:255] if value_json.fields | length > 5 else None }}\","
              "\"state_class\":\"measurement\"}},"
              "\"state_topic\":\"qlfwd/Qln042\",\"availability_topic\":\"qlfwd/status\",\"qos\":1}");
    std::string checked = as_home_assistant(lines[2], {lines[1], lines[3]});
    EXPECT_EQ(checked,
              "{\"f00\": \"21.5\", \"f01\": \"on\", \"f02\": \"\", \"f03\": \"7\", \"f04\": \"-3\", \"f05\": \"5\"}\n"
              "{\"f00\": \"22\", \"f01\": \"off\", \"f02\": \"x\", \"f03\": \"8\", \"f04\": \"-4\", \"f05\": \"5\"}\n");
    EXPECT_TRUE(no_errors(as_home_assistant(lines[5], {lines[4], lines[6]})));

    // The birth: one message per device, no more.
    ASSERT_TRUE(publish("homeassistant/status", "online"));
    send_from("127.0.0.44", "after,the,birth");
    ASSERT_TRUE(eventually([&] { return !starting(sub.lines(), "qlfwd/Qln044 ").empty(); })) << r->out();
    lines = sub.lines();
    EXPECT_EQ(starting(lines, config_topic("Qln042")).size(), 2u);
    EXPECT_EQ(starting(lines, config_topic("Qln043")).size(), 2u);
    EXPECT_EQ(starting(lines, "homeassistant/device/").size(), 4u);
    EXPECT_TRUE(starting(lines, config_topic("Qln044")).empty()) << "heard of once: not announced";
    EXPECT_EQ(r->stop(), 0);

    // What stays on the broker: the kept devices' configs and last records only.
    std::vector<std::string> held = retained(dir, {"qlfwd/+", "homeassistant/#"});
    std::set<std::string> topics;
    for (const auto& l : held) topics.insert(topic_of(l));
    EXPECT_EQ(topics, (std::set<std::string>{"qlfwd/status", "qlfwd/Qln042", "qlfwd/Qln043", config_topic("Qln042"),
                                             config_topic("Qln043")}));
    struct stat st {};
    ASSERT_EQ(stat(devices_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // After a restart, the kept devices are announced at connect, before they send again.
    std::size_t before = sub.lines().size();
    auto again = start_mqtt({"-m", "-H"});
    ASSERT_TRUE(eventually([&] { return starting(sub.lines(), "homeassistant/device/").size() == 6; })) << again->out();
    lines = sub.lines();
    std::vector<std::string> after(lines.begin() + static_cast<long>(before), lines.end());
    EXPECT_EQ(starting(after, "homeassistant/device/").size(), 2u);
    EXPECT_TRUE(starting(after, "qlfwd/Qln04").empty());
    EXPECT_EQ(again->stop(), 0);
}

// A field that was a number in every record is a measurement; a record that
// brings text makes it text (its config first), and it stays text until the
// next start. Fewer fields give unknown, a long field is cut: never a warning.
TEST_F(DiscoveryTest, NumbersTurnTextFewerFieldsAndLongFields) {
    Broker broker(dir);
    ASSERT_TRUE(broker.start()) << broker.log();
    Subscriber sub(dir, {"qlfwd/+", "homeassistant/#"});
    ASSERT_TRUE(sub.ready());
    // Long datagrams: f00 is the sender's header and label, the last field
    // padded with blanks; the numbers are f01 on.
    const std::string device = "Qln042___meter", config = config_topic(device) + " ", record = "qlfwd/" + device + " ";
    std::string thirty;
    for (int i = 0; i < 30; ++i) thirty += "," + std::to_string(i);
    auto r = start_mqtt({"-m", "-H"});
    std::vector<std::string> texts = {thirty, thirty, ",1,2,3", ",x,2,3", ",4,5,6", "," + std::string(300, 'y') + ",1"};
    for (std::size_t i = 0; i < texts.size(); ++i) {
        send_from("127.0.0.42", long_datagram("meter", texts[i]));
        ASSERT_TRUE(eventually([&] { return starting(sub.lines(), record).size() == i + 1; })) << i << r->out();
    }
    std::vector<std::string> lines = sub.lines();
    std::vector<std::string> records = starting(lines, record);
    std::vector<std::string> configs = starting(lines, config);
    auto sensor = [&](int field, bool measurement) {
        char f[8];
        std::snprintf(f, sizeof f, "f%02d", field);
        std::string n = std::to_string(field);
        return "\"" + std::string(f) + "\":{\"p\":\"sensor\",\"name\":\"" + f + "\",\"unique_id\":\"qlfwd_" + device +
               "_" + f + "\",\"value_template\":\"{{ (value_json.fields[" + n + "] | trim)[:255] if value_json.fields " +
               "| length > " + n + " else None }}\"" + (measurement ? ",\"state_class\":\"measurement\"}" : "}");
    };
    ASSERT_EQ(configs.size(), 2u) << "at the second record, and when f01 turned text";
    EXPECT_TRUE(has(configs[0], sensor(0, false) + "," + sensor(1, true))) << configs[0];
    EXPECT_TRUE(has(configs[0], sensor(30, true)));
    EXPECT_TRUE(has(configs[1], sensor(1, false) + "," + sensor(2, true))) << configs[1];
    // The config without its state class comes before the record that needs it.
    auto at = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) - lines.begin(); };
    EXPECT_LT(at(configs[1]), at(records[3]));
    EXPECT_GT(at(configs[1]), at(records[2]));
    // Read as Home Assistant does, each config with the records it stood for.
    std::string first = as_home_assistant(configs[0], {records[1], records[2]});
    EXPECT_TRUE(no_errors(first)) << first;
    EXPECT_TRUE(has(first, "\"f03\": \"3\", \"f04\": null")) << "fewer fields: unknown, no warning: " << first;
    std::string second = as_home_assistant(configs[1], {records[3], records[4], records[5]});
    EXPECT_TRUE(no_errors(second)) << second;
    EXPECT_TRUE(has(second, "\"f01\": \"" + std::string(255, 'y') + "\"")) << "cut to 255: " << second;
    EXPECT_EQ(r->stop(), 0);

    // At the next start f01 is judged anew: a number makes it a measurement again.
    auto next = start_mqtt({"-m", "-H"});
    ASSERT_TRUE(eventually([&] { return starting(sub.lines(), config).size() == 3; })) << next->out();
    send_from("127.0.0.42", long_datagram("meter", ",7,8,9"));
    ASSERT_TRUE(eventually([&] { return starting(sub.lines(), config).size() == 4; })) << next->out();
    configs = starting(sub.lines(), config);
    EXPECT_EQ(payload_of(configs[2]), payload_of(configs[1])) << "announced at connect as it stood";
    EXPECT_TRUE(has(configs[3], sensor(1, true))) << configs[3];
    EXPECT_EQ(next->stop(), 0);
}

// Names that clean alike are two devices, each with a topic of its own.
TEST_F(DiscoveryTest, TwoNamesThatCleanAlikeStayTwoDevices) {
    Broker broker(dir);
    ASSERT_TRUE(broker.start()) << broker.log();
    Subscriber sub(dir, {"qlfwd/+", "homeassistant/#"});
    ASSERT_TRUE(sub.ready());
    auto r = start_mqtt({"-m", "-H"});
    for (int i = 0; i < 2; ++i) {
        send_from("127.0.0.43", long_datagram("a b c", ",1"));
        send_from("127.0.0.43", long_datagram("a/b/c", ",2"));
    }
    ASSERT_TRUE(eventually([&] { return starting(sub.lines(), "homeassistant/device/").size() == 2; })) << r->out();
    std::vector<std::string> lines = sub.lines();
    std::vector<std::string> configs = starting(lines, "homeassistant/device/");
    EXPECT_EQ(topic_of(configs[0]), config_topic("Qln043___a_b_c_x5f5f5f6120622063"));
    EXPECT_EQ(topic_of(configs[1]), config_topic("Qln043___a_b_c_x5f5f5f612f622f63"));
    EXPECT_TRUE(has(payload_of(configs[0]), "\"name\":\"Qln043___a b c\""));
    EXPECT_TRUE(has(payload_of(configs[1]), "\"name\":\"Qln043___a/b/c\""));
    EXPECT_EQ(starting(lines, "qlfwd/Qln043___a_b_c_x5f5f5f6120622063 ").size(), 2u);
    EXPECT_EQ(starting(lines, "qlfwd/Qln043___a_b_c_x5f5f5f612f622f63 ").size(), 2u);
    for (const auto& c : configs) EXPECT_TRUE(no_errors(as_home_assistant(c, {}))) << c;
    EXPECT_EQ(r->stop(), 0);
}

// The first release's per-field configs: a device announced now (at connect
// for one it keeps, at its record for a new one) takes them over in Home
// Assistant's three steps; those of devices not seen stay as they are.
TEST_F(DiscoveryTest, FirstReleaseConfigsMigratedInOrder) {
    Broker broker(dir);
    ASSERT_TRUE(broker.start()) << broker.log();
    auto old = [](const std::string& device, int field) {
        char f[8];
        std::snprintf(f, sizeof f, "f%02d", field);
        return "homeassistant/sensor/qlfwd_" + device + "/" + f + "/config";
    };
    for (const std::string device : {"Qln042", "Qln044", "Qln099"})
        for (int f = 0; f < 2; ++f) ASSERT_TRUE(publish(old(device, f), "{\"name\":\"old\"}", 1883, true));
    ASSERT_TRUE(publish("homeassistant/sensor/other/x/config", "{\"name\":\"other\"}", 1883, true));
    // Qln042 is kept already: announced at connect.
    std::ofstream(devices_path()) << "qlfwd mqtt devices 1\nQln042 " << std::time(nullptr)
                                  << " 2 00000000000000000000000000000000 \"Qln042\"\n";
    Subscriber sub(dir, {"homeassistant/#", "qlfwd/+"});
    ASSERT_TRUE(sub.ready());
    ASSERT_TRUE(sub.wait_lines(7));
    auto r = start_mqtt({"-m", "-H"});
    send_from("127.0.0.44", "1,2345678901234");
    send_from("127.0.0.44", "1,2345678901234");
    ASSERT_TRUE(eventually([&] { return starting(sub.lines(), "qlfwd/Qln044 ").size() == 2; })) << r->out();
    std::vector<std::string> lines = sub.lines();
    for (const std::string device : {"Qln042", "Qln044"}) {
        std::vector<std::string> got;
        for (const auto& l : lines)
            if (has(l, "qlfwd_" + device + "/") && !has(l, "{\"name\":\"old\"}")) got.push_back(l);
        ASSERT_EQ(got.size(), 5u) << device;
        EXPECT_EQ(got[0], old(device, 0) + " {\"migrate_discovery\": true}");
        EXPECT_EQ(got[1], old(device, 1) + " {\"migrate_discovery\": true}");
        EXPECT_EQ(topic_of(got[2]), config_topic(device));
        EXPECT_TRUE(has(got[2], "\"unique_id\":\"qlfwd_" + device + "_f00\"")) << "the entities carry over";
        EXPECT_EQ(got[3], old(device, 0) + " (null)");
        EXPECT_EQ(got[4], old(device, 1) + " (null)");
    }
    EXPECT_EQ(r->stop(), 0);
    std::set<std::string> held;
    for (const auto& l : retained(dir, {"homeassistant/#"})) held.insert(topic_of(l));
    EXPECT_EQ(held, (std::set<std::string>{old("Qln099", 0), old("Qln099", 1), "homeassistant/sensor/other/x/config",
                                           config_topic("Qln042"), config_topic("Qln044")}));
}

std::vector<std::string> labelled(int from, int count) {
    std::vector<std::string> out;
    for (int i = from; i < from + count; ++i) {
        char label[9];
        std::snprintf(label, sizeof label, "L%07u", static_cast<unsigned>(i) % 10000000u);
        out.push_back(ql::long_datagram(label, ",1"));
    }
    return out;
}

// A flood of invented labels leaves nothing on the broker; sent twice, at
// most 1024 devices are kept, across a restart too.
TEST_F(DiscoveryTest, AFloodOfLabelsLeavesABoundedFootprint) {
    Broker broker(dir);
    ASSERT_TRUE(broker.start()) << broker.log();
    auto r = start_mqtt({"-m", "-H"});
    ASSERT_TRUE(eventually([&] { return has(r->out(), connected(0)); })) << r->out();
    send_datagrams("127.0.0.50", labelled(0, 2000));
    ASSERT_TRUE(status_has("2000 weitergegeben", 60000ms)) << status();
    auto count = [&](const std::string& prefix) { return starting(retained(dir, {"qlfwd/+", "homeassistant/#"}), prefix).size(); };
    EXPECT_EQ(count("qlfwd/Qln050"), 0u);
    EXPECT_EQ(count("homeassistant/"), 0u);
    send_datagrams("127.0.0.50", labelled(0, 2000));
    ASSERT_TRUE(status_has("4000 weitergegeben", 60000ms)) << status();
    EXPECT_EQ(count("qlfwd/Qln050"), 1024u);
    EXPECT_EQ(count("homeassistant/device/"), 1024u);
    EXPECT_TRUE(has(r->out(), "Fehler: MQTT 1 Geraete ueber der Grenze von 1024, ohne Discovery\n")) << r->out();
    EXPECT_EQ(r->stop(), 0);
    auto next = start_mqtt({"-m", "-H"});
    std::vector<std::string> fresh = labelled(5000, 1000);
    send_datagrams("127.0.0.50", fresh);
    send_datagrams("127.0.0.50", fresh);
    ASSERT_TRUE(status_has("2000 weitergegeben", 60000ms)) << status();
    EXPECT_EQ(count("homeassistant/device/"), 1024u) << "the bound holds across the restart";
    EXPECT_EQ(count("qlfwd/Qln050"), 1024u);
    EXPECT_EQ(next->stop(), 0);
}

// A kept device silent for 30 days is retired: its config and its last
// record cleared, and it is kept no more.
TEST_F(DiscoveryTest, SilentDevicesRetired) {
    Broker broker(dir);
    ASSERT_TRUE(broker.start()) << broker.log();
    ASSERT_TRUE(publish(config_topic("Qln042"), "{\"old\":1}", 1883, true));
    ASSERT_TRUE(publish("qlfwd/Qln042", "{\"last\":1}", 1883, true));
    std::time_t now = std::time(nullptr);
    std::ofstream(devices_path()) << "qlfwd mqtt devices 1\n"
                                  << "Qln042 " << now - 31 * 24 * 3600 << " 1 00000000000000000000000000000000 \"Qln042\"\n"
                                  << "Qln043 " << now - 24 * 3600 << " 1 00000000000000000000000000000000 \"Qln043\"\n";
    Subscriber sub(dir, {"homeassistant/#", "qlfwd/+"});
    ASSERT_TRUE(sub.ready());
    auto r = start_mqtt({"-m", "-H"});
    ASSERT_TRUE(eventually([&] { return has(r->out(), "> MQTT Qln042 seit 30 Tagen still, Discovery entfernt\n"); }))
        << r->out();
    ASSERT_TRUE(eventually([&] { return !starting(sub.lines(), config_topic("Qln043")).empty(); }));
    EXPECT_EQ(r->stop(), 0);
    std::vector<std::string> lines = sub.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), config_topic("Qln042") + " (null)"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "qlfwd/Qln042 (null)"), lines.end());
    std::set<std::string> held;
    for (const auto& l : retained(dir, {"homeassistant/#", "qlfwd/+"})) held.insert(topic_of(l));
    EXPECT_EQ(held.count(config_topic("Qln042")) + held.count("qlfwd/Qln042"), 0u);
    EXPECT_EQ(held.count(config_topic("Qln043")), 1u);
    std::string file = read_file(devices_path());
    EXPECT_FALSE(has(file, "Qln042 ")) << file;
    EXPECT_TRUE(has(file, "Qln043 ")) << file;
}

// A damaged list of devices is said and begun anew, never a crash.
TEST_F(DiscoveryTest, DamagedDevicesFileRefusedAndBegunAnew) {
    Broker broker(dir);
    ASSERT_TRUE(broker.start()) << broker.log();
    struct Case {
        std::string file;
        std::string says;
    } cases[] = {
        {"garbage\n", "Fehler: MQTT Geraeteliste .qlfwd-mqtt-devices unbrauchbar (Zeile 1), neu begonnen\n"},
        {"qlfwd mqtt devices 1\nQln042 1 1 00000000000000000000000000000000 \"Qln042\"\nQln0 43 x\n",
         "Fehler: MQTT Geraeteliste .qlfwd-mqtt-devices unbrauchbar (Zeile 3), neu begonnen\n"},
        {"qlfwd mqtt devices 9\n", "Fehler: MQTT Geraeteliste .qlfwd-mqtt-devices unbrauchbar (Zeile 1), neu begonnen\n"},
    };
    for (const Case& c : cases) {
        std::ofstream(devices_path()) << c.file;
        auto r = start_mqtt({"-m", "-H"});
        ASSERT_TRUE(eventually([&] { return has(r->out(), connected(0)); })) << r->out();
        EXPECT_TRUE(has(r->out(), c.says)) << r->out();
        send_from("127.0.0.45", "first,record,1");
        send_from("127.0.0.45", "second,record,2");
        ASSERT_TRUE(status_has("2 weitergegeben")) << status();
        EXPECT_EQ(r->stop(), 0);
        std::string file = read_file(devices_path());
        EXPECT_TRUE(file.starts_with("qlfwd mqtt devices 1\nQln045 ")) << file;
        EXPECT_FALSE(has(file, "Qln042")) << "nothing of the damaged list taken";
    }
}

}  // namespace
