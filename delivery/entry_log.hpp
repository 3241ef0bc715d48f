// The delivery queue's file: texts in arrival order behind a header naming
// their kind and format, each kept until it is delivered or given up, so that
// a crash or restart loses none. Memory does not grow with its length: only
// places and counts are held, and one text is read back at a time. Its upkeep
// (cutting delivered texts away by writing the rest anew, and finding its way
// past damage) is an explicit state, worked off in slices beside reception;
// upkeep that cannot write leaves the file as it is: no intact text is lost to it.
//
// Places handed out stay valid across compactions: they count from where the
// queue began, not from the start of the file it lives in now.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "common/clock.hpp"
#include "delivery/queue_entry.hpp"
#include "delivery/retry.hpp"

namespace ql {

// Texts waiting take at most this much of the file: some 200,000 command
// texts, hours of a site's readings, yet little on a small host's card. The
// file may grow by a quarter more before it is compacted.
constexpr std::uint64_t queue_bytes_max = 64ull * 1024 * 1024;

class EntryLog {
public:
    // clock: the one its caller's deadlines are on, for the upkeep and mark
    // deadlines it gives back.
    explicit EntryLog(MonotonicClock clock = monotonic_ms) : clock_(clock) {}

    struct Taken {
        std::uint64_t pending = 0;  // whole texts found waiting
        std::uint64_t damaged = 0;  // damaged or cut places, each dropped as one text
    };
    enum class Opened {
        ok,
        failed,   // cannot be opened or read; left untouched
        foreign,  // another kind, or a newer or unknown format: left exactly as it is
    };
    enum class Upkeep { none, recount, compact };

    // Opens (or makes, mode 0600) the queue at path and takes over what an
    // earlier run left; temp is the scratch name for rewriting it. A file with
    // delivered or damaged entries is rewritten to hold only the whole pending
    // texts, in their order; where that cannot be written it is used as it
    // is. version: what a foreign file's header says (0: nothing readable).
    Opened open(const char* path, const char* temp, QueueKind kind, Taken& taken, unsigned& version);
    bool is_open() const { return fd_ >= 0; }
    void close();

    // Appends a text. To keep within queue_bytes_max it first drops the oldest
    // texts (never one out), adding their number to dropped. False when the
    // text could not be written (nothing of it stays).
    bool append(const char* text, std::size_t len, std::uint64_t& dropped);

    // Reads the oldest text not yet out, for sending, and counts it out: its
    // text (valid until the next call) and its place. False when there is
    // none, or when the file proved damaged there: upkeep then finds the next
    // whole text and says what the damage cost.
    bool take_next(const char*& text, std::size_t& len, std::int64_t& at);
    // The oldest text out is done with (delivered or given up); next_out is
    // the place of the oldest one still out after it (-1: none).
    void settle_oldest(std::int64_t next_out);
    // Writes the marks of the texts settled since the last call: a burst's
    // many acknowledgements in one write where the bytes between are at hand.
    // Marks not yet written cost at most a text sent again after a crash.
    void write_marks();
    // Every text out stays queued, to be sent again in order.
    void rewind();
    unsigned out() const { return out_; }

    Upkeep upkeep_state() const { return work_; }
    // From when upkeep is due (monotonic ms), or -1 when none is.
    std::int64_t upkeep_at() const;
    // When upkeep is due for the marks owed alone: marks_wait_most_ms after
    // the first of them; -1 when none are owed.
    std::int64_t marks_due_at() const { return fd_ >= 0 && owed_count_ > 0 ? owed_since_ms_ + marks_wait_most_ms : -1; }
    // Does upkeep until the clock passes until_ms, at most some 64 KiB past it;
    // called at every wake, it writes the marks owed when no text came since
    // (during a backlog's sending, once they waited marks_wait_most_ms).
    // Returns how many texts were found damaged, given up.
    std::uint64_t upkeep(std::int64_t now_ms, std::int64_t until_ms);

    std::uint64_t pending() const { return count_; }
    // A write, mark or truncation of the file failed, and none has succeeded since.
    bool failing() const { return failing_; }

    // A walk over the file's entries, which can stop and go on later.
    struct Scan {
        off_t at = 0;
        bool in_damage = false;
        Taken taken;
        std::uint64_t done = 0;
        off_t first_pending = -1;
    };

private:
    bool take_over(Taken& taken, unsigned& version, bool& foreign);
    bool write_header(int fd);
    void want_compaction(bool forced);
    bool compact_slice(std::int64_t until_ms, bool& done);
    void compaction_failed();
    void compacted();
    void end_compaction();
    std::uint64_t recount_slice(std::int64_t until_ms, bool& done);
    void emptied();
    void mark_done(off_t at);
    bool drop_oldest(std::uint64_t& dropped);
    // Where the marks owed begin when they can go in the next append's write
    // (all in the copy ahead, close before the tail); tail_ when they cannot.
    off_t marks_carried_from() const;
    // Keeps the copy ahead equal to the file's end: texts a burst queues are
    // sent, and their marks written, from memory.
    void mirror(const char* header, const char* text, std::size_t len);
    // Reads the copy ahead anew for next_, from the oldest text out where it
    // lies close and past after (ahead_at_ -1 when the file has no byte at next_).
    void read_ahead(off_t after);
    // The first n marks owed, set in the copy ahead (they all lie in it).
    void mark_owed_ahead(unsigned n);
    void wrote(bool ok);

    MonotonicClock clock_;
    int fd_ = -1;
    char path_[160] = {};
    char temp_[170] = {};
    QueueKind kind_ = QueueKind::commands;
    char header_[queue_header_max] = {};
    std::size_t header_len_ = 0;
    // Offsets in the file. An empty file has no header yet (data_start_ 0),
    // nor has a file of the first release.
    off_t data_start_ = 0;
    off_t head_ = 0;   // the oldest pending text (maybe out)
    off_t next_ = 0;   // the oldest pending text not out
    off_t tail_ = 0;   // where the next text goes
    std::int64_t shift_ = 0;  // a place handed out, less this, is its offset in the file
    std::uint64_t count_ = 0;
    unsigned out_ = 0;
    bool failing_ = false;
    bool trim_tail_ = false;  // bytes of a failed append may lie past tail_
    // The text appended last, while it is the next to be sent: take_next
    // hands it from here instead of reading it back (a system call a text saved).
    off_t newest_at_ = -1;  // where it lies in the file; -1: none kept
    char newest_[entry_header_size + entry_text_max];
    // A copy of some of the file's pending part: the bytes read last (one read
    // for a backlog's several texts), or those appended since.
    static constexpr std::size_t ahead_max = 64 * 1024;
    // What the appends keep of it: the newest texts, sent from memory.
    static constexpr std::size_t mirror_max = 16 * 1024;
    off_t ahead_at_ = -1;  // -1: nothing read ahead
    std::size_t ahead_len_ = 0;
    char ahead_[ahead_max];
    // Settled texts whose mark is still to be written, oldest first, all
    // within marks_span_max bytes.
    static constexpr unsigned owed_max = 64;
    static constexpr std::size_t marks_span_max = 4096;
    bool appended_ = false;  // since the last upkeep
    // A crash in a pause after a burst sends at most this long's settled texts again.
    static constexpr std::int64_t marks_wait_most_ms = 100;
    std::int64_t owed_since_ms_ = 0;
    off_t owed_[owed_max];
    unsigned owed_count_ = 0;

    Upkeep work_ = Upkeep::none;
    // Compaction: the rest from copy_from_ is copied to fresh_ (behind its
    // header) up to copied_, then put in place by rename. Forced where a mark
    // could not be written.
    int fresh_ = -1;
    off_t copy_from_ = 0, copied_ = 0;
    bool forced_ = false;
    bool mark_failed_ = false;
    std::int64_t compact_retry_at_ = 0;
    RetrySchedule retry_;
    // Recount after damage: where it is, and what it found.
    Scan recount_;
};

}  // namespace ql
