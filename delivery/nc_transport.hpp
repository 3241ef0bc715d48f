// Command texts to the command server: one run of nc per text, one at a time.
// A run that ends by itself with status 0 delivered its text; one ended at
// the time limit is given up (the server may have carried it out); any other
// end returns the text to be tried again.
#pragma once
#include "common/settings.hpp"
#include "delivery/nc_run.hpp"
#include "delivery/transport.hpp"

namespace ql {

class NcTransport final : public Transport {
public:
    // address: the first of the list is used.
    explicit NcTransport(const char* address);

    unsigned room(unsigned out) const override { return run_.pid > 0 || out > 0 ? 0 : 1; }
    Sent send(const char* text, std::size_t len, std::int64_t now_ms, DeliverySink& sink,
              std::uint32_t& tag) override;
    void next(int& fd, bool& write, std::int64_t& due_ms) const override;
    void work(std::int64_t now_ms, bool may_try, short events, DeliverySink& sink) override;
    void finish(DeliverySink& sink) override;

private:
    void ended(NcEnd end, int status, DeliverySink& sink);

    static constexpr std::int64_t look_interval_ms = 5;  // where nc's end cannot be waited for (no pidfd)
    char address_[telip_max + 1] = {};
    NcRun run_;  // under way while run_.pid > 0
    std::int64_t look_at_ = 0;
    bool failing_ = false;  // the last run failed: its success is said
    std::uint32_t run_tag_ = 0;  // the text the run under way carries
};

}  // namespace ql
