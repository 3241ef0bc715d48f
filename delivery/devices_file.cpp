#include "delivery/devices_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/durable.hpp"
#include "common/storage.hpp"

namespace ql {

namespace {
// Some 150 bytes a device; more than this is not such a file.
constexpr std::size_t file_max = 1u << 20;
}  // namespace

DevicesLoaded load_devices(const char* path, DeviceTable& table, unsigned& bad_line) {
    bad_line = 0;
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) return DevicesLoaded::none;
        bad_line = 1;
        return DevicesLoaded::damaged;
    }
    std::string text(file_max + 1, '\0');
    ssize_t got = read_all_at(fd, text.data(), text.size(), 0);
    ::close(fd);
    if (got < 0 || static_cast<std::size_t>(got) > file_max ||
        !table.read(text.data(), static_cast<std::size_t>(got), bad_line)) {
        if (bad_line == 0) bad_line = 1;
        return DevicesLoaded::damaged;
    }
    return DevicesLoaded::ok;
}

bool save_devices(const char* path, const char* temp, const DeviceTable& table, std::string& buffer) {
    table.write(buffer);
    int fd = ::open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) return false;
    (void)::fchmod(fd, 0600);
    bool ok = write_all(fd, buffer.data(), buffer.size());
    ok = ::close(fd) == 0 && ok;
    if (ok && rename_file(temp, path)) {
        durable_wrote();
        return true;
    }
    (void)::unlink(temp);
    return false;
}

}  // namespace ql
