// Group commit: what the receiver wrote (records, command files, the queue)
// is made durable at most once a second, and only when something was written
// since, so that a power cut costs at most the last second. One syncfs of the
// output's file system does it: a single call however many files were
// written, and ext4 writes their data before the names that point at it. It
// also flushes what other programs wrote there, which only gains them the
// same safety. Never a sync per datagram: on a card each costs milliseconds
// and wear. Marking costs no system call.
#pragma once
#include <cstdint>

namespace ql {

constexpr std::int64_t durable_interval_ms = 1000;

// Something was written: a sync is due a second after the last one.
void durable_wrote();
// When the next sync is due (monotonic ms), or -1 when nothing waits for one.
std::int64_t durable_due();
// Syncs when one is due; now_ms is the clock the caller already read (the
// sync itself reads it once more, once a second at most).
void durable_sync_if_due(std::int64_t now_ms);
// Syncs now if anything was written (an orderly stop).
void durable_sync();
// How many syncs so far.
std::uint64_t durable_syncs();

}  // namespace ql
