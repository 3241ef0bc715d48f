// The delivery queue on disk: command texts in arrival order, each kept until
// it is delivered or given up, so that a crash or restart loses none. Memory
// does not grow with its length: only offsets and counts are held, and one
// text is read back at a time. Its upkeep (cutting delivered texts away, and
// finding its way past damage) goes in slices beside reception, and upkeep
// that cannot write leaves the file as it is: no intact text is ever lost to it.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "delivery/queue_entry.hpp"
#include "delivery/retry.hpp"

namespace ql {

// Command texts waiting take at most this much of the file: some 200,000 texts,
// hours of a site's readings, yet little on a small host's card. The file may
// grow by a quarter more before it is compacted.
constexpr std::uint64_t queue_bytes_max = 64ull * 1024 * 1024;

class QueueFile {
public:
    struct Taken {
        std::uint64_t pending = 0;  // whole texts found waiting
        std::uint64_t damaged = 0;  // damaged or cut places, each dropped as one text
    };

    // Opens (or makes, mode 0600) the queue at path and takes over what an
    // earlier run left; temp is the scratch name for rewriting it. A file with
    // delivered or damaged entries is rewritten to hold only the whole pending
    // texts, in their order; where that cannot be written it is used as it is.
    // False when it cannot be opened or read (it is left untouched).
    bool open(const char* path, const char* temp, Taken& taken);
    bool is_open() const { return fd_ >= 0; }
    void close();

    // Appends a text. To keep within queue_bytes_max it first drops the oldest
    // texts (never one being sent), adding their number to dropped. False when
    // the text could not be written (nothing of it stays).
    bool append(const char* text, std::size_t len, std::uint64_t& dropped);

    // Up to this many texts may be out (begun, not yet finished) at once.
    static constexpr unsigned out_max = 32;

    // Reads the oldest text not yet out, for sending; text stays valid until
    // the next call. False when there is none, when out_max are out, or when
    // the file proved damaged there: upkeep then finds the next whole text and
    // says what the damage cost.
    bool begin(const char*& text, std::size_t& len);
    // The oldest text out is done with (delivered or given up).
    void finish();
    // Every text out stays queued, to be sent again in order.
    void release();
    unsigned out() const { return out_count_; }

    // From when upkeep is due (monotonic ms), or -1 when none is.
    std::int64_t upkeep_at() const;
    // Does upkeep until the clock passes until_ms, at most some 64 KiB past it.
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
    enum class Work { none, recount, compact };

    bool take_over(Taken& taken);
    void want_compaction(bool forced);
    bool compact_slice(std::int64_t until_ms, bool& done);
    void compaction_failed();
    void compacted();
    void end_compaction();
    std::uint64_t recount_slice(std::int64_t until_ms, bool& done);
    void emptied();
    void mark_done(off_t at);
    bool drop_oldest(std::uint64_t& dropped);
    void wrote(bool ok);

    int fd_ = -1;
    char path_[160] = {};
    char temp_[170] = {};
    off_t head_ = 0;   // the oldest pending text (maybe out)
    off_t next_ = 0;   // the oldest pending text not out
    off_t tail_ = 0;   // where the next text goes
    std::uint64_t count_ = 0;
    // Where the texts out begin, oldest first (a ring).
    off_t out_at_[out_max] = {};
    unsigned out_first_ = 0, out_count_ = 0;
    bool failing_ = false;
    bool trim_tail_ = false;  // bytes of a failed append may lie past tail_
    // The text appended last, while it is the next to be sent: begin takes it
    // from here instead of reading it back (a system call a text saved).
    off_t newest_at_ = -1;  // where it lies in the file; -1: none kept
    char newest_[entry_header_size + entry_text_max];

    Work work_ = Work::none;
    // Compaction: the rest from copy_from_ is copied to fresh_ up to copied_,
    // then put in place by rename. Forced where a mark could not be written.
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
