#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/clock.hpp"
#include "delivery/queue_entry.hpp"
#include "delivery/queue_file.hpp"
#include "delivery/retry.hpp"
#include "tests/temp_dir.hpp"

using namespace ql;

namespace {

std::string entry(const std::string& text) {
    char header[entry_header_size];
    entry_header(header, text.data(), text.size());
    return std::string(header, sizeof header) + text;
}

// The header a queue of command texts begins with.
std::string file_header() {
    char out[queue_header_max];
    return std::string(out, queue_header(out, QueueKind::commands));
}

EntryCheck check(const std::string& bytes, std::size_t& len) { return check_entry(bytes.data(), bytes.size(), len); }

// Runs the queue's upkeep to its end, as the receive loop would in slices;
// the texts it gave up.
std::uint64_t settle(QueueFile& q) {
    std::uint64_t given_up = 0;
    for (int slices = 0; q.upkeep_at() >= 0 && q.upkeep_at() <= monotonic_ms() && slices < 100000; ++slices)
        given_up += q.upkeep(monotonic_ms(), 0);
    return given_up;
}

// Everything the queue hands out, each finished as delivered; upkeep runs
// between, as beside reception.
std::vector<std::string> drain(QueueFile& q, std::uint64_t* given_up = nullptr) {
    std::vector<std::string> got;
    const char* text;
    std::size_t len;
    for (;;) {
        if (q.begin(text, len)) {
            got.emplace_back(text, len);
            q.finish();
        } else if (q.upkeep_at() < 0) {
            break;
        }
        std::uint64_t lost = settle(q);
        if (given_up != nullptr) *given_up += lost;
    }
    return got;
}

}  // namespace

TEST(QueueEntry, WholeEntryReadBackAndEveryCutOrChangeSeen) {
    std::string e = entry("setreading _00 state x\r\nquit\n");
    std::size_t len = 0;
    ASSERT_EQ(check(e, len), EntryCheck::pending);
    EXPECT_EQ(len, e.size() - entry_header_size);
    for (std::size_t cut = 0; cut < e.size(); ++cut)
        EXPECT_EQ(check(e.substr(0, cut), len), EntryCheck::cut) << cut;
    for (std::size_t at = 0; at < e.size(); ++at) {
        if (at == entry_state_at) continue;
        std::string changed = e;
        changed[at] ^= 0x01;
        // A longer length reads as a cut: either way it is not an entry.
        EntryCheck c = check(changed, len);
        EXPECT_TRUE(c == EntryCheck::damaged || c == EntryCheck::cut) << at;
    }
    std::string done = e;
    done[entry_state_at] = entry_done;
    EXPECT_EQ(check(done, len), EntryCheck::done);
    done[entry_state_at] = 'X';
    EXPECT_EQ(check(done, len), EntryCheck::damaged);
    EXPECT_EQ(check("garbage, not an entry", len), EntryCheck::damaged);
}

// The sum of every length and split against the plain bitwise one: files
// written before stay readable, whichever way this processor sums.
TEST(QueueEntry, SumIsCrc32) {
    EXPECT_EQ(crc32(0, "123456789", 9), 0xCBF43926u);
    EXPECT_EQ(crc32(0, "", 0), 0u);
    std::string bytes;
    for (int i = 0; i < 700; ++i) bytes.push_back(static_cast<char>(i * 37 + 11 + i / 256));
    for (std::size_t len = 0; len <= bytes.size(); ++len) {
        std::uint32_t plain = 0xFFFFFFFFu;
        for (std::size_t i = 0; i < len; ++i) {
            plain ^= static_cast<unsigned char>(bytes[i]);
            for (int k = 0; k < 8; ++k) plain = (plain & 1) ? 0xEDB88320u ^ (plain >> 1) : plain >> 1;
        }
        ASSERT_EQ(crc32(0, bytes.data(), len), ~plain) << len;
        ASSERT_EQ(crc32_tables(0, bytes.data(), len), ~plain) << len;
        // From an odd address too: the loads are unaligned.
        if (len > 0) {
            ASSERT_EQ(crc32(crc32(0, bytes.data(), 1), bytes.data() + 1, len - 1), ~plain) << len;
        }
        for (std::size_t cut = 0; cut <= len; cut += len <= 80 ? 1 : 13)
            ASSERT_EQ(crc32(crc32(0, bytes.data(), cut), bytes.data() + cut, len - cut), ~plain) << len << " " << cut;
    }
}

TEST(QueueEntry, MarksFoundOnlyAtAZeroByteBeforeQl) {
    std::string bytes = "abc" + entry("t") + "Ql\0Qx" + std::string("\0Q", 2);
    EXPECT_EQ(next_entry_mark(bytes.data(), bytes.size(), 0), 3u);
    EXPECT_EQ(next_entry_mark(bytes.data(), bytes.size(), 4), bytes.size() - 2) << "a mark may straddle the end";
    EXPECT_EQ(next_entry_mark("abcdef", 6, 0), 6u);
}

TEST(Retry, DoublesFromOneSecondToThirtyAndStartsOverAfterASuccess) {
    RetrySchedule r;
    EXPECT_FALSE(r.failing());
    std::vector<std::int64_t> waits;
    for (int i = 0; i < 8; ++i) waits.push_back(r.failed());
    EXPECT_EQ(waits, (std::vector<std::int64_t>{1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000}));
    EXPECT_TRUE(r.failing());
    r.succeeded();
    EXPECT_FALSE(r.failing());
    EXPECT_EQ(r.failed(), 1000);
    r.succeeded();
    waits.clear();
    for (int i = 0; i < 5; ++i) waits.push_back(r.failed(4000));
    EXPECT_EQ(waits, (std::vector<std::int64_t>{1000, 2000, 4000, 4000, 4000})) << "a shorter bound";
    EXPECT_EQ(r.failed_slowest(), 30000);
}

class QueueFileTest : public testing::Test {
protected:
    TempDir dir;
    std::string path = dir / ".qlfwd-queue";
    std::string temp = dir / ".qlfwd-queue-new";
    QueueFile q;
    QueueFile::Taken taken;
    std::uint64_t dropped = 0;

    bool reopen() {
        q.close();
        return q.open(path.c_str(), temp.c_str(), taken);
    }
    bool add(const std::string& text) { return q.append(text.data(), text.size(), dropped); }
};

TEST_F(QueueFileTest, KeepsOrderAcrossReopeningAndEmptiesItsFile) {
    ASSERT_TRUE(reopen());
    EXPECT_EQ(taken.pending, 0u);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    for (const char* t : {"one", "two", "three"}) ASSERT_TRUE(add(t));
    // One delivered, one failed (released), then a restart.
    const char* text;
    std::size_t len;
    ASSERT_TRUE(q.begin(text, len));
    EXPECT_EQ(std::string(text, len), "one");
    q.finish();
    ASSERT_TRUE(q.begin(text, len));
    q.release();
    ASSERT_TRUE(reopen());
    EXPECT_EQ(taken.pending, 2u);
    EXPECT_EQ(taken.damaged, 0u);
    EXPECT_EQ(read_file(path), file_header() + entry("two") + entry("three")) << "rewritten without the delivered text";
    EXPECT_EQ(drain(q), (std::vector<std::string>{"two", "three"}));
    EXPECT_EQ(read_file(path), "");
    struct stat none {};
    EXPECT_NE(stat(temp.c_str(), &none), 0);
}

TEST_F(QueueFileTest, CutAtEveryByteOfTheLastEntry) {
    std::string whole = entry("first") + entry("second");
    std::string last = entry("third text");
    for (std::size_t cut = 0; cut <= last.size(); ++cut) {
        write_file(path, whole + last.substr(0, cut));
        ASSERT_TRUE(reopen());
        bool complete = cut == last.size();
        EXPECT_EQ(taken.pending, complete ? 3u : 2u) << cut;
        EXPECT_EQ(taken.damaged, cut == 0 || complete ? 0u : 1u) << cut;
        std::vector<std::string> want{"first", "second"};
        if (complete) want.push_back("third text");
        EXPECT_EQ(drain(q), want) << cut;
        // New texts go after what was whole, never after the cut bytes.
        ASSERT_TRUE(add("next"));
        ASSERT_TRUE(reopen());
        EXPECT_EQ(drain(q), std::vector<std::string>{"next"}) << cut;
    }
}

TEST_F(QueueFileTest, DamageInsideIsSkippedAndTheRestKept) {
    std::string file = entry("a") + "\xff\xfe junk " + entry("b") + entry("c");
    file[file.size() - 2] ^= 0x40;  // the last text changed
    write_file(path, file);
    ASSERT_TRUE(reopen());
    EXPECT_EQ(taken.pending, 2u);
    EXPECT_EQ(taken.damaged, 2u);
    EXPECT_EQ(drain(q), (std::vector<std::string>{"a", "b"}));
}

TEST_F(QueueFileTest, FullQueueDropsTheOldestButNeverTheOneBeingSent) {
    ASSERT_TRUE(reopen());
    const std::string big(entry_text_max, 'x');
    std::uint64_t fits = queue_bytes_max / (entry_header_size + big.size());
    for (std::uint64_t i = 0; i < fits; ++i) {
        std::string number = std::to_string(i);
        number.resize(8, 'x');
        ASSERT_TRUE(add(number + big.substr(8)));
    }
    // Ten bytes left over.
    std::size_t rest = queue_bytes_max - fits * (entry_header_size + big.size());
    ASSERT_TRUE(add(std::string(rest - entry_header_size - 10, 'f')));
    EXPECT_EQ(dropped, 0u);
    ASSERT_TRUE(add("new"));
    EXPECT_EQ(dropped, 1u) << "text 0 made room";
    const char* text;
    std::size_t len;
    ASSERT_TRUE(q.begin(text, len));  // text 1 is being sent
    // The text being sent counts no more against the bound, so one more fits.
    ASSERT_TRUE(add("B" + big.substr(1)));
    EXPECT_EQ(dropped, 1u);
    ASSERT_TRUE(add("C" + big.substr(1)));
    EXPECT_EQ(dropped, 2u) << "text 2 made room, not text 1";
    EXPECT_EQ(q.pending(), fits + 2);
    q.release();  // text 1 failed: still the oldest
    std::vector<std::string> got = drain(q);
    ASSERT_EQ(got.size(), fits + 2);
    EXPECT_EQ(got[0].substr(0, 2), "1x");
    EXPECT_EQ(got[1].substr(0, 2), "3x");
    EXPECT_EQ(got[got.size() - 4][0], 'f');
    EXPECT_EQ(got[got.size() - 3], "new");
    EXPECT_EQ(got[got.size() - 2][0], 'B');
    EXPECT_EQ(got.back()[0], 'C');
}

// A server away for good: the queue stays full, and its file stays bounded.
TEST_F(QueueFileTest, FileStaysBoundedWhileFullForLong) {
    ASSERT_TRUE(reopen());
    const std::string big(entry_text_max, 'x');
    std::uint64_t fits = queue_bytes_max / (entry_header_size + big.size());
    for (std::uint64_t i = 0; i < fits + 600; ++i) {
        ASSERT_TRUE(add(big));
        settle(q);
    }
    EXPECT_EQ(dropped, 600u);
    EXPECT_EQ(q.pending(), fits);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_LE(static_cast<std::uint64_t>(st.st_size), queue_bytes_max + queue_bytes_max / 4);
    ASSERT_TRUE(reopen());
    EXPECT_EQ(taken.pending, fits);
}

// Upkeep that cannot write (its scratch file cannot be made) leaves the queue
// as it is: every whole text is still delivered, in order, and each damaged
// place is counted once, whether found at the start or later.
TEST_F(QueueFileTest, UpkeepThatCannotWriteKeepsEveryWholeText) {
    temp = dir / "missing/.qlfwd-queue-new";
    std::string done = entry("old");
    done[entry_state_at] = entry_done;
    std::string file = done + entry("a") + "\xff junk" + entry("b");
    write_file(path, file);
    ASSERT_TRUE(reopen());
    EXPECT_EQ(taken.pending, 2u);
    EXPECT_EQ(taken.damaged, 1u);
    EXPECT_TRUE(q.failing());
    EXPECT_EQ(read_file(path), file) << "used as it is";
    ASSERT_TRUE(add("c"));
    std::uint64_t given_up = 0;
    EXPECT_EQ(drain(q, &given_up), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(given_up, 0u) << "the damage was counted at the start";
    EXPECT_EQ(read_file(path), "") << "emptied";

    // Damage found while running: the damaged text alone is given up.
    for (int i = 0; i < 2000; ++i) ASSERT_TRUE(add("text " + std::to_string(i)));
    {
        std::string bytes = read_file(path);
        bytes[file_header().size() + entry_header_size + 1] ^= 0x20;
        write_file(path, bytes);
    }
    given_up = 0;
    std::vector<std::string> got = drain(q, &given_up);
    EXPECT_EQ(given_up, 1u);
    ASSERT_EQ(got.size(), 1999u);
    EXPECT_EQ(got.front(), "text 1");
    EXPECT_EQ(got.back(), "text 1999");
}

// Compaction goes in slices while texts arrive and are delivered; marks made
// meanwhile reach the copy, and what a restart finds is exactly what waits.
TEST_F(QueueFileTest, CompactionInSlicesKeepsOrderAndMarks) {
    ASSERT_TRUE(reopen());
    const std::string big(4000, 'x');
    int added = 0, delivered = 0;
    auto deliver = [&](int n) {
        const char* text;
        std::size_t len;
        for (int i = 0; i < n && q.begin(text, len); ++i, ++delivered) {
            ASSERT_EQ(std::string(text, len), std::to_string(delivered) + big);
            q.finish();
        }
    };
    for (; added < 2000; ++added) ASSERT_TRUE(add(std::to_string(added) + big));
    deliver(450);  // 1.8 MiB delivered: over a quarter of what waits
    ASSERT_EQ(q.upkeep_at(), 0);
    int slices = 0;
    while (q.upkeep_at() >= 0) {
        q.upkeep(monotonic_ms(), 0);  // one piece of 64 KiB a slice
        ASSERT_TRUE(add(std::to_string(added++) + big));
        deliver(1);
        ++slices;
    }
    EXPECT_GT(slices, 10);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_LT(st.st_size, 2000 * 4012) << "the delivered front was cut away";
    ASSERT_TRUE(reopen());
    EXPECT_EQ(taken.pending, static_cast<std::uint64_t>(added - delivered));
    EXPECT_EQ(taken.damaged, 0u);
    deliver(added);
    EXPECT_EQ(delivered, added);
}

TEST_F(QueueFileTest, SeveralOutSettleOldestFirstAndGoBackInOrder) {
    ASSERT_TRUE(reopen());
    for (const char* t : {"a", "b", "c", "d", "e"}) ASSERT_TRUE(add(t));
    const char* text;
    std::size_t len;
    std::vector<std::string> out;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(q.begin(text, len));
        out.emplace_back(text, len);
    }
    EXPECT_EQ(out, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(q.out(), 3u);
    q.finish();  // "a" arrived
    ASSERT_TRUE(q.begin(text, len));
    EXPECT_EQ(std::string(text, len), "d");
    q.release();  // the connection went: "b", "c", "d" again, in order
    ASSERT_TRUE(reopen());
    EXPECT_EQ(taken.pending, 4u) << "a restart sends again what was out, never what arrived";
    EXPECT_EQ(drain(q), (std::vector<std::string>{"b", "c", "d", "e"}));
}

// A backlog read back and settled in a burst: the marks go into the file at
// the next wake without a text (one write where the texts were read ahead),
// and until then a crash would only send the settled texts again, never lose one.
TEST_F(QueueFileTest, MarksOfABurstWrittenTogether) {
    ASSERT_TRUE(reopen());
    std::string pending, done;
    for (int i = 0; i < 40; ++i) {
        std::string t = "text " + std::to_string(i);
        ASSERT_TRUE(add(t));
        (i < 20 ? done : pending) += entry(t);
    }
    q.upkeep(monotonic_ms(), 0);  // the wake the texts came in
    const char* text;
    std::size_t len;
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(q.begin(text, len));
    for (int i = 0; i < 20; ++i) q.finish();
    EXPECT_EQ(read_file(path), file_header() + done + pending) << "not yet marked: sent again after a crash";
    q.upkeep(monotonic_ms(), 0);
    for (std::size_t at = 0; at < done.size();) {
        std::size_t text_len = 0;
        ASSERT_TRUE(entry_length(done.data() + at, text_len));
        done[at + entry_state_at] = entry_done;
        at += entry_header_size + text_len;
    }
    EXPECT_EQ(read_file(path), file_header() + done + pending);
    ASSERT_TRUE(reopen());
    EXPECT_EQ(taken.pending, 20u);
    EXPECT_EQ(drain(q).front(), "text 20");
}

// A steady flow, each text delivered while the next is out: its mark goes in
// a later text's write, so that what a crash leaves is never more than the
// last two to send again.
TEST_F(QueueFileTest, MarksGoWithTheNextText) {
    ASSERT_TRUE(reopen());
    const char* text;
    std::size_t len;
    auto text_of = [](int i) { return std::to_string(i) + std::string(100, 'x'); };
    std::string marked = file_header();
    ASSERT_TRUE(add(text_of(0)));
    ASSERT_TRUE(q.begin(text, len));
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(add(text_of(i + 1)));
        if (i >= 1) {
            std::string done = entry(text_of(i - 1));
            done[entry_state_at] = entry_done;
            marked += done;
        }
        ASSERT_EQ(read_file(path), marked + entry(text_of(i)) + entry(text_of(i + 1))) << i;
        ASSERT_TRUE(q.begin(text, len));
        ASSERT_EQ(std::string(text, len), text_of(i + 1));
        q.finish();  // text i arrived
    }
    // The flow pauses: the wake text 200 came in leaves the mark owed, the
    // next one writes it, due at the latest 100 ms on.
    std::string pause = marked + entry(text_of(199)) + entry(text_of(200));
    q.upkeep(monotonic_ms(), 0);
    EXPECT_EQ(read_file(path), pause);
    EXPECT_GE(q.marks_due_at(), 0) << "the loop is asked to wake for it";
    EXPECT_LE(q.marks_due_at(), monotonic_ms() + 100);
    q.upkeep(monotonic_ms(), 0);
    pause[marked.size() + entry_state_at] = entry_done;
    EXPECT_EQ(read_file(path), pause);
}

// Write calls this process has made so far (reads of its own counts), or -1.
long writes_so_far() {
    FILE* io = std::fopen("/proc/self/io", "r");
    long n = -1;
    char line[64];
    while (io != nullptr && std::fgets(line, sizeof line, io) != nullptr)
        if (std::sscanf(line, "syscw: %ld", &n) == 1) break;
    if (io != nullptr) std::fclose(io);
    return n;
}

std::int64_t test_now = 0;

// A backlog sent 20 at a time, one acknowledgement a wake, as the broker's
// come: the marks go some KiB at a time in one write, also while upkeep
// copies the file, and wait at most 100 ms; what a restart finds is exactly
// what was not delivered.
TEST(QueueFileBacklog, MarksOfManyAcknowledgementsGoInOneWrite) {
    if (writes_so_far() < 0) GTEST_SKIP() << "no write count in /proc/self/io here";
    TempDir dir;
    std::string path = dir / ".qlfwd-queue", temp = dir / ".qlfwd-queue-new";
    test_now = 0;
    QueueFile q(+[] { return test_now; });
    QueueFile::Taken taken;
    ASSERT_TRUE(q.open(path.c_str(), temp.c_str(), taken));
    constexpr int texts = 8000;
    std::uint64_t dropped = 0;
    for (int i = 0; i < texts; ++i) {
        std::string t = std::to_string(i) + std::string(200, 'x');
        ASSERT_TRUE(q.append(t.data(), t.size(), dropped));
    }
    q.upkeep(test_now, test_now);  // the wake they came in
    const char* text;
    std::size_t len;
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(q.begin(text, len));
    long before = writes_so_far();
    int delivered = 0, compactions = 0;
    for (; delivered < texts - 40; ++delivered) {
        q.finish();
        ASSERT_TRUE(q.begin(text, len));
        ASSERT_EQ(std::string(text, len), std::to_string(delivered + 20) + std::string(200, 'x'));
        bool copying = q.upkeep_at() >= 0;
        q.upkeep(test_now, test_now);  // one slice a wake
        compactions += copying && q.upkeep_at() < 0;
    }
    long writes = writes_so_far() - before;
    EXPECT_GE(compactions, 1) << "the file was copied meanwhile";
    EXPECT_LT(writes, texts / 8) << "marks one by one";
    q.finish();
    before = writes_so_far();
    q.upkeep(test_now, test_now);
    EXPECT_EQ(writes_so_far() - before, 0) << "more acknowledgements are coming";
    EXPECT_EQ(q.marks_due_at(), test_now + 100);
    test_now += 100;
    q.upkeep(test_now, test_now);
    EXPECT_EQ(writes_so_far() - before, 1) << "written once they waited 100 ms";
    q.close();
    ASSERT_TRUE(q.open(path.c_str(), temp.c_str(), taken));
    EXPECT_EQ(taken.pending, 39u) << "the 19 out and the 20 behind them";
    EXPECT_EQ(drain(q).front(), std::to_string(texts - 39) + std::string(200, 'x'));
}

TEST_F(QueueFileTest, NoMoreThanItsLimitOut) {
    ASSERT_TRUE(reopen());
    for (unsigned i = 0; i < QueueFile::out_max + 2; ++i) ASSERT_TRUE(add("t" + std::to_string(i)));
    const char* text;
    std::size_t len;
    for (unsigned i = 0; i < QueueFile::out_max; ++i) ASSERT_TRUE(q.begin(text, len));
    EXPECT_FALSE(q.begin(text, len));
    q.finish();
    ASSERT_TRUE(q.begin(text, len));
    EXPECT_EQ(std::string(text, len), "t" + std::to_string(QueueFile::out_max));
}

// Appends, sends, settlements and returns in a fixed pseudo-random order,
// against a plain list: every text is handed out in order, and what a
// restart finds is exactly what had not been settled.
TEST_F(QueueFileTest, ModelOfAppendsSendsAndReturns) {
    ASSERT_TRUE(reopen());
    std::vector<std::string> pending;  // oldest first; the first `out` of them are out
    std::vector<std::string> settled;
    std::size_t out = 0;
    unsigned seed = 12345, serial = 0;
    auto next_random = [&] { return (seed = seed * 1103515245u + 12345u) >> 16; };
    for (int step = 0; step < 20000; ++step) {
        const char* text;
        std::size_t len;
        switch (next_random() % 5) {
            case 0:
            case 1: {
                // Now and then one longer than all that is kept of the file in memory.
                std::size_t pad = next_random() % 50 == 0 ? 20000 : next_random() % 300;
                std::string t = "text " + std::to_string(serial++) + std::string(pad, 'x');
                ASSERT_TRUE(add(t));
                pending.push_back(t);
                break;
            }
            case 2:
                if (out < pending.size() && out < QueueFile::out_max) {
                    ASSERT_TRUE(q.begin(text, len)) << step;
                    ASSERT_EQ(std::string(text, len), pending[out]) << step;
                    ++out;
                } else {
                    EXPECT_FALSE(q.begin(text, len)) << step;
                }
                break;
            case 3:
                if (out > 0) {
                    q.finish();
                    settled.push_back(pending.front());
                    pending.erase(pending.begin());
                    --out;
                }
                break;
            case 4:
                if (next_random() % 4 == 0) {
                    q.release();
                    out = 0;
                }
                break;
        }
        ASSERT_EQ(q.pending(), pending.size()) << step;
        settle(q);
        if (step % 500 == 0) {
            // What a crash now would leave: no damage, every text still to be
            // sent, after at most the last few settled, whose marks are owed.
            std::string copy = dir / ".crash";
            write_file(copy, read_file(path));
            QueueFile other;
            QueueFile::Taken found;
            ASSERT_TRUE(other.open(copy.c_str(), (copy + "-new").c_str(), found)) << step;
            EXPECT_EQ(found.damaged, 0u) << step;
            std::vector<std::string> got = drain(other);
            ASSERT_GE(got.size(), pending.size()) << step;
            std::size_t owed = got.size() - pending.size();
            ASSERT_LE(owed, 64u) << step;
            ASSERT_LE(owed, settled.size()) << step;
            long again = static_cast<long>(owed);
            EXPECT_TRUE(std::equal(got.begin(), got.begin() + again, settled.end() - again)) << step;
            EXPECT_TRUE(std::equal(pending.begin(), pending.end(), got.begin() + again)) << step;
        }
    }
    ASSERT_TRUE(reopen());
    EXPECT_EQ(drain(q), pending);
}

// The file's header: this release's, none (the first release's files, or an
// empty one), one cut while it was made, and everything else foreign.
TEST(QueueHeader, EachVersionAndDamageAtEveryByte) {
    char ours[queue_header_max];
    std::string header(ours, queue_header(ours, QueueKind::records));
    EXPECT_EQ(header, "qlfwd queue M 1\n");
    std::size_t len = 0;
    unsigned version = 0;
    auto check = [&](const std::string& bytes, QueueKind kind = QueueKind::records) {
        return check_queue_header(bytes.data(), bytes.size(), kind, len, version);
    };
    std::string first_entry = entry("qlfwd/Qln042\n{}");
    struct Case {
        std::string bytes;
        HeaderCheck check;
        unsigned version;
    } cases[] = {
        {header + first_entry, HeaderCheck::current, 0},
        {header, HeaderCheck::current, 0},
        {first_entry, HeaderCheck::none, 0},  // the first release's file
        {"", HeaderCheck::none, 0},
        {std::string("\0Q", 2), HeaderCheck::none, 0},  // its first entry cut in its mark
        {std::string(16, '\0') + first_entry, HeaderCheck::none, 0},  // a zeroed block: searched past
        {"qlfwd queue M 2\n" + first_entry, HeaderCheck::foreign, 2},
        {"qlfwd queue M 17\n", HeaderCheck::foreign, 17},
        {"qlfwd queue C 1\n", HeaderCheck::foreign, 1},  // command texts are no records
        {"qlfwd queue M 1", HeaderCheck::cut, 0},
        {"qlf", HeaderCheck::cut, 0},
        {"something else entirely", HeaderCheck::foreign, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(check(c.bytes), c.check) << c.bytes;
        EXPECT_EQ(version, c.version) << c.bytes;
    }
    EXPECT_EQ(check(header + "x"), HeaderCheck::current);
    EXPECT_EQ(len, header.size());
    // Any byte of it damaged: never taken for this release's; a zero first
    // is the first release's mark, whose entries are searched for past damage.
    for (std::size_t at = 0; at < header.size(); ++at) {
        for (unsigned char value : {0x00, 0x20, 0x31, 0x43, 0x51, 0xFF}) {
            std::string damaged = header + first_entry;
            if (static_cast<unsigned char>(damaged[at]) == value) continue;
            damaged[at] = static_cast<char>(value);
            HeaderCheck got = check(damaged);
            EXPECT_EQ(got, at == 0 && value == 0 ? HeaderCheck::none : HeaderCheck::foreign) << at << " " << int(value);
        }
    }
}

// Any file another release wrote (or one damaged at its start) is left
// exactly as it is: not rewritten, cut, appended to, nor its mode changed.
TEST_F(QueueFileTest, AForeignFileIsLeftExactlyAsItIs) {
    std::string newer = "qlfwd queue C 2\n" + entry("a text of a later format");
    write_file(path, newer);
    chmod(path.c_str(), 0640);
    unsigned version = 0;
    EXPECT_EQ(q.open(path.c_str(), temp.c_str(), QueueKind::commands, taken, version), QueueFile::Opened::foreign);
    EXPECT_EQ(version, 2u);
    EXPECT_FALSE(q.is_open());
    EXPECT_FALSE(add("new"));
    EXPECT_EQ(read_file(path), newer);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// A power cut that zeroed the file's first block loses only what the block
// held: the entries after it are found and delivered.
TEST_F(QueueFileTest, ZeroedStartSearchedPast) {
    std::string kept = entry("second") + entry("third");
    write_file(path, std::string(file_header().size() + 12 + 5, '\0') + kept);
    ASSERT_TRUE(reopen());
    EXPECT_EQ(taken.pending, 2u);
    EXPECT_EQ(drain(q), (std::vector<std::string>{"second", "third"}));
}

// A file of the first release is read and delivered as it stands, new texts
// after it; the next compaction writes it anew behind this release's header.
TEST_F(QueueFileTest, FirstReleaseFileDeliveredThenRewrittenWithAHeader) {
    std::string old;
    for (int i = 0; i < 3000; ++i) old += entry("old text " + std::to_string(i) + std::string(500, '.'));
    write_file(path, old);
    ASSERT_TRUE(reopen());
    EXPECT_EQ(taken.pending, 3000u);
    EXPECT_EQ(read_file(path), old) << "used as it stands";
    ASSERT_TRUE(add("new text"));
    const char* text;
    std::size_t len;
    for (int i = 0; i < 2500; ++i) {
        ASSERT_TRUE(q.begin(text, len));
        EXPECT_EQ(std::string(text, len).substr(0, 9 + std::to_string(i).size()), "old text " + std::to_string(i));
        q.finish();
        settle(q);
    }
    std::string now = read_file(path);
    EXPECT_TRUE(now.starts_with(file_header())) << "compacted behind a header";
    EXPECT_LT(now.size(), old.size() / 2);
    std::vector<std::string> rest = drain(q);
    ASSERT_EQ(rest.size(), 501u);
    EXPECT_TRUE(rest.front().starts_with("old text 2500"));
    EXPECT_EQ(rest.back(), "new text");
}
