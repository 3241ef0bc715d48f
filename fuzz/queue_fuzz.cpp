// Any bytes as a queue file an earlier run left: taking it over never
// crashes, and every text handed on was written whole (its entry, CRC and
// all, stands in the file), as many as the take-over counted, then nothing.
// A file refused as another release's is left exactly as it was.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/clock.hpp"
#include "delivery/queue_entry.hpp"
#include "delivery/queue_file.hpp"
#include "fuzz/require.hpp"

using namespace ql;

using fuzz::require;

namespace {

std::string scratch() {
    char dir[] = "/dev/shm/qlfwd-queue-fuzz-XXXXXX";
    if (mkdtemp(dir) != nullptr) return dir;
    char fallback[] = "/tmp/qlfwd-queue-fuzz-XXXXXX";
    require(mkdtemp(fallback) != nullptr, "scratch directory");
    return fallback;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string dir = scratch();
    static const std::string path = dir + "/.qlfwd-queue", temp = dir + "/.qlfwd-queue-new";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    require(fd >= 0 && ::write(fd, data, size) == static_cast<ssize_t>(size), "queue file written");
    ::close(fd);

    QueueFile q;
    QueueFile::Taken taken;
    // Either kind: the first byte's lowest bit picks one, the file keeps all bytes.
    QueueKind kind = size > 0 && (data[0] & 1) ? QueueKind::records : QueueKind::commands;
    unsigned version = 0;
    QueueFile::Opened opened = q.open(path.c_str(), temp.c_str(), kind, taken, version);
    if (opened == QueueFile::Opened::foreign) {
        require(size > 0 && data[0] != 0, "only a file without the entries' zero first is foreign");
        std::string now(size + 1, '\0');
        fd = ::open(path.c_str(), O_RDONLY);
        require(fd >= 0 && ::read(fd, now.data(), now.size()) == static_cast<ssize_t>(size), "foreign file kept");
        ::close(fd);
        require(std::memcmp(now.data(), data, size) == 0, "foreign file kept byte for byte");
        return 0;
    }
    require(opened == QueueFile::Opened::ok, "any other file is taken over");
    require(taken.pending <= size / entry_header_size, "no more texts than entries fit");
    std::uint64_t handed = 0;
    const char* text;
    std::size_t len;
    for (int rounds = 0; rounds < 100000; ++rounds) {
        if (q.begin(text, len)) {
            char header[entry_header_size];
            entry_header(header, text, len);
            std::string whole = std::string(header, sizeof header) + std::string(text, len);
            require(memmem(data, size, whole.data(), whole.size()) != nullptr, "text handed on was written whole");
            ++handed;
            q.finish();
        } else if (q.upkeep_at() < 0) {
            break;
        } else {
            q.upkeep(monotonic_ms(), 0);
        }
    }
    require(handed == taken.pending, "every text counted at the take-over handed on, once");
    require(q.pending() == 0, "nothing left");
    q.close();
    return 0;
}
