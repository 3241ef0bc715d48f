#include "common/storage.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace ql {

bool write_all(int fd, const void* bytes, std::size_t len, std::size_t* written) {
    const char* p = static_cast<const char*>(bytes);
    std::size_t done = 0;
    bool ok = true;
    while (done < len) {
        ssize_t n = ::write(fd, p + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (written != nullptr) *written = done;
    return ok;
}

bool write_all_at(int fd, const void* bytes, std::size_t len, off_t at) {
    const char* p = static_cast<const char*>(bytes);
    std::size_t done = 0;
    while (done < len) {
        ssize_t n = ::pwrite(fd, p + done, len - done, at + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool write_parts_at(int fd, const iovec* parts, int count, off_t at, std::size_t& written) {
    std::size_t total = 0;
    for (int i = 0; i < count; ++i) total += parts[i].iov_len;
    ssize_t n;
    do n = ::pwritev(fd, parts, count, at);
    while (n < 0 && errno == EINTR);
    written = n > 0 ? static_cast<std::size_t>(n) : 0;
    if (n < 0) return false;
    if (written == total) return true;
    // A short write (a full disk): what is missing goes part by part.
    std::size_t skip = written;
    for (int i = 0; i < count; ++i) {
        const char* base = static_cast<const char*>(parts[i].iov_base);
        std::size_t len = parts[i].iov_len;
        if (skip >= len) {
            skip -= len;
            continue;
        }
        if (!write_all_at(fd, base + skip, len - skip, at + static_cast<off_t>(written))) return false;
        written += len - skip;
        skip = 0;
    }
    return true;
}

ssize_t read_all_at(int fd, void* out, std::size_t len, off_t at) {
    char* p = static_cast<char*>(out);
    std::size_t got = 0;
    while (got < len) {
        ssize_t n = ::pread(fd, p + got, len - got, at + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

bool cut_file(int fd, off_t len) {
    int rc;
    do rc = ::ftruncate(fd, len);
    while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool rename_file(const char* from, const char* to) { return std::rename(from, to) == 0; }

bool sync_files(int directory_fd) { return ::syncfs(directory_fd) == 0; }

}  // namespace ql
