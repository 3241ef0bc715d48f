// A newcomer's likely mistakes at start get one note each on standard error,
// and nothing else changes: not the exit status, not the "-d" lines. A clean
// start says nothing there.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/e2e_support.hpp"

using namespace e2e;

namespace {

class StartNotesTest : public OutputTestBase {
protected:
    // A stand-in ifconfig that lists nothing: detection ends at the fallback.
    Options no_listing() {
        mkdir((dir / "bin").c_str(), 0755);
        write_script(dir / "bin/ifconfig", "exit 0\n");
        Options options;
        options.path_prefix = dir / "bin";
        return options;
    }

    // Starts, sends one datagram, stops; standard error then, and "-d" as it was.
    std::string notes_of(std::vector<std::string> args, Options options, const std::string& expected_out) {
        auto r = start(args, options);
        EXPECT_EQ(r->stop(), 0);
        EXPECT_EQ(r->out(), expected_out);
        return r->err();
    }

    const std::string opened = "> Oeffne socket\n";
    const std::string stopped = "> beende programm\n> schliesse socket\n";
    const std::string fallback =
        "qlfwd: Hinweis: keine eigene Adresse gefunden, die Befehle gehen an die feste Adresse 192.168.1.10; "
        "die Adresse des Befehlsservers so angeben: -tADRESSE oder -TADRESSE\n";
};

}  // namespace

TEST_F(StartNotesTest, CleanStartSaysNothingOnStandardError) {
    for (std::vector<std::string> args :
         {std::vector<std::string>{"-d", dir / "out/"}, {"-d", "-a", "-t127.0.0.1", dir / "out/"},
          {"-d", "-T127.0.0.1", dir / "out/site-"}}) {
        EXPECT_EQ(notes_of(args, {}, opened + stopped), "");
    }
}

TEST_F(StartNotesTest, AddressAfterABareOptionIsNamedWithTheFormThatWorks) {
    struct Case {
        std::string option, argument;
    };
    for (const Case& c : {Case{"-t", "127.0.0.1"}, Case{"-T", "fhem.local"}}) {
        EXPECT_EQ(notes_of({"-d", c.option, c.argument, dir / "out/"}, no_listing(), opened + stopped),
                  fallback + "qlfwd: Hinweis: \"" + c.argument + "\" nach " + c.option +
                      " wird nicht als Adresse genommen; die Adresse gehoert ohne Leerzeichen an die Option: " +
                      c.option + c.argument + "\n");
    }
    // Not an address: no note of it.
    EXPECT_EQ(notes_of({"-t", "-d", dir / "out/"}, no_listing(), opened + stopped), fallback);
}

TEST_F(StartNotesTest, PrefixDirectoryMissingOrNotWritableIsNamedWithTheReason) {
    EXPECT_EQ(notes_of({"-d", dir / "missing/"}, {}, opened + stopped),
              "qlfwd: Hinweis: in das Verzeichnis " + dir / "missing" +
                  " kann nicht geschrieben werden: No such file or directory\n");
    if (geteuid() != 0) GTEST_SKIP() << "running as another user needs root";
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    Options other;
    other.user = unprivileged_user;
    EXPECT_EQ(notes_of({"-d", dir / "out/"}, other, opened + stopped),
              "qlfwd: Hinweis: in das Verzeichnis " + dir / "out" + " kann nicht geschrieben werden: Permission denied\n");
}

TEST_F(StartNotesTest, DirectoryWithoutItsSlashIsNamed) {
    EXPECT_EQ(notes_of({"-d", "out"}, {}, opened + stopped),
              "qlfwd: Hinweis: \"out\" ist ein Verzeichnis, aber ohne \"/\" kein Praefix; gemeint ist wohl out/\n");
    EXPECT_EQ(notes_of({"-d", dir / "out"}, {}, opened + stopped),
              "qlfwd: Hinweis: das Praefix " + dir / "out" + " ist ein Verzeichnis, die Dateien heissen aber " +
                  dir / "out" + "Qln...; gemeint ist wohl " + dir / "out" + "/\n");
}

TEST_F(StartNotesTest, PortThatCannotBeBoundIsSaidAlsoWithoutDebug) {
    auto first = start({dir / "out/"});
    const std::string note = "qlfwd: UDP-Port 60096 kann nicht geoeffnet werden: Address already in use\n";
    Receiver quiet(dir, {dir / "out/"});
    EXPECT_EQ(quiet.wait_exit(), 2);
    EXPECT_EQ(quiet.out(), "");
    EXPECT_EQ(quiet.err(), note);
    Receiver told(dir, {"-d", dir / "out/"});
    EXPECT_EQ(told.wait_exit(), 2);
    EXPECT_EQ(told.out(),
              "> Oeffne socket\nFehler: konnte Socket nicht anbinden, Address already in use (errno=98)"
              "Fehler: konnte Socket nicht oeffnen\n");
    EXPECT_EQ(told.err(), note);
    EXPECT_EQ(first->stop(), 0);
}
