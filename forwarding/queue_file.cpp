#include "forwarding/queue_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "forwarding/queue_entry.hpp"

namespace ql {

namespace {

// One entry, header and text, at most: the scan's window and the copy buffer.
char window[entry_header_size + entry_text_max];

ssize_t read_at(int fd, char* out, std::size_t len, off_t at) {
    std::size_t got = 0;
    while (got < len) {
        ssize_t n = ::pread(fd, out + got, len - got, at + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

bool write_all(int fd, const char* bytes, std::size_t len) {
    while (len > 0) {
        ssize_t n = ::write(fd, bytes, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

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
            ssize_t got = read_at(fd_, window, want, at);
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

// Walks the file from its start: counts what it holds and, where copy_to is
// open, writes every whole pending entry there, in order. After a damaged
// place it goes on at the next entry mark that starts a whole entry.
bool scan(int fd, off_t size, int copy_to, QueueFile::Taken& taken, std::uint64_t& done) {
    taken = {};
    done = 0;
    off_t at = 0;
    bool in_damage = false;
    View view(fd, size);
    while (at < size) {
        std::size_t avail = 0, len = 0;
        const char* bytes = view.at(at, entry_header_size, avail);
        if (bytes != nullptr && avail >= entry_header_size && entry_length(bytes, len))
            bytes = view.at(at, entry_header_size + len, avail);
        if (bytes == nullptr || avail == 0) return false;
        EntryCheck check = check_entry(bytes, avail, len);
        if (check == EntryCheck::pending || check == EntryCheck::done) {
            in_damage = false;
            if (check == EntryCheck::done) {
                ++done;
            } else {
                ++taken.pending;
                if (copy_to >= 0 && !write_all(copy_to, bytes, entry_header_size + len)) return false;
            }
            at += static_cast<off_t>(entry_header_size + len);
            continue;
        }
        if (!in_damage) ++taken.damaged;
        in_damage = true;
        bytes = view.at(at, sizeof window, avail);
        if (bytes == nullptr) return false;
        std::size_t mark = next_entry_mark(bytes, avail, 1);
        if (mark < avail) {
            at += static_cast<off_t>(mark);
        } else if (at + static_cast<off_t>(avail) >= size) {
            break;  // no further entry: the file ends in the damage
        } else {
            at += static_cast<off_t>(avail - 2);  // a mark may straddle the window's end
        }
    }
    return true;
}

int open_queue(const char* path, int flags) {
    int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | flags, 0600);
    if (fd >= 0) (void)::fchmod(fd, 0600);
    return fd;
}

}  // namespace

bool QueueFile::open(const char* path, const char* temp, Taken& taken) {
    close();
    std::snprintf(path_, sizeof path_, "%s", path);
    std::snprintf(temp_, sizeof temp_, "%s", temp);
    fd_ = open_queue(path_, 0);
    if (fd_ < 0) return false;
    return take_over(taken);
}

void QueueFile::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    head_ = next_ = tail_ = 0;
    count_ = 0;
    in_flight_ = false;
}

bool QueueFile::take_over(Taken& taken) {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return false;
    std::uint64_t done = 0;
    if (!scan(fd_, st.st_size, -1, taken, done)) return false;
    off_t size = st.st_size;
    if (done > 0 || taken.damaged > 0) {
        // Only the whole pending texts stay: written anew, then put in place at once.
        int fresh = open_queue(temp_, O_TRUNC);
        if (fresh < 0) return false;
        Taken again;
        if (!scan(fd_, st.st_size, fresh, again, done) || ::rename(temp_, path_) != 0) {
            ::close(fresh);
            ::unlink(temp_);
            return false;
        }
        ::close(fd_);
        fd_ = fresh;
        size = ::lseek(fd_, 0, SEEK_END);
    }
    head_ = next_ = 0;
    tail_ = size;
    count_ = taken.pending;
    in_flight_ = false;
    if (count_ == 0 && tail_ > 0) emptied();
    return true;
}

void QueueFile::emptied() {
    (void)!::ftruncate(fd_, 0);
    head_ = next_ = tail_ = 0;
}

// Delivered texts at the front are cut away by writing the rest anew, once
// they are a quarter of what waits (and at least a MiB).
bool QueueFile::compact() {
    off_t live = tail_ - head_;
    if (in_flight_ || head_ < (1 << 20) || head_ * 4 < live) return true;
    int fresh = open_queue(temp_, O_TRUNC);
    if (fresh < 0) return false;
    for (off_t at = head_; at < tail_;) {
        std::size_t want = sizeof window;
        if (static_cast<off_t>(want) > tail_ - at) want = static_cast<std::size_t>(tail_ - at);
        ssize_t got = read_at(fd_, window, want, at);
        if (got <= 0 || !write_all(fresh, window, static_cast<std::size_t>(got))) {
            ::close(fresh);
            ::unlink(temp_);
            return false;
        }
        at += got;
    }
    if (::rename(temp_, path_) != 0) {
        ::close(fresh);
        ::unlink(temp_);
        return false;
    }
    ::close(fd_);
    fd_ = fresh;
    tail_ -= head_;
    head_ = next_ = 0;
    return true;
}

bool QueueFile::drop_oldest(std::uint64_t& dropped) {
    // Only headers are read: the text is not needed to know where the next begins.
    char header[entry_header_size];
    std::size_t len = 0;
    for (;;) {
        if (read_at(fd_, header, sizeof header, next_) != static_cast<ssize_t>(sizeof header) ||
            !entry_length(header, len))
            return false;
        if (header[entry_state_at] != entry_done) break;
        next_ += static_cast<off_t>(entry_header_size + len);  // dropped while another was being sent
    }
    (void)::pwrite(fd_, &entry_done, 1, next_ + static_cast<off_t>(entry_state_at));
    next_ += static_cast<off_t>(entry_header_size + len);
    if (!in_flight_) head_ = next_;
    --count_;
    ++dropped;
    if (count_ == 0) emptied();
    return true;
}

bool QueueFile::append(const char* text, std::size_t len, std::uint64_t& dropped) {
    if (fd_ < 0 || len > entry_text_max) return false;
    std::size_t need = entry_header_size + len;
    bool dropping = false;
    while (count_ > (in_flight_ ? 1u : 0u) &&
           static_cast<std::uint64_t>(tail_ - next_) + need > queue_bytes_max) {
        if (!drop_oldest(dropped)) return false;
        dropping = true;
    }
    // While the server stays away the front is cut away by drops alone.
    if (dropping) (void)compact();
    char header[entry_header_size];
    entry_header(header, text, len);
    iovec parts[2] = {{header, sizeof header}, {const_cast<char*>(text), len}};
    ssize_t n;
    do n = ::pwritev(fd_, parts, 2, tail_);
    while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(need)) {
        // Nothing of a text that did not fit stays behind.
        (void)!::ftruncate(fd_, tail_);
        return false;
    }
    tail_ += static_cast<off_t>(need);
    ++count_;
    return true;
}

bool QueueFile::begin(const char*& text, std::size_t& len, std::uint64_t& given_up) {
    given_up = 0;
    if (fd_ < 0 || count_ == 0 || in_flight_) return false;
    for (;;) {
        // Most texts fit the first few KiB; a longer one is read on.
        std::size_t want = 4096;
        if (static_cast<off_t>(want) > tail_ - head_) want = static_cast<std::size_t>(tail_ - head_);
        ssize_t got = read_at(fd_, window, want, head_);
        std::size_t text_len = 0;
        if (got >= static_cast<ssize_t>(entry_header_size) && entry_length(window, text_len) &&
            entry_header_size + text_len > static_cast<std::size_t>(got) &&
            static_cast<off_t>(entry_header_size + text_len) <= tail_ - head_) {
            std::size_t rest = entry_header_size + text_len - static_cast<std::size_t>(got);
            ssize_t more = read_at(fd_, window + got, rest, head_ + got);
            if (more > 0) got += more;
        }
        EntryCheck check = got > 0 ? check_entry(window, static_cast<std::size_t>(got), len) : EntryCheck::cut;
        if (check == EntryCheck::done) {  // dropped while the one before it was being sent
            head_ += static_cast<off_t>(entry_header_size + len);
            continue;
        }
        if (check != EntryCheck::pending) break;
        text = window + entry_header_size;
        in_flight_ = true;
        next_ = head_ + static_cast<off_t>(entry_header_size + len);
        return true;
    }
    // Changed under us: whatever whole texts are left go on.
    std::uint64_t before = count_;
    Taken taken;
    if (!take_over(taken)) {
        emptied();
        count_ = 0;
    }
    given_up = before > count_ ? before - count_ : 0;
    return false;
}

void QueueFile::release() {
    in_flight_ = false;
    next_ = head_;
}

void QueueFile::finish() {
    if (!in_flight_) return;
    in_flight_ = false;
    --count_;
    if (count_ == 0) {
        emptied();
        return;
    }
    (void)::pwrite(fd_, &entry_done, 1, head_ + static_cast<off_t>(entry_state_at));
    head_ = next_;
    (void)compact();
}

}  // namespace ql
