#include "common/disk_floor.hpp"

#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>

#include "common/clock.hpp"
#include "common/diag.hpp"
#include "common/prefix.hpp"
#include "common/settings.hpp"

namespace ql {

std::uint64_t SpaceFloor::blocks_of(std::size_t bytes) const { return (bytes + block_size_ - 1) / block_size_ + 1; }

bool SpaceFloor::must_look(std::size_t bytes, bool new_file, std::int64_t now_ms) const {
    if (!ever_ || exhausted_ || now_ms - looked_at_ >= look_interval_ms) return true;
    // Only what was written since can have made the last look too gloomy (the
    // estimate is generous); without that, below the floor it stays a second.
    if (spent_blocks_ == 0) return false;
    return !fits(bytes, new_file);
}

static std::uint64_t above(std::uint64_t free, std::uint64_t total) {
    std::uint64_t floor = (total * floor_percent + 99) / 100;
    return free > floor ? free - floor : 0;
}

void SpaceFloor::looked(const Room& room, std::int64_t now_ms) {
    block_size_ = room.block_size == 0 ? 4096 : room.block_size;
    count_blocks_ = room.blocks != 0;
    room_blocks_ = above(room.blocks_avail, room.blocks);
    count_files_ = room.files != 0;
    room_files_ = above(room.files_avail, room.files);
    resume_blocks_ = room.blocks / 100;
    resume_files_ = room.files / 100;
    spent_blocks_ = spent_files_ = 0;
    looked_at_ = now_ms;
    ever_ = true;
    exhausted_ = false;
}

bool SpaceFloor::fits(std::size_t bytes, bool new_file, bool resuming) const {
    std::uint64_t more_blocks = resuming ? resume_blocks_ : 0, more_files = resuming ? resume_files_ : 0;
    if (count_blocks_ && spent_blocks_ + blocks_of(bytes) + more_blocks > room_blocks_) return false;
    return !count_files_ || spent_files_ + (new_file ? 1 : 0) + more_files <= room_files_;
}

void SpaceFloor::spent(std::size_t bytes, bool new_file) {
    spent_blocks_ += blocks_of(bytes);
    if (new_file) ++spent_files_;
}

namespace {

SpaceFloor space;
bool below = false;
char directory[prefix_directory_max + 1];

// The prefix's directory, as the lines name it and statvfs looks at it.
const char* prefix_directory(const char* prefix) { return ql::prefix_directory(prefix, directory); }

void look(const char* prefix, std::int64_t now_ms) {
    struct statvfs st {};
    if (::statvfs(prefix_directory(prefix), &st) != 0) {
        // Nothing to judge by (the directory is gone): the writes themselves will say.
        space.looked(Room{}, now_ms);
        return;
    }
    space.looked(Room{st.f_frsize, st.f_blocks, st.f_bavail, st.f_files, st.f_favail}, now_ms);
}

}  // namespace

bool floor_allows(const char* prefix, std::size_t len, bool grows, bool new_file) {
    std::int64_t now = monotonic_ms();
    if (space.must_look(len, new_file, now)) look(prefix, now);
    if (!grows) return true;
    bool fits = space.fits(len, new_file, below);
    if (fits && below) {
        below = false;
        diag("> wieder genug Platz in %s\n", prefix_directory(prefix));
    } else if (!fits && !below) {
        below = true;
        diag("Fehler: weniger als %u %% frei in %s, keine Ausgabe\n", floor_percent, prefix_directory(prefix));
    }
    return fits;
}

void floor_wrote(std::size_t len, bool new_file) { space.spent(len, new_file); }

void floor_write_failed(int error) {
    if (error == ENOSPC || error == EDQUOT) space.exhausted();
}

}  // namespace ql
