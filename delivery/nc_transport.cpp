#include "delivery/nc_transport.hpp"

#include <cstring>

#include "common/clock.hpp"
#include "common/diag.hpp"

namespace ql {

NcTransport::NcTransport(const char* address) { first_address(address_, sizeof address_, address); }

Sent NcTransport::send(const char* text, std::size_t len, std::int64_t now_ms, DeliverySink& sink,
                       std::uint32_t& tag) {
    int error = 0;
    if (!start_nc(address_, text, len, now_ms, run_, error)) {
        sink.returned();
        diag("Fehler: konnte nc nicht starten, %s (errno=%i)\n", std::strerror(error), error);
        sink.attempt_failed();
        failing_ = true;
        return Sent::failed;
    }
    tag = ++run_tag_;
    look_at_ = now_ms + look_interval_ms;
    return Sent::out;
}

void NcTransport::next(int& fd, bool& write, std::int64_t& due_ms) const {
    fd = -1;
    write = false;
    due_ms = -1;
    if (run_.pid <= 0) return;
    fd = run_.pidfd;
    due_ms = run_.deadline_ms;
    if (fd < 0 && look_at_ < due_ms) due_ms = look_at_;
}

void NcTransport::ended(NcEnd end, int status, DeliverySink& sink) {
    if (end == NcEnd::exited && status == 0) {
        sink.settled(run_tag_, true);
        if (failing_) diag("> nc %s 7072 wieder erfolgreich, %llu Befehlstexte warten\n", address_, sink.waiting());
        failing_ = false;
        sink.attempt_succeeded();
        return;
    }
    failing_ = true;
    if (end == NcEnd::timed_out) {
        // The server may have carried it out: never sent twice.
        sink.settled(run_tag_, false);
        diag("Fehler: nc nach %i s abgebrochen\n", nc_time_limit_ms / 1000);
        sink.attempt_failed();
        return;
    }
    sink.returned();
    diag("Fehler: nc %s 7072 fehlgeschlagen (Status %i), %llu Befehlstexte warten\n", address_, status,
         sink.waiting());
    sink.attempt_failed();
}

void NcTransport::work(std::int64_t now_ms, bool, short, DeliverySink& sink) {
    if (run_.pid <= 0) return;
    int status = 0;
    NcEnd end = look_nc(run_, now_ms, status);
    if (end == NcEnd::running)
        look_at_ = now_ms + look_interval_ms;
    else
        ended(end, status, sink);
}

void NcTransport::finish(DeliverySink& sink) {
    if (run_.pid <= 0) return;
    int status = 0;
    NcEnd end = wait_nc(run_, status);
    ended(end, status, sink);
}

}  // namespace ql
