#include "forwarding/file_write.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "tests/temp_dir.hpp"

using namespace ql;

namespace {

std::string name_for(const std::string& device, const char* suffix) {
    char out[file_name_max + 1];
    std::size_t n = file_name(out, device.data(), device.size(), suffix);
    return std::string(out, n);
}

mode_t mode_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

}  // namespace

TEST(FileName, OrdinaryNamesUnchanged) {
    EXPECT_EQ(name_for("Qln042__Pumpe1", ".txt"), "Qln042__Pumpe1.txt");
    EXPECT_EQ(name_for("Qln042__Pumpe1", "-telnet.txt"), "Qln042__Pumpe1-telnet.txt");
    EXPECT_EQ(name_for("Qln042__Pumpe1", "-telnet.txt").size(), file_name_max);
}

TEST(FileName, SlashesAndControlBytesBecomeUnderscores) {
    EXPECT_EQ(name_for("Qln042../../xy", ".txt"), "Qln042.._.._xy.txt");
    EXPECT_EQ(name_for(std::string("Qln042a\nb\rc\x7f\x01"), ".txt"), "Qln042a_b_c__.txt");
    // Every other byte stays as received.
    EXPECT_EQ(name_for("Qln042 ;$\"\xff*", ".txt"), "Qln042 ;$\"\xff*.txt");
}

TEST(FileWrite, HiddenFilesBesideTheOutputStartWithADot) {
    struct {
        const char* prefix;
        const char* path;
        const char* base;
    } cases[] = {
        {"/var/lib/qlfwd/", "/var/lib/qlfwd/.qlfwd-queue", ".qlfwd-queue"},
        {"/tmp/site-", "/tmp/.site-qlfwd-queue", ".site-qlfwd-queue"},
        {"", ".qlfwd-queue", ".qlfwd-queue"},
        {"out-", ".out-qlfwd-queue", ".out-qlfwd-queue"},
    };
    for (const auto& c : cases) {
        char out[hidden_path_max + 1];
        const char* base = nullptr;
        std::size_t n = hidden_path(out, c.prefix, "qlfwd-queue", &base);
        EXPECT_EQ(std::string(out, n), c.path) << c.prefix;
        EXPECT_STREQ(base, c.base) << c.prefix;
    }
}

TEST(FileWrite, PrefixJoinedDirectly) {
    TempDir dir;
    std::string out = dir / "out";
    ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
    EXPECT_EQ(file_write((out + "/").c_str(), "Qln042.txt", "one", 3, false), 0);
    EXPECT_EQ(read_file(out + "/Qln042.txt"), "one");
    EXPECT_EQ(file_write(out.c_str(), "Qln042.txt", "two", 3, false), 0);
    EXPECT_EQ(read_file(out + "Qln042.txt"), "two");
}

TEST(FileWrite, OverwritesOrAppends) {
    TempDir dir;
    std::string prefix = dir.prefix();
    EXPECT_EQ(file_write(prefix.c_str(), "f.txt", "first\n", 6, false), 0);
    EXPECT_EQ(file_write(prefix.c_str(), "f.txt", "second", 6, false), 0);
    EXPECT_EQ(read_file(dir / "f.txt"), "second");
    EXPECT_EQ(file_write(prefix.c_str(), "f.txt", "\nthird", 6, true), 0);
    EXPECT_EQ(read_file(dir / "f.txt"), "second\nthird");
}

TEST(FileWrite, Mode0666DespiteUmask) {
    TempDir dir;
    mode_t old = umask(077);
    EXPECT_EQ(file_write(dir.prefix().c_str(), "f.txt", "x", 1, false), 0);
    umask(old);
    EXPECT_EQ(mode_of(dir / "f.txt"), 0666u);
    // An existing file with narrower bits is opened up again.
    ASSERT_EQ(chmod((dir / "f.txt").c_str(), 0600), 0);
    EXPECT_EQ(file_write(dir.prefix().c_str(), "f.txt", "y", 1, true), 0);
    EXPECT_EQ(mode_of(dir / "f.txt"), 0666u);
}

TEST(FileWrite, MissingDirectoryFails) {
    TempDir dir;
    std::string prefix = dir / "missing/";
    EXPECT_EQ(file_write(prefix.c_str(), "f.txt", "x", 1, false), 1);
    EXPECT_FALSE(std::filesystem::exists(prefix));
}

TEST(FileWrite, SymbolicLinkNeverFollowed) {
    TempDir dir;
    write_file(dir / "target", "untouched");
    ASSERT_EQ(chmod((dir / "target").c_str(), 0600), 0);
    ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "f.txt").c_str()), 0);
    EXPECT_EQ(file_write(dir.prefix().c_str(), "f.txt", "x", 1, false), 1);
    EXPECT_EQ(file_write(dir.prefix().c_str(), "f.txt", "x", 1, true), 1);
    EXPECT_EQ(read_file(dir / "target"), "untouched");
    EXPECT_EQ(mode_of(dir / "target"), 0600u);
}

TEST(FileWrite, FifoWithoutReaderDoesNotBlock) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "f.txt").c_str(), 0600), 0);
    EXPECT_EQ(file_write(dir.prefix().c_str(), "f.txt", "x", 1, false), 1);
}

TEST(FileWrite, SettingsGiveThePrefixAndMode) {
    TempDir dir;
    Settings saved = settings;
    std::string prefix = dir.prefix();
    std::strcpy(settings.path, prefix.c_str());
    settings.append = 1;
    EXPECT_EQ(file_write("f.txt", "a\n", 2), 0);
    EXPECT_EQ(file_write("f.txt", "b\n", 2), 0);
    settings = saved;
    EXPECT_EQ(read_file(dir / "f.txt"), "a\nb\n");
}
