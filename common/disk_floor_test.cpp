#include "common/disk_floor.hpp"

#include <gtest/gtest.h>

using namespace ql;

namespace {

struct Case {
    const char* what;
    Room room;
    std::size_t bytes;
    bool new_file;
    bool fits;
};

// 4 KiB blocks; a write is charged its blocks and one more.
const Case cases[] = {
    // ext4 as an unprivileged writer sees it: 1000 blocks, 150 free, 100 of
    // them usable (root's reserve is not): the floor of 50 leaves 50.
    {"usable room within", {4096, 1000, 100, 0, 0}, 49 * 4096, false, true},
    {"usable room exceeded", {4096, 1000, 100, 0, 0}, 50 * 4096, false, false},
    {"usable at the floor", {4096, 1000, 50, 0, 0}, 1, false, false},
    {"no size reported: no floor", {4096, 0, 0, 0, 0}, 1 << 20, true, true},
    {"no inode count: no inode floor", {4096, 1000, 1000, 0, 0}, 1, true, true},
    {"last inode above the floor", {4096, 1000, 1000, 100, 6}, 1, true, true},
    {"inodes at the floor", {4096, 1000, 1000, 100, 5}, 1, true, false},
    {"inodes at the floor, no new file", {4096, 1000, 1000, 100, 5}, 1, false, true},
    {"floor rounds up: 5 % of 1001 is 51", {4096, 1001, 52, 0, 0}, 1, false, false},
};

}  // namespace

TEST(SpaceFloor, JudgedOnWhatUnprivilegedWritersMayUse) {
    for (const Case& c : cases) {
        SpaceFloor floor;
        floor.looked(c.room, 0);
        EXPECT_EQ(floor.fits(c.bytes, c.new_file), c.fits) << c.what;
    }
}

TEST(SpaceFloor, WritesSpendTheRoomUntilTheNextLook) {
    SpaceFloor floor;
    floor.looked(Room{4096, 1000, 100, 100, 7}, 0);  // 50 blocks, 2 inodes above the floor
    EXPECT_FALSE(floor.must_look(100, true, 10));
    floor.spent(100, true);
    floor.spent(100, true);
    EXPECT_FALSE(floor.fits(100, true));  // the inodes are spent
    EXPECT_TRUE(floor.fits(100, false));
    EXPECT_TRUE(floor.must_look(100, true, 20));  // what was spent may have been gloomy
    EXPECT_TRUE(floor.must_look(100, false, 1000));  // a second on
    floor.looked(Room{4096, 1000, 100, 100, 7}, 1000);
    floor.exhausted();
    EXPECT_TRUE(floor.must_look(1, false, 1001));
}

// Back above the floor only with 1 % of the file system to spare: what comes
// and goes at the edge does not make it flap.
TEST(SpaceFloor, ResumesOnlyWithRoomToSpare) {
    SpaceFloor floor;
    floor.looked(Room{4096, 10000, 520, 10000, 10000}, 0);  // 20 blocks above the floor of 500
    EXPECT_TRUE(floor.fits(4096, false));
    EXPECT_FALSE(floor.fits(4096, false, true)) << "1 % is 100 blocks";
    floor.looked(Room{4096, 10000, 610, 10000, 10000}, 1000);
    EXPECT_TRUE(floor.fits(4096, false, true));
    floor.looked(Room{4096, 10000, 10000, 10000, 560}, 2000);  // inodes: 60 above the floor
    EXPECT_TRUE(floor.fits(1, true));
    EXPECT_FALSE(floor.fits(1, true, true));
}
