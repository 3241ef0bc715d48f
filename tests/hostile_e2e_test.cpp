// Hostile datagrams in modes 0, 1 and 2: nothing they hold may leave the
// prefix directory, run as a command, or spoil a record or command file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <memory>
#include <set>

#include "tests/command_checks.hpp"
#include "tests/e2e_support.hpp"

using namespace e2e;

namespace {

struct Datagram {
    std::string source;
    std::string bytes;
    std::string name;  // the device name the receiver must give it
    std::string text;  // the text its record must carry
    std::string label;
};

class HostileTest : public OutputTestBase {
protected:
    void SetUp() override {
        OutputTestBase::SetUp();
        if (IsSkipped()) return;
        std::vector<std::string> labels = {"../../..", "/etc/pas", "$(id)>x;", "`id`;;;;", "%s%n%s%n",
                                           "\"'\\\"'\\ab", "\r\n\r\n\r\n\r\n", "\x80\xff\xfe\x90" "abcd",
                                           std::string("..\x01/\x7f\t..", 8)};
        std::vector<std::string> texts = {",$(touch " + dir / "pwned1" + ")", ",`touch " + dir / "pwned2" + "`",
                                          ";touch pwned3;", ",%s%n%s%n%x%p", ",a\"b'c\\d\r\n$HOME@x{}",
                                          ",\x80\xff\xc3\xa4\x1b[2J", ",$(touch pwned4)\n", ",'; rm -rf / #",
                                          ",\"$(touch pwned5)\""};
        for (std::size_t i = 0; i < labels.size(); ++i) {
            std::string bytes = ql::long_datagram(labels[i], texts[i]);
            std::string octet = std::to_string(10 + i);
            char number[4];
            std::snprintf(number, sizeof number, "%03zu", 10 + i);
            sent.push_back({"127.0.0." + octet, bytes, "Qln" + std::string(number) + labels[i],
                            bytes.substr(0, bytes.size() - 4), labels[i]});
        }
        // Short ones, and a long one whose zero byte hides a command after its checksum.
        sent.push_back({"127.0.0.30", "$(touch pwned6);`touch pwned7`", "Qln030", "$(touch pwned6);`touch pwned7`", ""});
        std::string hidden = "QLSEND /../../x,ok";
        sent.push_back({"127.0.0.31", hidden + checksum_of(hidden) + std::string(1, '\0') + "$(touch pwned8)" +
                                          std::string(150, ';'),
                        "Qln031/../../x", hidden, "/../../x"});
    }


    static std::string file_name_of(const std::string& name) {
        std::string out = name;
        for (char& c : out)
            if (c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '_';
        return out;
    }

    static std::string reading_of(const std::string& label) {
        std::size_t start = label.find_first_not_of('_');
        std::string out = start == std::string::npos ? "" : label.substr(start);
        for (char& c : out)
            if (!checks::is_word_byte(static_cast<unsigned char>(c))) c = '_';
        return out;
    }

    void send_all() {
        for (const Datagram& d : sent) send_from(d.source, d.bytes);
    }

    // Only the prefix directory, the stand-in nc and the captured output exist,
    // and no command of a datagram ran anywhere.
    void expect_nothing_outside(const std::set<std::string>& expected_in_out) {
        std::set<std::string> in_out;
        for (auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
            std::string rel = entry.path().string().substr(dir.path().size() + 1);
            if (rel.rfind("out/", 0) == 0) in_out.insert(rel.substr(4));
            else
                EXPECT_TRUE(rel == "out" || rel == "bin" || rel == "bin/nc" || rel.rfind(".std", 0) == 0 ||
                            rel.rfind("nc-", 0) == 0)
                    << "unexpected file " << rel;
        }
        EXPECT_EQ(in_out, expected_in_out);
        for (int i = 1; i <= 8; ++i) {
            std::string name = "pwned" + std::to_string(i);
            EXPECT_FALSE(file_exists(dir / name) || file_exists("/" + name) || file_exists(dir / ("out/" + name)))
                << name;
        }
    }

    // The record line the server must be given for a datagram, stamp written STAMP.
    static std::string line_of(const Datagram& d, bool append) {
        return "STAMP,Quenlink," + d.name + "," + d.text + (append ? "\n" : "");
    }

    // Every datagram gave one run of nc whose input passes the check and equals
    // its command file; nothing else was made.
    void expect_commands(Receiver& r, const std::function<const char*(const std::string&, const Datagram&)>& check) {
        ASSERT_TRUE(eventually([&] { return fake_nc_inputs(dir).size() == sent.size(); }));
        EXPECT_EQ(r.stop(), 0);
        std::vector<std::string> inputs = fake_nc_inputs(dir);
        std::set<std::string> files;
        for (std::size_t i = 0; i < sent.size(); ++i) {
            const char* violated = check(unstamp(inputs[i]), sent[i]);
            EXPECT_EQ(violated, nullptr) << violated << " in " << inputs[i];
            std::string file = file_name_of(sent[i].name) + "-telnet.txt";
            files.insert(file);
            EXPECT_EQ(read_file(dir / ("out/" + file)), inputs[i]);
        }
        // The delivery queue, empty once all is delivered; no temporaries.
        files.insert(".qlfwd-queue");
        EXPECT_EQ(read_file(dir / "out/.qlfwd-queue"), "");
        expect_nothing_outside(files);
    }

    std::vector<Datagram> sent;
};

}  // namespace

TEST_F(HostileTest, ModeZeroRecordsExactAndInside) {
    for (bool append : {false, true}) {
        std::filesystem::remove_all(dir / "out");
        ASSERT_EQ(mkdir((dir / "out").c_str(), 0755), 0);
        std::vector<std::string> args = {dir / "out/"};
        if (append) args.insert(args.begin(), "-a");
        auto r = start(args);
        send_all();
        send_from("127.0.0.250", "marker-datagram-0");
        ASSERT_TRUE(eventually([&] { return file_exists(dir / "out/Qln250.txt"); }));
        EXPECT_EQ(r->stop(), 0);
        std::set<std::string> files{"Qln250.txt"};
        for (const Datagram& d : sent) {
            std::string file = file_name_of(d.name) + ".txt";
            files.insert(file);
            EXPECT_EQ(unstamp(read_file(dir / ("out/" + file))),
                      "STAMP,Quenlink," + d.name + "," + d.text + (append ? "\n" : ""))
                << file;
        }
        expect_nothing_outside(files);
    }
}

TEST_F(HostileTest, ModeOneCommandsWellFormed) {
    auto r = start({"-t127.0.0.1", dir / "out/"}, fake_nc_options(dir));
    send_all();
    expect_commands(*r, [](const std::string& text, const Datagram& d) {
        return checks::reading_commands_as_read(text, reading_of(d.label), line_of(d, false));
    });
    std::string args = read_file(dir / "nc-args");
    EXPECT_EQ(args.size(), sent.size() * std::string("argc=2 [127.0.0.1] [7072] []\n").size()) << args;
}

TEST_F(HostileTest, ModeTwoLiteralNeverBroken) {
    auto r = start({"-a", "-T127.0.0.1", dir / "out/"}, fake_nc_options(dir));
    send_all();
    expect_commands(*r, [](const std::string& text, const Datagram& d) {
        return checks::call_expression_as_read(text, line_of(d, true));
    });
}

namespace {

// Datagrams that would run commands of their own on a server that splits
// lines at ";", and labels that would make a reading name a pattern.
struct Separating {
    std::string label;  // empty: a short datagram
    std::string text;
};

const Separating separating[] = {
    {"", "T1,21.5,a;b,cde"},
    {"", "T1,;;,x,abcdefg"},
    {"", "T1,;;;,x;,abcde"},
    {"__Pumpe1", "QLSEND x;\"touch pwned\",y"},
    {"__Pumpe1", "QLSEND x;{ system(qq(touch pwned)) if 1 or q("},
    {"", "T1,;shutdown;,z"},
    {"........", "QLSEND ,a,b"},
    {"a;b;c;d;", "QLSEND ,a;quit;b"},
    {";;;;;;;;", "QLSEND ,\"$x@y\\;"},
    {"..;quit;", "QLSEND ,x\";;{ 1 }"},
};

}  // namespace

// The real nc to a stand-in server that reads each line as the real one does:
// every datagram runs exactly its own commands, values byte for byte.
TEST_F(HostileTest, ServerRunsOnlyEachDatagramsOwnCommands) {
    sent.clear();
    for (std::size_t i = 0; i < std::size(separating); ++i) {
        const Separating& s = separating[i];
        std::string octet = std::to_string(50 + i);
        std::string name = "Qln0" + octet + s.label;
        if (s.label.empty()) {
            sent.push_back({"127.0.0." + octet, s.text, name, s.text, ""});
        } else {
            std::string bytes = ql::long_datagram(s.label, s.text);
            sent.push_back({"127.0.0." + octet, bytes, name, bytes.substr(0, bytes.size() - 4), s.label});
        }
    }
    for (const char* mode : {"-t127.0.0.1", "-T127.0.0.1"}) {
        SCOPED_TRACE(mode);
        CommandServer server;
        auto r = start({mode, dir / "out/"});
        send_all();
        ASSERT_TRUE(server.wait_sessions(sent.size(), 20000ms));
        EXPECT_EQ(r->stop(), 0);
        std::vector<std::string> sessions = server.sessions();
        ASSERT_EQ(sessions.size(), sent.size());
        for (std::size_t i = 0; i < sent.size(); ++i) {
            std::string session = unstamp(sessions[i]);
            const char* violated = mode[1] == 't'
                                       ? checks::reading_commands_as_read(session, reading_of(sent[i].label),
                                                                          line_of(sent[i], false))
                                       : checks::call_expression_as_read(session, line_of(sent[i], false));
            EXPECT_EQ(violated, nullptr) << violated << " in " << session;
        }
        EXPECT_FALSE(file_exists(dir / "pwned") || file_exists(dir / "out/pwned"));
    }
}
