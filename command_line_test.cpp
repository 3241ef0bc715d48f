#include "command_line.hpp"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

using namespace ql;

namespace {

struct Parsed {
    Settings settings;
    std::vector<ArgumentAction> actions;
};

Parsed parse(std::initializer_list<const char*> args) {
    Parsed p;
    for (const char* a : args) p.actions.push_back(apply_argument(a, p.settings));
    return p;
}

}  // namespace

TEST(CommandLine, Defaults) {
    Parsed p = parse({});
    EXPECT_EQ(p.settings.debug, 0);
    EXPECT_EQ(p.settings.append, 0);
    EXPECT_EQ(p.settings.telnet, 0);
    EXPECT_STREQ(p.settings.telip, "");
    EXPECT_STREQ(p.settings.path, "");
}

TEST(CommandLine, Flags) {
    Parsed p = parse({"-d", "-a", "-v"});
    EXPECT_EQ(p.settings.debug, 1);
    EXPECT_EQ(p.settings.append, 1);
    EXPECT_EQ(p.actions.back(), ArgumentAction::version);
    // Only the exact words count.
    Parsed q = parse({"-dd", "-ad", "-x", "foo", "-", "-V", "-av"});
    EXPECT_EQ(q.settings.debug, 0);
    EXPECT_EQ(q.settings.append, 0);
    for (ArgumentAction a : q.actions) EXPECT_EQ(a, ArgumentAction::none);
}

TEST(CommandLine, SlashMakesThePrefixFirst) {
    EXPECT_STREQ(parse({"/tmp/out/"}).settings.path, "/tmp/out/");
    Parsed p = parse({"-t/x"});
    EXPECT_STREQ(p.settings.path, "-t/x");
    EXPECT_EQ(p.settings.telnet, 0);
    EXPECT_STREQ(parse({"-d/"}).settings.path, "-d/");
    EXPECT_STREQ(parse({"a/", "b/"}).settings.path, "b/");
    std::string long_prefix = "/" + std::string(150, 'p');
    EXPECT_EQ(std::string(parse({long_prefix.c_str()}).settings.path), long_prefix.substr(0, 100));
}

TEST(CommandLine, ModesAndAddresses) {
    Parsed t = parse({"-t10.0.0.5"});
    EXPECT_EQ(t.settings.telnet, 1);
    EXPECT_STREQ(t.settings.telip, "10.0.0.5");
    Parsed big = parse({"-Tserver.example"});
    EXPECT_EQ(big.settings.telnet, 2);
    EXPECT_STREQ(big.settings.telip, "server.example");
    // No check of the address's form.
    EXPECT_STREQ(parse({"-tnot an address"}).settings.telip, "not an address");
    // A later one replaces an earlier one.
    Parsed later = parse({"-t10.0.0.5", "-T10.0.0.6"});
    EXPECT_EQ(later.settings.telnet, 2);
    EXPECT_STREQ(later.settings.telip, "10.0.0.6");
}

TEST(CommandLine, ModeWithoutAddressAsksForDetection) {
    Parsed p = parse({"-t"});
    EXPECT_EQ(p.settings.telnet, 1);
    EXPECT_EQ(p.actions[0], ArgumentAction::detect);
    Parsed q = parse({"-T"});
    EXPECT_EQ(q.settings.telnet, 2);
    EXPECT_EQ(q.actions[0], ArgumentAction::detect);
}

TEST(CommandLine, AddressLimits) {
    std::string a25 = "-t" + std::string(25, '1');
    std::string a26 = "-T" + std::string(26, '1');
    Parsed ok = parse({a25.c_str()});
    EXPECT_EQ(ok.actions[0], ArgumentAction::none);
    EXPECT_EQ(std::string(ok.settings.telip), std::string(25, '1'));
    Parsed refused = parse({a26.c_str()});
    EXPECT_EQ(refused.actions[0], ArgumentAction::address_too_long);
    EXPECT_STREQ(refused.settings.telip, "");
    EXPECT_EQ(parse({"-t-e"}).actions[0], ArgumentAction::address_option);
    EXPECT_EQ(parse({"-T--help"}).actions[0], ArgumentAction::address_option);
}

TEST(CommandLine, Help) {
    EXPECT_EQ(parse({"-h"}).actions[0], ArgumentAction::help);
    EXPECT_EQ(parse({"--help"}).actions[0], ArgumentAction::help);
    EXPECT_EQ(parse({"-help"}).actions[0], ArgumentAction::none);
    EXPECT_NE(std::string(usage_text).find("Aufruf: qlfwd"), std::string::npos);
}

TEST(CommandLine, BrokerModes) {
    struct Case {
        std::vector<const char*> args;
        ArgumentAction last;
        int mode;
        int tls;
        const char* broker;
    } cases[] = {
        {{"-m"}, ArgumentAction::none, 3, 0, ""},
        {{"-Msite@broker.local:8884"}, ArgumentAction::none, 3, 1, "site@broker.local:8884"},
        {{"-t10.0.0.5", "-m192.168.1.5"}, ArgumentAction::none, 3, 0, "192.168.1.5"},
        {{"-m192.168.1.5", "-T10.0.0.6"}, ArgumentAction::none, 2, 0, "192.168.1.5"},
        {{"-m-x"}, ArgumentAction::address_option, 3, 0, ""},
        {{"-mhost:99999"}, ArgumentAction::broker_invalid, 3, 0, ""},
        {{"-mho st"}, ArgumentAction::broker_invalid, 3, 0, ""},
    };
    for (const Case& c : cases) {
        Parsed p;
        for (const char* a : c.args) p.actions.push_back(apply_argument(a, p.settings));
        EXPECT_EQ(p.actions.back(), c.last) << c.args.back();
        EXPECT_EQ(p.settings.telnet, c.mode) << c.args.back();
        EXPECT_EQ(p.settings.broker_tls, c.tls) << c.args.back();
        EXPECT_STREQ(p.settings.broker, c.broker) << c.args.back();
    }
    std::string a100 = "-m" + std::string(100, 'h');
    std::string a101 = "-M" + std::string(101, 'h');
    EXPECT_EQ(parse({a100.c_str()}).actions[0], ArgumentAction::none);
    EXPECT_EQ(parse({a101.c_str()}).actions[0], ArgumentAction::address_too_long);
    EXPECT_EQ(address_max(a101.c_str()), broker_max);
    EXPECT_EQ(address_max("-t1"), telip_max);
    EXPECT_EQ(parse({"-H"}).settings.discovery, 1);
    for (const char* option : {"-m[BROKER]", "-M[BROKER]", "-H "})
        EXPECT_NE(std::string(usage_text).find(option), std::string::npos) << option;
}
