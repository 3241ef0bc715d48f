#include "forwarding/delivery.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/clock.hpp"
#include "common/diag.hpp"
#include "common/settings.hpp"
#include "common/status.hpp"
#include "forwarding/disk_floor.hpp"
#include "forwarding/file_write.hpp"
#include "forwarding/nc_run.hpp"
#include "forwarding/queue_entry.hpp"
#include "forwarding/queue_file.hpp"
#include "forwarding/retry.hpp"

namespace ql {

namespace {

constexpr std::int64_t full_line_interval_ms = 1000;
// Upkeep of the queue goes in slices this long, so that reception is never
// away from the socket for long, also on a slow card.
constexpr std::int64_t upkeep_slice_ms = 20;
constexpr std::int64_t look_interval_ms = 5;  // where nc's end cannot be waited for (no pidfd)

QueueFile queue;
char queue_name[hidden_path_max + 1];
const char* queue_base = "";  // the file's own name, for messages
char address[telip_max + 1];

NcRun run;  // a run of nc under way while run.pid > 0
std::int64_t look_at = 0;
RetrySchedule retry;
std::int64_t retry_at = -1;  // -1: the next text may go at once

std::uint64_t full_unsaid = 0;  // texts dropped from a full queue, not yet reported
std::int64_t full_said_at = -full_line_interval_ms;
bool failing_said = false;      // the queue's file failed, and it was said
RetrySchedule open_retry;       // a queue that could not be opened or read
std::int64_t open_at = 0;

bool running() { return run.pid > 0; }

unsigned long long waiting() { return static_cast<unsigned long long>(queue.pending()); }

void give_up(std::uint64_t texts) {
    counts.failed += texts;
    counts.queued -= texts < counts.queued ? texts : counts.queued;
}

void say_full(std::int64_t now) {
    if (full_unsaid == 0 || now - full_said_at < full_line_interval_ms) return;
    diag("Fehler: Warteschlange voll, %llu aelteste Befehlstexte verworfen\n",
         static_cast<unsigned long long>(full_unsaid));
    full_unsaid = 0;
    full_said_at = now;
}

// Said once while the queue's file fails, again only after it worked.
void say_failing() {
    bool failing = queue.failing() || !queue.is_open();
    if (failing && !failing_said) diag("Fehler: file_write %s mit Fehler\n", queue_base);
    failing_said = failing;
}

bool ensure_open() {
    if (queue.is_open()) return true;
    std::int64_t now = monotonic_ms();
    if (now < open_at) return false;
    char temp[hidden_path_max + 1];
    hidden_path(queue_name, settings.path, "qlfwd-queue", &queue_base);
    hidden_path(temp, settings.path, "qlfwd-queue-new");
    QueueFile::Taken taken;
    if (!queue.open(queue_name, temp, taken)) {
        // Left as it is, and tried again later: what it holds is taken over then.
        open_at = now + open_retry.failed();
        return false;
    }
    open_retry.succeeded();
    // Texts an earlier run left wait as if received now; damaged ones are given up.
    counts.queued += taken.pending;
    counts.failed += taken.damaged;
    return true;
}

void failed_attempt(std::int64_t now) { retry_at = now + retry.failed(); }

void ended(NcEnd end, int status, std::int64_t now) {
    if (end == NcEnd::exited && status == 0) {
        queue.finish();
        ++counts.handed_on;
        if (counts.queued > 0) --counts.queued;
        if (retry.failing()) diag("> nc %s 7072 wieder erfolgreich, %llu Befehlstexte warten\n", address, waiting());
        retry.succeeded();
        retry_at = -1;
        return;
    }
    if (end == NcEnd::timed_out) {
        // The server may have carried it out: never sent twice.
        queue.finish();
        give_up(1);
        diag("Fehler: nc nach %i s abgebrochen\n", nc_time_limit_ms / 1000);
        failed_attempt(now);
        return;
    }
    queue.release();
    diag("Fehler: nc %s 7072 fehlgeschlagen (Status %i), %llu Befehlstexte warten\n", address, status, waiting());
    failed_attempt(now);
}

void start_next(std::int64_t now) {
    const char* text = nullptr;
    std::size_t len = 0;
    if (!queue.begin(text, len)) return;
    int error = 0;
    if (!start_nc(address, text, len, now, run, error)) {
        queue.release();
        diag("Fehler: konnte nc nicht starten, %s (errno=%i)\n", std::strerror(error), error);
        failed_attempt(now);
        return;
    }
    look_at = now + look_interval_ms;
}

void next(int& fd, std::int64_t& due) {
    fd = -1;
    due = -1;
    if (running()) {
        fd = run.pidfd;
        due = run.deadline_ms;
        if (fd < 0 && look_at < due) due = look_at;
    } else if (queue.pending() > 0) {
        due = retry_at < 0 ? 0 : retry_at;
    }
    std::int64_t upkeep_at = queue.upkeep_at();
    if (upkeep_at >= 0 && (due < 0 || upkeep_at < due)) due = upkeep_at;
    if (!queue.is_open() && (due < 0 || open_at < due)) due = open_at;
    if (full_unsaid > 0) {
        std::int64_t say_at = full_said_at + full_line_interval_ms;
        if (due < 0 || say_at < due) due = say_at;
    }
}

void work(std::int64_t now) {
    if (running()) {
        int status = 0;
        NcEnd end = look_nc(run, now, status);
        if (end == NcEnd::running)
            look_at = now + look_interval_ms;
        else
            ended(end, status, now);
    }
    if (!running() && queue.pending() > 0 && (retry_at < 0 || now >= retry_at)) start_next(now);
    if (!ensure_open()) return say_failing();
    give_up(queue.upkeep(now, now + upkeep_slice_ms));
    say_full(now);
    say_failing();
}

}  // namespace

void delivery_open() {
    first_address(address, sizeof address, settings.telip);
    (void)ensure_open();
}

Outcome delivery_enqueue(const char* text, std::size_t len) {
    // Below the floor of free space the queue does not grow (the floor says so).
    if (!floor_allows(settings.path, entry_header_size + len, true, false)) return Outcome::failed;
    std::uint64_t dropped = 0;
    bool kept = ensure_open() && queue.append(text, len, dropped);
    if (kept)
        floor_wrote(entry_header_size + len, false);
    else
        floor_write_failed(errno);
    if (dropped > 0) {
        give_up(dropped);
        full_unsaid += dropped;
        say_full(monotonic_ms());
    }
    say_failing();
    return kept ? Outcome::queued : Outcome::failed;
}

SideWork delivery_work() { return SideWork{next, work}; }

void delivery_finish() {
    if (running()) {
        int status = 0;
        NcEnd end = wait_nc(run, status);
        ended(end, status, monotonic_ms());
    }
    full_said_at = -full_line_interval_ms;
    say_full(0);
    queue.close();
}

}  // namespace ql
