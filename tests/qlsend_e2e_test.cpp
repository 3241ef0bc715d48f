// qlsend as a user meets it: what it refuses, what it warns of, what -i numbers.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <memory>

#include "tests/e2e_support.hpp"

using namespace e2e;

namespace {

struct Sent {
    int status;
    std::string out, err;
};

class QlsendTest : public ReceiverTestBase {
protected:
    Sent qlsend(const std::string& args) {
        std::string command = std::string(QLSEND_BINARY) + " " + args + " >" + dir / "q.out" + " 2>" + dir / "q.err";
        int status = system(command.c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(dir / "q.out"), read_file(dir / "q.err")};
    }
};

}  // namespace

TEST_F(QlsendTest, RefusesAChecksumNoReceiverAccepts) {
    std::string letters(700, 'z');
    Sent refused = qlsend("-s 127.0.0.42 -l __Pumpe1 -t " + letters);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err,
              "qlsend: the characters sum to " + std::to_string(ql::long_datagram_sum("__Pumpe1", letters)) +
                  ", which four hexadecimal digits cannot state: no receiver accepts this datagram "
                  "(shorten the text, or give -w to send a wrong checksum on purpose)\n");
    // With -i the largest number counts: a text that fits alone may not fit numbered.
    std::string edge(520, 'z');
    while (ql::long_datagram_sum("__Pumpe1", edge + "99999999") <= 0xFFFF) edge += 'z';
    ASSERT_TRUE(ql::checksum_acceptable(ql::long_datagram_sum("__Pumpe1", edge)));
    EXPECT_EQ(qlsend("-s 127.0.0.42 -i -l __Pumpe1 -t " + edge).status, 1);

    auto r = start({dir.prefix()});
    Sent wrong = qlsend("-s 127.0.0.42 -l __Pumpe1 -w -t " + letters);
    EXPECT_EQ(wrong.status, 0) << "-w sends a wrong checksum on purpose";
    Sent fits = qlsend("-q -s 127.0.0.42 -l __Pumpe1 -t ,21.5,on");
    EXPECT_EQ(fits.status, 0);
    ASSERT_TRUE(eventually([&] { return file_exists(dir / "Qln042__Pumpe1.txt"); }));
    EXPECT_EQ(r->stop(), 0);
}

TEST_F(QlsendTest, NotesWhatAReceiverDropsAndSendsItAllTheSame) {
    auto r = start({"-d", dir.prefix()});
    Sent short_one = qlsend("-s 127.0.0.42 -t hello,world");
    EXPECT_EQ(short_one.status, 0);
    EXPECT_EQ(short_one.err, "qlsend: note: a receiver drops this datagram: fewer than 14 bytes\n");
    Sent ack = qlsend("-s 127.0.0.42 -t 'QLSEND _____qL=ack'");
    EXPECT_EQ(ack.err, "qlsend: note: a receiver drops this datagram: \"qL=\" at offset 12 marks an acknowledgement\n");
    EXPECT_EQ(qlsend("-q -s 127.0.0.42 -t hello,world").err, "") << "-q prints only the summary line";
    EXPECT_EQ(qlsend("-s 127.0.0.42 -t hello,world,42").err, "");
    ASSERT_TRUE(eventually([&] { return file_exists(dir / "Qln042.txt"); }));
    EXPECT_EQ(r->stop(), 0);
    EXPECT_EQ(r->out(), "> Oeffne socket\nFehler: zu kurzes Paket\nFehler: Quittung empfangen\n"
                        "Fehler: zu kurzes Paket\n> beende programm\n> schliesse socket\n");
}

TEST_F(QlsendTest, NumbersEachDatagram) {
    auto r = start({"-a", dir.prefix()});
    Sent numbered = qlsend("-s 127.0.0.42 -n 3 -r 100 -i -t sequence,");
    EXPECT_EQ(numbered.status, 0);
    EXPECT_EQ(numbered.out.substr(0, 20), "datagram: sequence,0");
    ASSERT_TRUE(eventually([&] { return read_file(dir / "Qln042.txt").size() > 3 * 40; }));
    EXPECT_EQ(r->stop(), 0);
    EXPECT_EQ(unstamp(read_file(dir / "Qln042.txt")),
              "STAMP,Quenlink,Qln042,sequence,00000001\nSTAMP,Quenlink,Qln042,sequence,00000002\n"
              "STAMP,Quenlink,Qln042,sequence,00000003\n");
}
