#include "delivery/devices.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using namespace ql;

namespace {

struct Rec {
    std::string topic;
    MqttMessage m;
    Rec(const std::string& device, unsigned fields, FieldSet texts = {}, std::time_t arrived = 1000)
        : topic("qlfwd/" + device) {
        m.topic = topic.data();
        m.topic_len = topic.size();
        m.device_topic = topic.data() + 6;
        m.device_topic_len = device.size();
        m.device_json = m.device_topic;
        m.device_json_len = device.size();
        m.fields = fields;
        m.texts = texts;
        m.arrived = arrived;
    }
};

FieldSet fields_of(std::initializer_list<unsigned> list) {
    FieldSet f;
    for (unsigned i : list) f.add(i);
    return f;
}

}  // namespace

// A label heard once leaves nothing; from its second record on a device is
// kept and announced, and again when it changes.
TEST(Devices, KeptFromTheSecondRecordAnnouncedWhenNewOrChanged) {
    auto t = std::make_unique<DeviceTable>();
    struct Step {
        unsigned fields;
        FieldSet texts;
        bool retain, announce;
    } steps[] = {
        {3, {}, false, false},                 // first: goes out, leaves nothing
        {2, fields_of({1}), true, true},       // second: kept; field 1 was text once
        {3, {}, true, false},                  // unchanged
        {4, {}, true, true},                   // a new field
        {4, fields_of({2}), true, true},       // a number turned text
        {4, {}, true, false},                  // and stays text
    };
    for (const Step& s : steps) {
        RecordPlan p = t->plan(Rec("Qln042", s.fields, s.texts).m, 1000);
        EXPECT_EQ(p.retain, s.retain) << s.fields;
        EXPECT_EQ(p.announce != nullptr, s.announce) << s.fields;
    }
    Device* d = t->find("Qln042", 6);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->fields, 4u);
    EXPECT_TRUE(d->texts == fields_of({1, 2}));
    t->forget_announcements();
    EXPECT_NE(t->plan(Rec("Qln042", 1).m, 1000).announce, nullptr) << "a new connection: announced again";
    // More fields than sensors: said once.
    EXPECT_NE(t->plan(Rec("Qln042", 120).m, 1000).more_fields, nullptr);
    EXPECT_EQ(t->plan(Rec("Qln042", 120).m, 1000).more_fields, nullptr);
    EXPECT_EQ(d->fields, discovery_fields_max);
}

TEST(Devices, NoMoreThanTheBoundKeptWhoeverSends) {
    auto t = std::make_unique<DeviceTable>();
    for (int round = 0; round < 2; ++round)
        for (unsigned i = 0; i < 2000; ++i) t->plan(Rec("Qln042x" + std::to_string(i), 1).m, 1000);
    EXPECT_EQ(t->count(), devices_max);
    EXPECT_EQ(t->refused(), 2000u - devices_max);
    RecordPlan p = t->plan(Rec("Qln042x1999", 1).m, 1000);
    EXPECT_FALSE(p.retain);
    EXPECT_FALSE(p.refused) << "a device refused is counted once";
    EXPECT_EQ(t->refused(), 2000u - devices_max);
    EXPECT_TRUE(t->plan(Rec("Qln042x0", 1).m, 1000).retain);
}

TEST(Devices, SilentForThirtyDaysRetiredUnlessItSendsAgain) {
    auto t = std::make_unique<DeviceTable>();
    for (int i = 0; i < 2; ++i) t->plan(Rec("Qln001", 1, {}, 1000).m, 1000);
    for (int i = 0; i < 2; ++i) t->plan(Rec("Qln002", 1, {}, 2000).m, 2000);
    EXPECT_EQ(t->mark_silent(1000 + retire_after_s - 1), 0u);
    EXPECT_EQ(t->mark_silent(1000 + retire_after_s), 1u);
    EXPECT_TRUE(t->find("Qln001", 6)->retiring);
    t->plan(Rec("Qln001", 1, {}, 1000 + retire_after_s).m, 0);
    EXPECT_FALSE(t->find("Qln001", 6)->retiring) << "it sent again";
    EXPECT_EQ(t->mark_silent(2000 + retire_after_s), 1u);
    t->remove(t->find("Qln002", 6));
    EXPECT_EQ(t->find("Qln002", 6), nullptr);
    EXPECT_NE(t->find("Qln001", 6), nullptr);
    EXPECT_EQ(t->count(), 1u);
}

TEST(Devices, FileReadBackAndDamageRefusedWhole) {
    auto t = std::make_unique<DeviceTable>();
    for (int i = 0; i < 2; ++i) t->plan(Rec("Qln001", 3, fields_of({2}), 1796000000).m, 0);
    for (int i = 0; i < 2; ++i) t->plan(Rec("Qln002_x5f6b____", 1).m, 0);
    std::string file;
    t->write(file);
    EXPECT_EQ(file,
              "qlfwd mqtt devices 1\n"
              "Qln001 1796000000 3 00000000000000000000000000000004 \"Qln001\"\n"
              "Qln002_x5f6b____ 1000 1 00000000000000000000000000000000 \"Qln002_x5f6b____\"\n");
    auto back = std::make_unique<DeviceTable>();
    unsigned bad = 0;
    ASSERT_TRUE(back->read(file.data(), file.size(), bad));
    EXPECT_EQ(back->count(), 2u);
    std::string again;
    back->write(again);
    EXPECT_EQ(again, file);
    EXPECT_FALSE(back->find("Qln001", 6)->announced);
    // Damage at every byte is refused or reads as a file of the same shape; never a crash.
    for (std::size_t at = 0; at < file.size(); ++at) {
        std::string damaged = file;
        damaged[at] = damaged[at] == '\n' ? 'x' : '\x01';
        auto d = std::make_unique<DeviceTable>();
        EXPECT_FALSE(d->read(damaged.data(), damaged.size(), bad)) << at << ": " << damaged;
        EXPECT_GE(bad, 1u);
        EXPECT_EQ(d->count(), 0u) << "nothing of it taken";
    }
    for (std::size_t cut = 1; cut < file.size(); ++cut) {
        if (file[cut - 1] == '\n') continue;  // a whole line less is a shorter list
        auto d = std::make_unique<DeviceTable>();
        EXPECT_FALSE(d->read(file.data(), cut, bad)) << cut;
    }
    std::string twice = file + "Qln001 1 1 00000000000000000000000000000000 \"Qln001\"\n";
    EXPECT_FALSE(back->read(twice.data(), twice.size(), bad));
    EXPECT_EQ(bad, 4u);
    std::string newer = "qlfwd mqtt devices 2\n";
    EXPECT_FALSE(back->read(newer.data(), newer.size(), bad));
    EXPECT_EQ(bad, 1u);
}
