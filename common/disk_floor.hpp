// The floor of free space: the receiver never takes the last 5 % of the blocks
// or inodes of the file system it writes to, which it usually shares with the
// system and the command server. Judged on what an unprivileged writer may use
// (on ext4 root's reserve is no room for the others), whoever runs it. It looks (statvfs) once a second while it
// writes, at once after ENOSPC or EDQUOT, and sooner when what it wrote since
// could have used up the room above the floor; never once per datagram
// otherwise. Below the floor, output that would grow the file system is
// refused; under -d one line says so, and one when space is back.
#pragma once
#include <cstddef>
#include <cstdint>

namespace ql {

constexpr unsigned floor_percent = 5;

// A file system's numbers, as statvfs gives them: the totals, and what an
// unprivileged writer may use. A total of 0 (a file system that reports no
// size, or no inode count) leaves that floor out: there is nothing to judge by.
struct Room {
    std::uint64_t block_size = 0;
    std::uint64_t blocks = 0, blocks_avail = 0;
    std::uint64_t files = 0, files_avail = 0;
};

// Pure: the room above the floor, and what the writes since the last look may
// have taken of it.
class SpaceFloor {
public:
    static constexpr std::int64_t look_interval_ms = 1000;

    // Whether a write of so many bytes (and a new file or not) needs a fresh look first.
    bool must_look(std::size_t bytes, bool new_file, std::int64_t now_ms) const;
    void looked(const Room& room, std::int64_t now_ms);
    // Whether it fits above the floor, as of the last look and what was spent
    // since. Resuming after the floor was met, it needs 1 % of the file
    // system more: space that comes and goes at the edge (ext4 releasing what
    // it reserved for unwritten data) does not make it say so again and again.
    bool fits(std::size_t bytes, bool new_file, bool resuming = false) const;
    void spent(std::size_t bytes, bool new_file);
    // ENOSPC or EDQUOT: the next write looks first.
    void exhausted() { exhausted_ = true; }

private:
    // What a write may take at most: its bytes rounded up to blocks, one
    // block more (a part-filled one, a new file's first), and its inode.
    std::uint64_t blocks_of(std::size_t bytes) const;

    std::uint64_t block_size_ = 4096;
    std::uint64_t room_blocks_ = 0, room_files_ = 0;
    std::uint64_t resume_blocks_ = 0, resume_files_ = 0;
    bool count_blocks_ = false, count_files_ = false;
    std::uint64_t spent_blocks_ = 0, spent_files_ = 0;
    std::int64_t looked_at_ = 0;
    bool ever_ = false;
    bool exhausted_ = false;
};

// Whether output of len bytes under the prefix may go ahead: growth (an
// append, a new file) only above the floor; replacing an existing file
// always. Looks when due; prints the -d lines when the state changes.
bool floor_allows(const char* prefix, std::size_t len, bool grows, bool new_file);

// After a write: what it took, or that it failed for want of space.
void floor_wrote(std::size_t len, bool new_file);
void floor_write_failed(int error);

}  // namespace ql
