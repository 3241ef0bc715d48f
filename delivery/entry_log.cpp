#include "delivery/entry_log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/clock.hpp"
#include "common/durable.hpp"
#include "common/storage.hpp"

namespace ql {

namespace {

// One entry, header and text, at most: the scan's window and the text read
// back for sending. Compaction copies through its own buffer, so that it can
// go on while a text is being sent.
char window[entry_header_size + entry_text_max];
char copy_buffer[64 * 1024];

// How much upkeep does between looks at the clock.
constexpr std::size_t slice_bytes = sizeof copy_buffer;

// A view of the file through the window, read anew only when what is asked
// for is not in it: a scan reads each byte about once, however small the entries.
class View {
public:
    View(int fd, off_t size) : fd_(fd), size_(size) {}
    // The bytes from at on (avail of them, at least need where the file has
    // them), or null on a read error.
    const char* at(off_t at, std::size_t need, std::size_t& avail) {
        off_t want_end = at + static_cast<off_t>(need) < size_ ? at + static_cast<off_t>(need) : size_;
        if (at < base_ || want_end > base_ + static_cast<off_t>(have_)) {
            std::size_t want = sizeof window;
            if (static_cast<off_t>(want) > size_ - at) want = static_cast<std::size_t>(size_ - at);
            ssize_t got = read_all_at(fd_, window, want, at);
            if (got < 0) return nullptr;
            base_ = at;
            have_ = static_cast<std::size_t>(got);
        }
        avail = have_ - static_cast<std::size_t>(at - base_);
        return window + (at - base_);
    }

private:
    int fd_;
    off_t size_;
    off_t base_ = 0;
    std::size_t have_ = 0;
};

using Scan = EntryLog::Scan;

enum class ScanStep { more, finished, failed };

// Walks from scan.at up to end: counts what it finds and, where copy_to is
// open, writes every whole pending entry there, in order. After a damaged
// place it goes on at the next entry mark that starts a whole entry. Stops
// when clock has passed until_ms (looked at every slice_bytes).
ScanStep scan_step(int fd, off_t end, int copy_to, Scan& scan, MonotonicClock clock, std::int64_t until_ms) {
    View view(fd, end);
    off_t looked_at = scan.at;
    while (scan.at < end) {
        if (scan.at - looked_at >= static_cast<off_t>(slice_bytes)) {
            if (clock() >= until_ms) return ScanStep::more;
            looked_at = scan.at;
        }
        std::size_t avail = 0, len = 0;
        const char* bytes = view.at(scan.at, entry_header_size, avail);
        if (bytes != nullptr && avail >= entry_header_size && entry_length(bytes, len))
            bytes = view.at(scan.at, entry_header_size + len, avail);
        if (bytes == nullptr || avail == 0) return ScanStep::failed;
        EntryCheck check = check_entry(bytes, avail, len);
        if (check == EntryCheck::pending || check == EntryCheck::done) {
            scan.in_damage = false;
            if (check == EntryCheck::done) {
                ++scan.done;
            } else {
                if (scan.first_pending < 0) scan.first_pending = scan.at;
                ++scan.taken.pending;
                if (copy_to >= 0 && !write_all(copy_to, bytes, entry_header_size + len)) return ScanStep::failed;
            }
            scan.at += static_cast<off_t>(entry_header_size + len);
            continue;
        }
        if (!scan.in_damage) ++scan.taken.damaged;
        scan.in_damage = true;
        bytes = view.at(scan.at, sizeof window, avail);
        if (bytes == nullptr) return ScanStep::failed;
        std::size_t mark = next_entry_mark(bytes, avail, 1);
        if (mark < avail) {
            scan.at += static_cast<off_t>(mark);
        } else if (scan.at + static_cast<off_t>(avail) >= end) {
            scan.at = end;  // no further entry: the file ends in the damage
        } else {
            scan.at += static_cast<off_t>(avail - 2);  // a mark may straddle the window's end
        }
    }
    return ScanStep::finished;
}

int open_queue(const char* path, int flags) {
    int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | flags, 0600);
    if (fd >= 0) (void)::fchmod(fd, 0600);
    return fd;
}

}  // namespace

void EntryLog::wrote(bool ok) {
    failing_ = !ok;
    if (ok) durable_wrote();
}

bool EntryLog::write_header(int fd) { return write_all_at(fd, header_, header_len_, 0); }

EntryLog::Opened EntryLog::open(const char* path, const char* temp, QueueKind kind, Taken& taken, unsigned& version) {
    close();
    std::snprintf(path_, sizeof path_, "%s", path);
    std::snprintf(temp_, sizeof temp_, "%s", temp);
    kind_ = kind;
    header_len_ = queue_header(header_, kind);
    version = 0;
    // One that is there is not touched (not even its mode) before it proved ours.
    fd_ = ::open(path_, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd_ < 0 && errno == ENOENT) fd_ = open_queue(path_, 0);
    if (fd_ < 0) return Opened::failed;
    bool foreign = false;
    if (take_over(taken, version, foreign)) {
        (void)::fchmod(fd_, 0600);
        return Opened::ok;
    }
    ::close(fd_);
    fd_ = -1;
    return foreign ? Opened::foreign : Opened::failed;
}

void EntryLog::close() {
    if (fd_ >= 0) write_marks();
    newest_at_ = ahead_at_ = -1;
    owed_count_ = 0;
    end_compaction();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    data_start_ = head_ = next_ = tail_ = 0;
    count_ = 0;
    out_ = 0;
    work_ = Upkeep::none;
    forced_ = mark_failed_ = trim_tail_ = false;
    compact_retry_at_ = 0;
    retry_.succeeded();
}

bool EntryLog::take_over(Taken& taken, unsigned& version, bool& foreign) {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return false;
    char start[queue_header_max];
    ssize_t got = read_all_at(fd_, start, sizeof start, 0);
    if (got < 0) return false;
    std::size_t header_len = 0;
    switch (check_queue_header(start, static_cast<std::size_t>(got), kind_, header_len, version)) {
        case HeaderCheck::foreign: foreign = true; return false;
        case HeaderCheck::cut:
            // Made, and cut before its header was whole: it holds nothing.
            if (!cut_file(fd_, 0)) return false;
            st.st_size = 0;
            data_start_ = 0;
            break;
        case HeaderCheck::none: data_start_ = 0; break;
        case HeaderCheck::current: data_start_ = static_cast<off_t>(header_len); break;
    }
    Scan scan;
    scan.at = data_start_;
    if (scan_step(fd_, st.st_size, -1, scan, clock_, INT64_MAX) != ScanStep::finished) return false;
    taken = scan.taken;
    head_ = next_ = data_start_;
    tail_ = st.st_size;
    shift_ = 0;
    count_ = taken.pending;
    out_ = 0;
    if (scan.done > 0 || taken.damaged > 0) {
        // Only the whole pending texts stay, behind this release's header:
        // written anew, then put in place at once.
        int fresh = open_queue(temp_, O_TRUNC);
        Scan again;
        again.at = data_start_;
        if (fresh >= 0 && write_all(fresh, header_, header_len_) &&
            scan_step(fd_, st.st_size, fresh, again, clock_, INT64_MAX) == ScanStep::finished && rename_file(temp_, path_)) {
            ::close(fd_);
            fd_ = fresh;
            data_start_ = head_ = next_ = static_cast<off_t>(header_len_);
            tail_ = ::lseek(fd_, 0, SEEK_END);
            wrote(true);
        } else {
            // Used as it is: delivery walks past what is done or damaged (the
            // damage counted here, once), and new texts go after its end.
            if (fresh >= 0) ::close(fresh);
            (void)::unlink(temp_);
            wrote(false);
        }
    }
    if (count_ == 0 && tail_ > 0) emptied();
    return true;
}

void EntryLog::emptied() {
    newest_at_ = ahead_at_ = -1;
    owed_count_ = 0;  // nothing left to mark
    end_compaction();
    work_ = Upkeep::none;
    if (cut_file(fd_, 0)) {
        // Its header comes back with the next text.
        data_start_ = head_ = next_ = tail_ = 0;
        forced_ = mark_failed_ = trim_tail_ = false;
        wrote(true);
        return;
    }
    // What stays is done with; new texts go after it, and it goes at the next chance.
    wrote(false);
    head_ = next_ = tail_;
}

void EntryLog::mark_done(off_t at) {
    bool ok = write_all_at(fd_, &entry_done, 1, at + static_cast<off_t>(entry_state_at));
    off_t in_ahead = at + static_cast<off_t>(entry_state_at) - ahead_at_;
    if (ahead_at_ >= 0 && in_ahead >= 0 && in_ahead < static_cast<off_t>(ahead_len_)) ahead_[in_ahead] = entry_done;
    // Copied already: the copy that will take the file's place learns it too.
    if (work_ == Upkeep::compact && at >= copy_from_ && at < copied_)
        ok = write_all_at(fresh_, &entry_done, 1,
                          at - copy_from_ + static_cast<off_t>(header_len_ + entry_state_at)) &&
             ok;
    wrote(ok);
    if (!ok) {
        // Unmarked, it would be sent again after a restart: the next compaction cuts it away.
        mark_failed_ = true;
        want_compaction(true);
    }
}

// Delivered texts at the front are cut away by writing the rest anew, once
// they are a quarter of what waits (and at least a MiB), or at once where a
// mark could not be written.
void EntryLog::want_compaction(bool forced) {
    forced_ = forced_ || forced;
    if (work_ != Upkeep::none || (count_ == 0 && !forced_)) return;
    off_t front = head_ - data_start_;
    if (!forced_ && (front < (1 << 20) || front * 4 < tail_ - head_)) return;
    // After a failure, not before its retry is due.
    if (retry_.failing() && clock_() < compact_retry_at_) return;
    fresh_ = open_queue(temp_, O_TRUNC);
    if (fresh_ >= 0 && !write_header(fresh_)) {
        ::close(fresh_);
        fresh_ = -1;
        (void)::unlink(temp_);
    }
    if (fresh_ < 0) {
        compaction_failed();
        return;
    }
    work_ = Upkeep::compact;
    copy_from_ = copied_ = head_;
    mark_failed_ = false;
}

void EntryLog::end_compaction() {
    if (fresh_ < 0) return;
    ::close(fresh_);
    fresh_ = -1;
    (void)::unlink(temp_);
    if (work_ == Upkeep::compact) work_ = Upkeep::none;
}

bool EntryLog::compact_slice(std::int64_t until_ms, bool& done) {
    done = false;
    off_t base = static_cast<off_t>(header_len_) - copy_from_;
    while (copied_ < tail_) {
        std::size_t want = sizeof copy_buffer;
        if (static_cast<off_t>(want) > tail_ - copied_) want = static_cast<std::size_t>(tail_ - copied_);
        ssize_t got = read_all_at(fd_, copy_buffer, want, copied_);
        if (got <= 0 || !write_all_at(fresh_, copy_buffer, static_cast<std::size_t>(got), copied_ + base))
            return false;
        copied_ += got;
        if (copied_ < tail_ && clock_() >= until_ms) return true;
    }
    // Caught up: nothing can be appended before the copy takes the file's place.
    done = true;
    return rename_file(temp_, path_);
}

void EntryLog::compacted() {
    ::close(fd_);
    fd_ = fresh_;
    fresh_ = -1;
    work_ = Upkeep::none;
    off_t moved = copy_from_ - static_cast<off_t>(header_len_);
    head_ -= moved;
    next_ -= moved;
    tail_ -= moved;
    shift_ += moved;
    data_start_ = static_cast<off_t>(header_len_);
    if (newest_at_ >= 0) newest_at_ -= moved;
    ahead_at_ = -1;
    trim_tail_ = false;
    retry_.succeeded();
    wrote(true);
    // A mark that failed meanwhile is still to be cut away.
    forced_ = mark_failed_;
    // Nothing was left to copy: an empty queue has no header either.
    if (count_ == 0) emptied();
}

std::uint64_t EntryLog::recount_slice(std::int64_t until_ms, bool& done) {
    done = false;
    ScanStep step = scan_step(fd_, tail_, -1, recount_, clock_, until_ms);
    if (step == ScanStep::failed) {
        // Unreadable now: tried again later, from where it stopped.
        compact_retry_at_ = clock_() + 1000;
        return 0;
    }
    if (step == ScanStep::more) return 0;
    done = true;
    work_ = Upkeep::none;
    std::uint64_t before = count_;
    // Texts out lie before the damage and stay out.
    count_ = out_ + recount_.taken.pending;
    next_ = recount_.first_pending >= 0 ? recount_.first_pending : tail_;
    if (out_ == 0) head_ = next_;
    if (count_ == 0) emptied();
    return before > count_ ? before - count_ : 0;
}

std::int64_t EntryLog::upkeep_at() const {
    if (fd_ < 0) return -1;
    if (work_ != Upkeep::none || forced_) return compact_retry_at_;
    return -1;
}

std::uint64_t EntryLog::upkeep(std::int64_t now_ms, std::int64_t until_ms) {
    // Marks owed go with the next text; a wake that brought none writes them,
    // and so does one when they have waited long. While a backlog is being
    // sent they wait for the acknowledgements to come: one write for many.
    bool backlog = out_ > 0 && count_ > out_;
    if ((!appended_ && !backlog) || clock_() - owed_since_ms_ >= marks_wait_most_ms) write_marks();
    appended_ = false;
    if (fd_ < 0 || now_ms < compact_retry_at_) return 0;
    if (work_ == Upkeep::none) want_compaction(false);
    if (work_ != Upkeep::none) write_marks();  // what upkeep reads or copies has its marks
    bool done = false;
    if (work_ == Upkeep::recount) return recount_slice(until_ms, done);
    if (work_ != Upkeep::compact) return 0;
    if (compact_slice(until_ms, done)) {
        if (done) compacted();
        return 0;
    }
    // Not written: the queue stays as it is, and it is tried again later.
    end_compaction();
    compaction_failed();
    return 0;
}

void EntryLog::compaction_failed() {
    wrote(false);
    compact_retry_at_ = clock_() + retry_.failed();
}

bool EntryLog::drop_oldest(std::uint64_t& dropped) {
    // Only headers are read: the text is not needed to know where the next begins.
    char header[entry_header_size];
    std::size_t len = 0;
    for (;;) {
        if (next_ >= tail_ ||
            read_all_at(fd_, header, sizeof header, next_) != static_cast<ssize_t>(sizeof header) ||
            !entry_length(header, len))
            return false;
        if (header[entry_state_at] != entry_done) break;
        next_ += static_cast<off_t>(entry_header_size + len);  // dropped while others were out
    }
    if (newest_at_ == next_) newest_at_ = -1;
    mark_done(next_);
    next_ += static_cast<off_t>(entry_header_size + len);
    if (out_ == 0) head_ = next_;
    --count_;
    ++dropped;
    if (count_ == 0) emptied();
    return true;
}

bool EntryLog::append(const char* text, std::size_t len, std::uint64_t& dropped) {
    if (fd_ < 0 || len > entry_text_max) return false;
    std::size_t need = entry_header_size + len;
    bool dropping = false;
    // While damage is being looked past, what lies ahead is not known: the
    // bound waits until it is (no text is dropped blind).
    while (work_ != Upkeep::recount && count_ > out_ &&
           static_cast<std::uint64_t>(tail_ - next_) + need > queue_bytes_max) {
        if (!drop_oldest(dropped)) break;
        dropping = true;
    }
    // While the server stays away the front is cut away by drops alone.
    if (dropping) want_compaction(false);
    if (trim_tail_ && cut_file(fd_, tail_)) trim_tail_ = false;
    char header[entry_header_size];
    entry_header(header, text, len);
    // An empty file gets its header with its first text, in the same write;
    // marks owed just before the tail go in it too, the bytes between written
    // again as they are, from their copy in memory.
    bool first = tail_ == 0;
    off_t at = first ? 0 : marks_carried_from();
    if (at < tail_) mark_owed_ahead(owed_count_);
    iovec parts[3];
    int n = 0;
    if (first)
        parts[n++] = {header_, header_len_};
    else if (at < tail_)
        parts[n++] = {ahead_ + (at - ahead_at_), static_cast<std::size_t>(tail_ - at)};
    parts[n++] = {header, sizeof header};
    parts[n++] = {const_cast<char*>(text), len};
    std::size_t written = 0;
    bool ok = write_parts_at(fd_, parts, n, at, written);
    if (at < tail_) {
        owed_count_ = 0;
        if (!ok) {
            mark_failed_ = true;
            want_compaction(true);
        }
    }
    if (!ok) {
        // Nothing of a text that did not fit stays behind; what cannot be cut
        // now is cut before the next text, or written over by it.
        std::size_t lead = first ? 0 : static_cast<std::size_t>(tail_ - at);
        trim_tail_ = written > lead && !cut_file(fd_, tail_);
        wrote(false);
        return false;
    }
    wrote(true);
    appended_ = true;
    if (first) data_start_ = head_ = next_ = tail_ = static_cast<off_t>(header_len_);
    // Next to be sent when all before it are out: kept for take_next.
    newest_at_ = next_ == tail_ && work_ != Upkeep::recount ? tail_ : -1;
    if (newest_at_ >= 0) {
        std::memcpy(newest_, header, sizeof header);
        std::memcpy(newest_ + sizeof header, text, len);
    }
    mirror(header, text, len);
    tail_ += static_cast<off_t>(need);
    ++count_;
    return true;
}

off_t EntryLog::marks_carried_from() const {
    if (owed_count_ == 0 || work_ == Upkeep::compact || ahead_at_ < 0 ||
        ahead_at_ + static_cast<off_t>(ahead_len_) != tail_)
        return tail_;
    off_t from = owed_[0] + static_cast<off_t>(entry_state_at);
    return from >= ahead_at_ && tail_ - from <= static_cast<off_t>(marks_span_max) ? from : tail_;
}

void EntryLog::mirror(const char* header, const char* text, std::size_t len) {
    std::size_t need = entry_header_size + len;
    off_t end = ahead_at_ + static_cast<off_t>(ahead_len_);
    if (ahead_at_ < 0 || end != tail_) {
        // Still being sent from, for a backlog: left as it is.
        if (ahead_at_ >= 0 && next_ >= ahead_at_ && next_ < end) return;
        write_marks();  // while they are at hand
        ahead_at_ = tail_;
        ahead_len_ = 0;
    } else if (ahead_len_ + need > mirror_max) {
        // Only what is still to be marked (texts out, marks owed) or sent need stay.
        off_t keep = owed_count_ > 0 && owed_[0] < head_ ? owed_[0] : head_;
        if (keep < ahead_at_) keep = ahead_at_;
        if (static_cast<std::size_t>(tail_ - keep) + need > mirror_max) {
            write_marks();
            keep = head_ < ahead_at_ ? ahead_at_ : head_;
        }
        if (static_cast<std::size_t>(tail_ - keep) + need > mirror_max) keep = next_ < ahead_at_ ? ahead_at_ : next_;
        if (static_cast<std::size_t>(tail_ - keep) + need > mirror_max) keep = tail_;
        std::memmove(ahead_, ahead_ + (keep - ahead_at_), static_cast<std::size_t>(tail_ - keep));
        ahead_len_ = static_cast<std::size_t>(tail_ - keep);
        ahead_at_ = keep;
    }
    if (ahead_len_ + need > mirror_max) {  // a text longer than the copy holds
        ahead_at_ = -1;
        return;
    }
    std::memcpy(ahead_ + ahead_len_, header, entry_header_size);
    std::memcpy(ahead_ + ahead_len_ + entry_header_size, text, len);
    ahead_len_ += need;
}

void EntryLog::read_ahead(off_t after) {
    // The marks owed go while their bytes are at hand, and the new copy
    // begins at the oldest text out, so that their marks go in one write too.
    write_marks();
    off_t from = out_ > 0 && head_ > after && head_ < next_ && next_ - head_ <= static_cast<off_t>(ahead_max / 2) ? head_ : next_;
    std::size_t want = ahead_max;
    if (static_cast<off_t>(want) > tail_ - from) want = static_cast<std::size_t>(tail_ - from);
    ssize_t got = read_all_at(fd_, ahead_, want, from);
    bool reached = got > next_ - from;
    ahead_at_ = reached ? from : -1;
    ahead_len_ = reached ? static_cast<std::size_t>(got) : 0;
}

bool EntryLog::take_next(const char*& text, std::size_t& len, std::int64_t& at) {
    if (fd_ < 0 || count_ <= out_ || work_ == Upkeep::recount) return false;
    if (next_ == newest_at_ && newest_at_ >= 0) {
        newest_at_ = -1;
        std::size_t text_len = 0;
        (void)entry_length(newest_, text_len);
        text = newest_ + entry_header_size;
        len = text_len;
        at = next_ + shift_;
        if (out_++ == 0) head_ = next_;
        next_ += static_cast<off_t>(entry_header_size + len);
        return true;
    }
    for (;;) {
        if (next_ >= tail_) break;
        if (ahead_at_ < 0 || next_ < ahead_at_ || next_ >= ahead_at_ + static_cast<off_t>(ahead_len_)) read_ahead(-1);
        const char* bytes = nullptr;
        EntryCheck check = EntryCheck::cut;
        for (int tries = 0; ahead_at_ >= 0 && tries < 2; ++tries) {
            std::size_t from = static_cast<std::size_t>(next_ - ahead_at_);
            bytes = ahead_ + from;
            check = check_entry(bytes, ahead_len_ - from, len);
            if (check == EntryCheck::done || check == EntryCheck::pending) break;
            // Cut at the copy's end: read ahead again, once, from this text on.
            bool nearer = check == EntryCheck::cut && tries == 0 && ahead_at_ < next_ &&
                          ahead_at_ + static_cast<off_t>(ahead_len_) < tail_;
            // Not wholly in what was read ahead (a long text), or damaged:
            // read and judged on its own below.
            if (!nearer) {
                ahead_at_ = -1;
                break;
            }
            read_ahead(ahead_at_);
        }
        if (ahead_at_ < 0) {
            // Most texts fit the first few KiB; a longer one is read on.
            std::size_t want = 4096;
            if (static_cast<off_t>(want) > tail_ - next_) want = static_cast<std::size_t>(tail_ - next_);
            ssize_t got = read_all_at(fd_, window, want, next_);
            std::size_t text_len = 0;
            if (got >= static_cast<ssize_t>(entry_header_size) && entry_length(window, text_len) &&
                entry_header_size + text_len > static_cast<std::size_t>(got) &&
                static_cast<off_t>(entry_header_size + text_len) <= tail_ - next_) {
                std::size_t rest = entry_header_size + text_len - static_cast<std::size_t>(got);
                ssize_t more = read_all_at(fd_, window + got, rest, next_ + got);
                if (more > 0) got += more;
            }
            bytes = window;
            check = got > 0 ? check_entry(window, static_cast<std::size_t>(got), len) : EntryCheck::cut;
        }
        if (check == EntryCheck::done) {  // dropped while others were out
            next_ += static_cast<off_t>(entry_header_size + len);
            if (out_ == 0) head_ = next_;
            continue;
        }
        if (check != EntryCheck::pending) break;
        text = bytes + entry_header_size;
        at = next_ + shift_;
        if (out_++ == 0) head_ = next_;
        next_ += static_cast<off_t>(entry_header_size + len);
        return true;
    }
    // Changed under us: upkeep walks on to the next whole text and counts
    // what was lost; nothing is written, so nothing intact can go with it.
    end_compaction();
    newest_at_ = -1;
    work_ = Upkeep::recount;
    recount_ = Scan{};
    recount_.at = next_;
    compact_retry_at_ = 0;
    return false;
}

void EntryLog::rewind() {
    // What goes again is read again: damage since is seen, not sent from memory.
    ahead_at_ = -1;
    out_ = 0;
    next_ = head_;
}

void EntryLog::settle_oldest(std::int64_t next_out) {
    if (out_ == 0) return;
    off_t at = head_;
    --out_;
    --count_;
    if (count_ == 0) {
        emptied();
        return;
    }
    // Written together while they lie close: one write for a burst's marks.
    if (owed_count_ == owed_max || (owed_count_ > 0 && at - owed_[0] > static_cast<off_t>(marks_span_max)))
        write_marks();
    if (owed_count_ == 0) owed_since_ms_ = clock_();
    owed_[owed_count_++] = at;
    head_ = out_ > 0 && next_out >= 0 ? static_cast<off_t>(next_out - shift_) : next_;
    want_compaction(false);
}

void EntryLog::mark_owed_ahead(unsigned n) {
    for (unsigned i = 0; i < n; ++i) ahead_[owed_[i] + static_cast<off_t>(entry_state_at) - ahead_at_] = entry_done;
}

void EntryLog::write_marks() {
    if (owed_count_ == 0) return;
    unsigned n = owed_count_;
    owed_count_ = 0;
    off_t first = owed_[0] + static_cast<off_t>(entry_state_at), last = owed_[n - 1] + static_cast<off_t>(entry_state_at);
    bool at_hand = fd_ >= 0 && ahead_at_ >= 0 && first >= ahead_at_ && last < ahead_at_ + static_cast<off_t>(ahead_len_);
    if (!at_hand) {
        for (unsigned i = 0; i < n; ++i) mark_done(owed_[i]);
        return;
    }
    mark_owed_ahead(n);
    bool ok = write_all_at(fd_, ahead_ + (first - ahead_at_), static_cast<std::size_t>(last - first + 1), first);
    if (work_ == Upkeep::compact) {
        // What is copied already goes into the copy too, the same bytes; the
        // rest is copied from the file, marks and all.
        off_t from = first > copy_from_ ? first : copy_from_, to = last + 1 < copied_ ? last + 1 : copied_;
        if (from < to)
            ok = write_all_at(fresh_, ahead_ + (from - ahead_at_), static_cast<std::size_t>(to - from),
                              from - copy_from_ + static_cast<off_t>(header_len_)) &&
                 ok;
    }
    wrote(ok);
    if (!ok) {
        mark_failed_ = true;
        want_compaction(true);
    }
}

}  // namespace ql
