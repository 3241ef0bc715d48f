#include "common/durable.hpp"

#include <fcntl.h>
#include <unistd.h>

#include "common/clock.hpp"
#include "common/prefix.hpp"
#include "common/settings.hpp"

namespace ql {

namespace {

bool dirty = false;
std::int64_t synced_at = -durable_interval_ms;
std::uint64_t syncs = 0;
int directory_fd = -1;  // the output's directory, opened at the first sync

// The interval counts from the sync itself, not from the caller's earlier
// reading of the clock (a datagram's handling lies between them).
void sync_now() {
    if (directory_fd < 0) {
        char directory[prefix_directory_max + 1];
        directory_fd = ::open(prefix_directory(settings.path, directory), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    synced_at = monotonic_ms();
    // Without the directory (gone) nothing of ours can be there to sync.
    if (directory_fd >= 0) (void)::syncfs(directory_fd);
    dirty = false;
    ++syncs;
}

}  // namespace

void durable_wrote() { dirty = true; }

std::int64_t durable_due() { return dirty ? synced_at + durable_interval_ms : -1; }

void durable_sync_if_due(std::int64_t now_ms) {
    if (dirty && now_ms >= synced_at + durable_interval_ms) sync_now();
}

void durable_sync() {
    if (dirty) sync_now();
}

std::uint64_t durable_syncs() { return syncs; }

}  // namespace ql
