// Request time-outs as a port driver keeps them: one counter per logical
// unit, ticked once a second by the port driver's timer while the LU has
// requests outstanding. The counter starts with the TimeOutValue (seconds) of
// the LU's oldest outstanding request, and starts again with the next oldest
// one's when that request ends. A tick that finds the counter at zero times
// the LU out: the port driver resets the bus through the miniport's
// HwResetBus, and completes nothing itself. A request still outstanding when
// its LU times out again was lost by the miniport.
#pragma once

#include <cstdint>
#include <deque>
#include <tuple>
#include <map>
#include <unordered_map>
#include <vector>

#include "clock.h"

namespace sim {

class RequestTimeouts {
public:
    explicit RequestTimeouts(Clock& clock) : clock_(clock) {}
    ~RequestTimeouts();
    RequestTimeouts(const RequestTimeouts&) = delete;
    RequestTimeouts& operator=(const RequestTimeouts&) = delete;

    struct Lu {
        size_t adapter;
        uint8_t path, target, lun;
        bool operator<(const Lu& o) const
        {
            return std::tie(adapter, path, target, lun) < std::tie(o.adapter, o.path, o.target, o.lun);
        }
    };
    void started(uint64_t request, const Lu& lu, uint32_t timeout_seconds);
    void finished(uint64_t request);

    struct Due {
        size_t adapter;
        uint8_t path;
    };
    // Adapters to reset now, one entry per adapter, the first LU's path.
    std::vector<Due> take_due();
    // Requests that timed out a second time: the reset did not end them.
    std::vector<uint64_t> take_lost();
    bool due() const { return !due_.empty() || !lost_.empty(); }
    bool armed() const { return armed_; }

    uint64_t time_outs() const { return time_outs_; }
    uint64_t time_outs(size_t adapter) const;

private:
    struct Started {
        uint64_t id;
        uint32_t timeout_seconds;
        bool timed_out = false;  // its LU timed out while it was the oldest
    };
    struct Counter {
        std::deque<Started> requests;  // in the order they were started
        uint32_t ticks = 0;            // left before the LU times out
    };
    void arm();
    void tick();

    Clock& clock_;
    std::map<Lu, Counter> lus_;
    std::unordered_map<uint64_t, Lu> lu_of_;
    std::vector<Due> due_;
    std::vector<uint64_t> lost_;
    std::map<size_t, uint64_t> per_adapter_;
    uint64_t time_outs_ = 0;
    bool armed_ = false;
    Clock::EventId tick_event_ = 0;
};

}  // namespace sim
