#include "forwarding/commands.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/command_checks.hpp"

using namespace ql;

namespace {

std::string reading_of(const std::string& label) {
    char out[label_max + 1];
    std::size_t n = reading_name(out, Label{label.data(), label.size()});
    return std::string(out, n);
}

std::string mode1(const std::string& reading, const std::string& line) {
    std::string out;
    reading_commands(out, reading.c_str(), line.data(), line.size());
    return out;
}

std::string mode2(const std::string& name, const std::string& line) {
    std::string out;
    call_expression(out, name.data(), name.size(), line.data(), line.size());
    return out;
}

using Lines = std::vector<std::string>;

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(start, text.size()) << "text does not end in CR LF";
    return lines;
}

}  // namespace

TEST(ReadingName, LeadingUnderscoresGoThenOtherBytesBecomeUnderscores) {
    EXPECT_EQ(reading_of("__Pumpe1"), "Pumpe1");
    EXPECT_EQ(reading_of("--a-b___"), "__a_b___");
    EXPECT_EQ(reading_of(""), "");
    EXPECT_EQ(reading_of("________"), "");
    EXPECT_EQ(reading_of("_a b;c.d"), "a_b_c_d");
    EXPECT_EQ(reading_of("........"), "________");
    EXPECT_EQ(reading_of("_\xff$\"\n/x"), "_____x");
}

TEST(ReadingCommands, OneLinePerField) {
    EXPECT_EQ(lines_of(mode1("Pumpe1", "T,Quenlink,N,a,b")),
              (Lines{"setreading Pumpe1_00 state T", "setreading Pumpe1_01 state Quenlink",
                     "setreading Pumpe1_02 state N", "setreading Pumpe1_03 state a",
                     "setreading Pumpe1_04 state b"}));
}

TEST(ReadingCommands, ShortDatagramHasEmptyReadingName) {
    EXPECT_EQ(lines_of(mode1("", "T,Quenlink,Qln042,x")),
              (Lines{"setreading _00 state T", "setreading _01 state Quenlink",
                     "setreading _02 state Qln042", "setreading _03 state x"}));
}

TEST(ReadingCommands, EmptyFieldsAndLineFeedOfAppend) {
    EXPECT_EQ(lines_of(mode1("r", "a,,b\n")),
              (Lines{"setreading r_00 state a", "setreading r_01 state ",
                     "setreading r_02 state b"}));
    EXPECT_EQ(lines_of(mode1("r", "a,")), (Lines{"setreading r_00 state a"}));
}

TEST(ReadingCommands, FieldsOfTwentyEightToThirty) {
    std::string f28(28, 'a'), f29 = f28 + "B", f30 = f29 + "C";
    EXPECT_EQ(lines_of(mode1("r", f28 + ",x")), (Lines{"setreading r_00 state " + f28,
                                                       "setreading r_01 state x"}));
    EXPECT_EQ(lines_of(mode1("r", f28)), (Lines{"setreading r_00 state " + f28}));
    EXPECT_EQ(lines_of(mode1("r", f29 + ",x")),
              (Lines{"setreading r_00 state " + f28, "setreading r_01 state ",
                     "setreading r_02 state x"}));
    EXPECT_EQ(lines_of(mode1("r", f30)),
              (Lines{"setreading r_00 state " + f28, "setreading r_01 state C"}));
}

TEST(ReadingCommands, ControlAndHighBytesEndFields) {
    EXPECT_EQ(lines_of(mode1("r", "a\tb,c")),
              (Lines{"setreading r_00 state a", "setreading r_01 state b",
                     "setreading r_02 state c"}));
    // At the start of a field such a byte ends the list.
    EXPECT_EQ(lines_of(mode1("r", "a,\xff" "b,c")), (Lines{"setreading r_00 state a"}));
    EXPECT_EQ(mode1("r", "\x01" "a"), "");
}

// The server reads ";;" as one ";" and splits at a single one.
TEST(ReadingCommands, SeparatorsDoubledAndCountedOnceForTheCut) {
    EXPECT_EQ(lines_of(mode1("r", "a;b,;;,;;;")),
              (Lines{"setreading r_00 state a;;b", "setreading r_01 state ;;;;",
                     "setreading r_02 state ;;;;;;"}));
    std::string semis(28, ';');
    EXPECT_EQ(lines_of(mode1("r", semis + "xy")),
              (Lines{"setreading r_00 state " + semis + semis, "setreading r_01 state y"}));
}

TEST(ReadingCommands, CounterGoesPastTwoDigits) {
    std::string line(1500, ',');
    std::vector<std::string> lines = lines_of(mode1("r", line));
    ASSERT_EQ(lines.size(), 1500u);
    EXPECT_EQ(lines[0], "setreading r_00 state ");
    EXPECT_EQ(lines[99], "setreading r_99 state ");
    EXPECT_EQ(lines[100], "setreading r_100 state ");
    EXPECT_EQ(lines[1499], "setreading r_1499 state ");
}

TEST(CallExpression, OrdinaryLineUnchanged) {
    EXPECT_EQ(mode2("Qln042__Pumpe1", "T,Quenlink,Qln042__Pumpe1,a,b"),
              "{ Qln042__Pumpe1(\"T,Quenlink,Qln042__Pumpe1,a,b \") }\r\n");
}

TEST(CallExpression, LiteralEscapedAndKeptOnOneLine) {
    EXPECT_EQ(mode2("Qln042", "T,Quenlink,Qln042,a\"b$c\n"),
              "{ Qln042(\"T,Quenlink,Qln042,a\\\"b\\$c\\n \") }\r\n");
    EXPECT_EQ(mode2("Qln042", "\\@\r"), "{ Qln042(\"\\\\\\@\\r \") }\r\n");
}

TEST(CallExpression, SeparatorsDoubled) {
    EXPECT_EQ(mode2("Qln042a_b", "T,Quenlink,Qln042a;b,x;;\"touch y\""),
              "{ Qln042a_b(\"T,Quenlink,Qln042a;;b,x;;;;\\\"touch y\\\" \") }\r\n");
}

TEST(CallExpression, NameKeepsWordBytesOnly) {
    EXPECT_EQ(mode2("Qln042a\"b(c)", "x"), "{ Qln042a_b_c_(\"x \") }\r\n");
}

TEST(CommandText, EndsInQuitAndReusesTheText) {
    std::string out = "old";
    std::string name = "Qln042__Pumpe1";
    Label label{name.data() + 6, 8};
    command_text(out, 1, name.data(), name.size(), label, "T,Q", 3);
    EXPECT_EQ(out, "setreading Pumpe1_00 state T\r\nsetreading Pumpe1_01 state Q\r\nquit\n");
    command_text(out, 2, name.data(), name.size(), label, "T,Q", 3);
    EXPECT_EQ(out, "{ Qln042__Pumpe1(\"T,Q \") }\r\nquit\n");
}

TEST(CommandText, LongestModeOneTextHasEveryCommand) {
    std::string line = "2026.12.08_03:04:05,Quenlink,Qln042," + std::string(1500, ',');
    std::string out;
    command_text(out, 1, "Qln042", 6, Label{"", 0}, line.data(), line.size());
    std::size_t count = 0;
    for (std::size_t p = 0; (p = out.find("setreading ", p)) != std::string::npos; ++p) ++count;
    EXPECT_EQ(count, 3u + 1500u);
    EXPECT_TRUE(out.ends_with("\r\nquit\n"));
}

// As the server reads them: each text runs exactly its own commands. The same
// reading flags a text with a bare ";", so the check can fail.
TEST(CommandText, ServerRunsExactlyTheLinesOwnCommands) {
    const char* lines[] = {"T,Quenlink,Qln042,x;\"touch pwned\",y", "T,Quenlink,Qln042,;shutdown;",
                           "T,Quenlink,Qln042,x;{ system(1) if 1 or q(", "T,Quenlink,Qln042;;;,;;;\n"};
    std::string out;
    for (const char* line : lines) {
        std::size_t len = std::strlen(line);
        command_text(out, 1, "Qln042", 6, Label{"", 0}, line, len);
        EXPECT_EQ(checks::reading_commands_as_read(out, "", std::string(line, len)), nullptr) << out;
        command_text(out, 2, "Qln042", 6, Label{"", 0}, line, len);
        EXPECT_EQ(checks::call_expression_as_read(out, std::string(line, len)), nullptr) << out;
    }
    EXPECT_NE(checks::reading_commands_as_read("setreading _00 state x;y\r\nquit\n", "", "x;y"), nullptr);
    EXPECT_NE(checks::call_expression_as_read("{ Q(\"x;y \") }\r\nquit\n", "x;y"), nullptr);
    EXPECT_EQ(checks::server_commands("a;;b;c;;;d\r\nquit\n"), (Lines{"a;b", "c;", "d", "quit"}));
}
