// The delivery queue on disk: command texts in arrival order, each kept until
// it is delivered or given up, so that a crash or restart loses none. Memory
// does not grow with its length: only offsets and counts are held, and one
// text is read back at a time.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

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
    // texts, in their order. False when it cannot be opened.
    bool open(const char* path, const char* temp, Taken& taken);
    bool is_open() const { return fd_ >= 0; }
    void close();

    // Appends a text. To keep within queue_bytes_max it first drops the oldest
    // texts (never one being sent), adding their number to dropped. False when
    // the text could not be written (nothing of it stays).
    bool append(const char* text, std::size_t len, std::uint64_t& dropped);

    // Reads the oldest text for sending; text stays valid until the next call.
    // False when there is none, or when the file proved damaged: it is then
    // taken over anew and given_up says how many texts that cost.
    bool begin(const char*& text, std::size_t& len, std::uint64_t& given_up);
    // The text from begin is done with (delivered or given up).
    void finish();
    // The text from begin stays the oldest, to be sent again.
    void release();

    std::uint64_t pending() const { return count_; }

private:
    bool take_over(Taken& taken);
    bool compact();
    void emptied();
    bool drop_oldest(std::uint64_t& dropped);

    int fd_ = -1;
    char path_[160] = {};
    char temp_[170] = {};
    off_t head_ = 0;   // the oldest pending text (maybe being sent)
    off_t next_ = 0;   // the oldest pending text not being sent
    off_t tail_ = 0;   // the end of the file
    std::uint64_t count_ = 0;
    bool in_flight_ = false;
};

}  // namespace ql
