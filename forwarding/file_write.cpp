#include "forwarding/file_write.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

static bool write_all(int fd, const char* text, std::size_t len, std::size_t& written) {
    written = 0;
    while (written < len) {
        ssize_t n = ::write(fd, text + written, len - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

std::size_t output_path(char out[output_path_max + 1], const char* prefix, const char* name) {
    std::size_t prefix_len = strnlen(prefix, path_max);
    std::size_t name_len = strnlen(name, file_name_max);
    std::memcpy(out, prefix, prefix_len);
    std::memcpy(out + prefix_len, name, name_len);
    out[prefix_len + name_len] = '\0';
    return prefix_len + name_len;
}

std::size_t hidden_path(char out[hidden_path_max + 1], const char* prefix, const char* name, const char** base) {
    std::size_t prefix_len = strnlen(prefix, path_max);
    std::size_t dir_len = prefix_len;
    while (dir_len > 0 && prefix[dir_len - 1] != '/') --dir_len;
    std::size_t name_len = strnlen(name, file_name_max + 8);
    std::memcpy(out, prefix, dir_len);
    out[dir_len] = '.';
    std::memcpy(out + dir_len + 1, prefix + dir_len, prefix_len - dir_len);
    std::memcpy(out + prefix_len + 1, name, name_len);
    out[prefix_len + 1 + name_len] = '\0';
    if (base != nullptr) *base = out + dir_len;
    return prefix_len + 1 + name_len;
}

int file_write(const char* prefix, const char* name, const char* text, std::size_t len, bool append) {
    char full[output_path_max + 1];
    output_path(full, prefix, name);

    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (append ? O_APPEND : O_TRUNC);
    int fd = ::open(full, flags, 0666);
    if (fd < 0) return 1;
    std::size_t written = 0;
    int result = 0;
    if (!write_all(fd, text, len, written)) {
        // A record is whole or absent: cut back what this call wrote of it.
        off_t end = ::lseek(fd, 0, SEEK_END);
        if (end >= static_cast<off_t>(written)) (void)!::ftruncate(fd, end - static_cast<off_t>(written));
        result = 2;
    }
    (void)::fchmod(fd, 0666);
    ::close(fd);
    return result;
}

int file_write(const char* name, const char* text, std::size_t len) {
    return file_write(settings.path, name, text, len, settings.append != 0);
}

}  // namespace ql
