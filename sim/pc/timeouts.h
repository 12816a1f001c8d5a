// Request time-outs as a port driver keeps them: a timer that ticks once a
// second while requests are outstanding; a request outstanding longer than
// its SRB TimeOutValue (seconds) makes the port driver reset the bus through
// the miniport's HwResetBus. A request still outstanding a whole time-out
// after the reset its own time-out caused was lost by the miniport.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "clock.h"

namespace sim {

class RequestTimeouts {
public:
    explicit RequestTimeouts(Clock& clock) : clock_(clock) {}
    ~RequestTimeouts();
    RequestTimeouts(const RequestTimeouts&) = delete;
    RequestTimeouts& operator=(const RequestTimeouts&) = delete;

    void started(uint64_t request, size_t adapter, uint8_t path, uint32_t timeout_seconds);
    void finished(uint64_t request);

    struct Due {
        size_t adapter;
        uint8_t path;
    };
    // Adapters to reset now, one entry per adapter, oldest request's path.
    std::vector<Due> take_due();
    // Requests that timed out a second time: the reset did not end them.
    std::vector<uint64_t> take_lost();
    bool due() const { return !due_.empty() || !lost_.empty(); }
    bool armed() const { return armed_; }

    uint64_t time_outs() const { return time_outs_; }
    uint64_t time_outs(size_t adapter) const;

private:
    struct Entry {
        size_t adapter;
        uint8_t path;
        Nanoseconds timeout;
        Nanoseconds deadline;
        unsigned expired = 0;
    };
    void arm();
    void tick();

    Clock& clock_;
    std::map<uint64_t, Entry> outstanding_;
    std::vector<Due> due_;
    std::vector<uint64_t> lost_;
    std::map<size_t, uint64_t> per_adapter_;
    uint64_t time_outs_ = 0;
    bool armed_ = false;
    Clock::EventId tick_event_ = 0;
};

}  // namespace sim
