#include "forwarding/file_write.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/durable.hpp"
#include "common/disk_floor.hpp"
#include "common/storage.hpp"

namespace ql {

std::size_t file_name(char out[file_name_max + 1], const char* name, std::size_t name_len,
                      const char* suffix) {
    std::size_t i = 0;
    for (; i < name_len && i < device_name_max; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        out[i] = (c == '/' || c < 0x20 || c == 0x7F) ? '_' : static_cast<char>(c);
    }
    std::size_t suffix_len = std::strlen(suffix);
    std::memcpy(out + i, suffix, suffix_len + 1);
    return i + suffix_len;
}

std::size_t output_path(char out[output_path_max + 1], const char* prefix, const char* name) {
    std::size_t prefix_len = strnlen(prefix, path_max);
    std::size_t name_len = strnlen(name, file_name_max);
    std::memcpy(out, prefix, prefix_len);
    std::memcpy(out + prefix_len, name, name_len);
    out[prefix_len + name_len] = '\0';
    return prefix_len + name_len;
}

namespace {

constexpr int open_flags = O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;

// Writes the text whole or leaves nothing of it: what this call wrote is cut back.
int write_whole(int fd, const char* text, std::size_t len) {
    std::size_t written = 0;
    if (write_all(fd, text, len, &written)) return 0;
    int error = errno;
    off_t end = ::lseek(fd, 0, SEEK_END);
    if (end >= static_cast<off_t>(written)) (void)cut_file(fd, end - static_cast<off_t>(written));
    errno = error;
    return 2;
}

// One record more at the end; a new file only above the floor.
int append_to(const char* prefix, const char* full, const char* text, std::size_t len) {
    int fd = ::open(full, open_flags | O_APPEND);
    bool made = fd < 0 && errno == ENOENT;
    if (!floor_allows(prefix, len, true, made)) {
        if (fd >= 0) ::close(fd);
        return 3;
    }
    if (made) fd = ::open(full, open_flags | O_APPEND | O_CREAT, 0666);
    if (fd < 0) return 1;
    int result = write_whole(fd, text, len);
    if (result == 0) {
        floor_wrote(len, made);
        durable_wrote();
    } else {
        floor_write_failed(errno);
    }
    (void)::fchmod(fd, 0666);
    ::close(fd);
    return result;
}

// Written beside the file, then renamed over it: a reader finds the previous
// text or the new one, whole, never an empty file.
int replace(const char* prefix, const char* name, const char* full, const char* text, std::size_t len) {
    struct stat st {};
    bool exists = ::lstat(full, &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        // A symbolic link fails (O_NOFOLLOW), a FIFO takes the text only with a reader.
        int fd = ::open(full, open_flags | O_TRUNC);
        if (fd < 0) return 1;
        int result = write_whole(fd, text, len);
        ::close(fd);
        return result;
    }
    if (!floor_allows(prefix, len, !exists, !exists)) return 3;
    char temp[hidden_path_max + 1];
    hidden_path(temp, prefix, name);
    // One left behind by a killed process is simply taken again.
    int fd = ::open(temp, open_flags | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) return 1;
    int result = write_whole(fd, text, len);
    if (result != 0) floor_write_failed(errno);
    (void)::fchmod(fd, 0666);
    ::close(fd);
    if (result == 0 && !rename_file(temp, full)) result = 1;
    if (result != 0) {
        ::unlink(temp);
        return result;
    }
    if (!exists) floor_wrote(len, true);
    durable_wrote();
    return 0;
}

}  // namespace

int file_write(const char* prefix, const char* name, const char* text, std::size_t len, bool append) {
    char full[output_path_max + 1];
    output_path(full, prefix, name);
    return append ? append_to(prefix, full, text, len) : replace(prefix, name, full, text, len);
}

int file_write(const char* name, const char* text, std::size_t len) {
    return file_write(settings.path, name, text, len, settings.append != 0);
}

}  // namespace ql
