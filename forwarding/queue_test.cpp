#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "forwarding/queue_entry.hpp"
#include "forwarding/queue_file.hpp"
#include "forwarding/retry.hpp"
#include "tests/temp_dir.hpp"

using namespace ql;

namespace {

std::string entry(const std::string& text) {
    char header[entry_header_size];
    entry_header(header, text.data(), text.size());
    return std::string(header, sizeof header) + text;
}

EntryCheck check(const std::string& bytes, std::size_t& len) { return check_entry(bytes.data(), bytes.size(), len); }

// Everything the queue hands out, each finished as delivered.
std::vector<std::string> drain(QueueFile& q) {
    std::vector<std::string> got;
    const char* text;
    std::size_t len;
    std::uint64_t given_up;
    while (q.begin(text, len, given_up)) {
        got.emplace_back(text, len);
        q.finish();
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
    std::uint64_t given_up;
    ASSERT_TRUE(q.begin(text, len, given_up));
    EXPECT_EQ(std::string(text, len), "one");
    q.finish();
    ASSERT_TRUE(q.begin(text, len, given_up));
    q.release();
    ASSERT_TRUE(reopen());
    EXPECT_EQ(taken.pending, 2u);
    EXPECT_EQ(taken.damaged, 0u);
    EXPECT_EQ(read_file(path), entry("two") + entry("three")) << "rewritten without the delivered text";
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
    std::uint64_t given_up;
    ASSERT_TRUE(q.begin(text, len, given_up));  // text 1 is being sent
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
    for (std::uint64_t i = 0; i < fits + 600; ++i) ASSERT_TRUE(add(big));
    EXPECT_EQ(dropped, 600u);
    EXPECT_EQ(q.pending(), fits);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_LE(static_cast<std::uint64_t>(st.st_size), queue_bytes_max + queue_bytes_max / 4);
    ASSERT_TRUE(reopen());
    EXPECT_EQ(taken.pending, fits);
}
