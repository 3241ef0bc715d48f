#include "common/durable.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/clock.hpp"
#include "common/diag.hpp"
#include "common/prefix.hpp"
#include "common/settings.hpp"
#include "common/storage.hpp"

namespace ql {

namespace {

// The group commit of the process's output.
class GroupCommit {
public:
    void wrote() { dirty_ = true; }
    std::int64_t due() const { return dirty_ ? synced_at_ + durable_interval_ms : -1; }
    void sync_if_due(std::int64_t now_ms) {
        if (dirty_ && now_ms >= synced_at_ + durable_interval_ms) sync_now();
    }
    void sync() {
        if (dirty_) sync_now();
    }
    std::uint64_t syncs() const { return syncs_; }

private:
    // The interval counts from the sync itself, not from the caller's earlier
    // reading of the clock (a datagram's handling lies between them).
    void sync_now() {
        char directory[prefix_directory_max + 1];
        prefix_directory(settings.path, directory);
        if (directory_fd_ < 0) directory_fd_ = ::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        synced_at_ = monotonic_ms();
        ++syncs_;
        // Without the directory (gone) nothing of ours can be there to sync.
        if (directory_fd_ < 0 || sync_files(directory_fd_)) {
            dirty_ = false;
            failing_ = false;
            return;
        }
        // What was written is not known to be on the disk: tried again a second later.
        if (!failing_) diag("Fehler: sync %s mit Fehler (%s)\n", directory, std::strerror(errno));
        failing_ = true;
    }

    bool dirty_ = false;
    bool failing_ = false;
    std::int64_t synced_at_ = -durable_interval_ms;
    std::uint64_t syncs_ = 0;
    int directory_fd_ = -1;  // the output's directory, opened at the first sync
};

GroupCommit commit;

}  // namespace

void durable_wrote() { commit.wrote(); }
std::int64_t durable_due() { return commit.due(); }
void durable_sync_if_due(std::int64_t now_ms) { commit.sync_if_due(now_ms); }
void durable_sync() { commit.sync(); }
std::uint64_t durable_syncs() { return commit.syncs(); }

}  // namespace ql
